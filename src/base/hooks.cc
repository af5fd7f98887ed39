#include "base/hooks.h"

namespace kiln {

hooks up;
volatile sig_atomic_t got_sigterm = 0, got_sigint = 0, got_sighup = 0;

}  // namespace kiln
