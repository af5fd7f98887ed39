// The built-in functions of the script language that compile to one
// opcode after their arguments: keyword, opcode and argument count.
#pragma once

#include "front/tokens.h"

namespace kiln::front {

struct builtin_entry {
  tok kind;
  unsigned opcode;
  int n_args;
};

// The entry of a built-in keyword, or nullptr.
const builtin_entry* find_builtin(tok kind);

}  // namespace kiln::front
