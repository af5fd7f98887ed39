// The compatible-revision question asked by @version. The command-line
// layer owns the table; a program built without it knows no revision.
#include "front/parser.h"

namespace kiln::cli {
bool is_known_revision(const char* text) __attribute__((weak));
}  // namespace kiln::cli

namespace kiln::front {

bool known_revision(const char* hex40) {
  if (&kiln::cli::is_known_revision == nullptr) return false;
  return kiln::cli::is_known_revision(hex40);
}

}  // namespace kiln::front
