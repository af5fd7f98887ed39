// Placeholder until the built-in library lands: @exit works, every other
// library opcode is unknown.
#include "engine/engine.h"

namespace kiln::engine {

int builtin_run(engine* e, unsigned opcode) {
  if (opcode == 159) {
    // @exit: the run ends normally; the value on top stays as its result.
    e->err.code = 1;
    return -4;
  }
  return set_error(e, 14, make_nil(), opcode, -86);
}

}  // namespace kiln::engine
