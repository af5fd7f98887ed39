// Pieces of the interpreter shared between its files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

namespace kiln::engine {

// The code at an address and the bytes available from there in its region
// (the byte-code buffer or the current fragment), or nullptr outside both.
const uint8_t* code_at(const engine* e, int64_t address, size_t* available);

// Whether a jump may go to target: 0 .. length of the buffer, or inside
// the fragment up to its end at -100.
bool valid_jump_target(const engine* e, int64_t target);

// After a failed run: appends the location of the current ip, then of
// every saved ip on the stack from the top down to the first recursion
// guard, while the backtrace has room.
void collect_backtrace(engine* e);

}  // namespace kiln::engine
