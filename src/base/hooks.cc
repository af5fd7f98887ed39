#include "base/hooks.h"

namespace kiln {

hooks up;

}  // namespace kiln
