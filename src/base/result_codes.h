// kiln's negative result codes. Functions return 0 (or a non-negative
// result) on success and one of these on failure; the script engine also
// fills its error slot with an engine error code. The values are kiln's
// own and fixed (tests and callers compare them, the engine's run result
// reports them); they are not the host's errno numbers, which differ
// between systems.
//
// Plain -1 stays the "failed" of small local helpers, as in the C library.
#pragma once

namespace kiln::base {

// Not there: a file, a scope variable, a rule, a jobserver to join.
constexpr int rc_not_found = -2;
// The run was ended by @exit: a normal end, the top value its result.
constexpr int rc_exited = -4;
// A short write to standard output or standard error.
constexpr int rc_io_error = -5;
// Inherited descriptors that no longer refer to open files.
constexpr int rc_bad_descriptor = -9;
// An allocation failed, or a size would overflow.
constexpr int rc_no_memory = -12;
// Execution ran into a function's header or trailer.
constexpr int rc_not_executable = -13;
// An address outside the code, or code ending inside an instruction.
constexpr int rc_bytecode_fault = -14;
// A name that is already defined (a local, a tree key, a target).
constexpr int rc_exists = -17;
// An operand of the wrong type or form, or a malformed argument.
constexpr int rc_invalid = -22;
// A built-in's index or count outside its range.
constexpr int rc_out_of_range = -34;
// Includes nested deeper than the limit.
constexpr int rc_too_deep = -40;
// An instruction the engine numbers but does not support.
constexpr int rc_not_supported = -45;
// A stack, cache or buffer index out of bounds, a stack that cannot grow.
constexpr int rc_out_of_bounds = -84;
// @error ended the run.
constexpr int rc_error_exit = -85;
// An unknown or illegal instruction.
constexpr int rc_bad_instruction = -86;
// A Kilnfile that does not parse (the parser has reported why).
constexpr int rc_parse_failed = -89;

}  // namespace kiln::base
