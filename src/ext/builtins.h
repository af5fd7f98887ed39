// The extension's path, suffix, filter, glob, quoting and JSON-file
// built-ins (opcodes 64 to 97 but 66 and 67).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace kiln::ext {

// Runs one of them; error 14 for an opcode that is not.
int run_builtin(engine::engine* e, unsigned opcode);

// The current scope's directories (both "." without a front end).
void scope_directories_of(engine::engine* e, std::string* top, std::string* project);

// Reads the list operand i (1 is the top): an array of strings only.
int list_arg(engine::engine* e, size_t i, std::vector<std::string_view>* out);

// Replaces the top n operands by a new array of the given strings.
int strings_result(engine::engine* e, size_t n, const std::vector<std::string>& items);

// Replaces the top n operands by a new string.
int string_result(engine::engine* e, size_t n, std::string_view s);

// The file-system built-ins: @glob, @abspath, @access, @jsonin and the
// regular-expression filters; 1 when the opcode is not one of them.
int file_builtin(engine::engine* e, unsigned opcode);

}  // namespace kiln::ext
