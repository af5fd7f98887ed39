// Operand access and results for built-ins: the library's and the
// embedding program's extension built-ins alike.
//
// Operands are counted from the top: 1 is the top of the stack. Every
// checker records the error in the engine's error slot and returns the
// negative result; on success it returns 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/bytecode.h"
#include "engine/engine.h"

namespace kiln::engine::lib {

// The value i slots from the top (1 is the top).
inline value& operand(engine* e, size_t i) { return e->stack.items[e->stack.length - i]; }

// Fails with error 30 unless n operands lie above bp.
int need(engine* e, size_t n);

// A string operand (error 48).
int string_arg(engine* e, size_t i, std::string_view* out);

// An operand of the given type (its expected-type error).
int typed_arg(engine* e, size_t i, uint32_t type, value** out);

// A number (error 39).
int number_arg(engine* e, size_t i, double* out);

// An integral number (error 5 when not integral).
int int_arg(engine* e, size_t i, double* out);

// A byte value 0..255 (error 7 "Invalid character").
int byte_arg(engine* e, size_t i, unsigned char* out);

// Replaces the top n operands by a non-object or existing value.
int result(engine* e, size_t n, value v);

// Replaces the top n operands by a classified number.
inline int number_result(engine* e, size_t n, double x) { return result(e, n, make_number(x)); }

// Replaces the top n operands by the value on top of the C stack (a new
// object built there), which leaves the C stack.
int cstack_result(engine* e, size_t n);

// Index or count outside its range: error 4, result -34.
int out_of_range(engine* e, size_t i);

// The library's handlers, lib::run_<name> for each opcode the engine runs
// itself (handler run in KILN_LIBRARY_OPCODES). The dispatcher has
// checked that the opcode's arity of operands lies above bp; each returns
// 0 or a negative result.
#define KILN_LIBRARY_HANDLER_run(name) int run_##name(engine* e);
#define KILN_LIBRARY_HANDLER_none(name)
#define KILN_LIBRARY_DECLARE(name, number, arity, keyword, handler, ...) \
  KILN_LIBRARY_HANDLER_##handler(name)
KILN_LIBRARY_OPCODES(KILN_LIBRARY_DECLARE)
#undef KILN_LIBRARY_DECLARE
#undef KILN_LIBRARY_HANDLER_none
#undef KILN_LIBRARY_HANDLER_run

}  // namespace kiln::engine::lib
