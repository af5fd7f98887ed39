// Placeholder until the built-in library lands: every library opcode is
// unknown.
#include "engine/engine.h"

namespace kiln::engine {

int builtin_run(engine* e, unsigned opcode) {
  return set_error(e, 14, make_nil(), opcode, -86);
}

}  // namespace kiln::engine
