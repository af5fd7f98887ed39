// The extension's path, suffix, filter, glob, quoting and JSON-file
// built-ins: every opcode of ext/opcodes.h but the rule-building ones.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "ext/opcodes.h"

namespace kiln::ext {

// The current scope's directories (both "." without a front end).
void scope_directories_of(engine::engine* e, std::string* top, std::string* project);

// Reads the list operand i (1 is the top): an array of strings only.
int list_arg(engine::engine* e, size_t i, std::vector<std::string_view>* out);

// Replaces the top n operands by a new array of the given strings.
int strings_result(engine::engine* e, size_t n, const std::vector<std::string>& items);

// Replaces the top n operands by a new string.
int string_result(engine::engine* e, size_t n, std::string_view s);

// The handlers, ext::run_<name> for each opcode with handler run in
// KILN_EXTENSION_OPCODES. The dispatcher has checked that the opcode's
// arity of operands lies above bp; each returns 0 or a negative result.
#define KILN_EXTENSION_HANDLER_run(name) int run_##name(engine::engine* e);
#define KILN_EXTENSION_HANDLER_none(name)
#define KILN_EXTENSION_DECLARE(name, number, arity, keyword, handler, ...) \
  KILN_EXTENSION_HANDLER_##handler(name)
KILN_EXTENSION_OPCODES(KILN_EXTENSION_DECLARE)
#undef KILN_EXTENSION_DECLARE
#undef KILN_EXTENSION_HANDLER_none
#undef KILN_EXTENSION_HANDLER_run

}  // namespace kiln::ext
