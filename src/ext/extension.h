// kiln's extension of the script engine: the built-ins of opcodes 64 to 97
// (adding rules and dependencies; paths, suffixes, filters, globbing,
// quoting, JSON files), their error codes and names.
#pragma once

#include <string>

#include "engine/engine.h"

namespace kiln::ext {

// Extension error codes (the engine's own codes stay below 4096).
enum ext_error : int {
  err_parsing_done = 4097,     // "Changing rules not permitted after parsing done"
  err_suffix_not_found = 4098,
  err_directory_not_found = 4099,
  err_glob_failed = 4100,
  err_bad_json = 4101,
  err_rule_not_found = 4102,
  err_targets_missing = 4103,
  err_name_missing = 4104,
  err_no_shell_argument = 4105,
  err_midrule = 4112,
  err_insane_rule = 4113,
  err_invalid_regex = 4114,
};

// The engine's extension hook: dispatches 64 to 97; any other opcode is
// error 14 "Unknown instruction".
int extension_hook(engine::engine* e, unsigned opcode, const uint8_t* fragment,
                   size_t fragment_length);

// The message of a script error code: the extension's table for 4097 and
// up, the engine's otherwise.
const char* script_error_message(int code);

// The name an error report gives an opcode: the built-in's name for 64 to
// 97, the engine's description otherwise.
const char* opcode_name(unsigned opcode);

// The rule-building built-ins (@adddeps 66, @addrule 67) and the
// directories of the current scope come from the front end through
// kiln::up (base/hooks.h).

// The current scope's directory relative to the top directory ("."
// without the front end).
std::string current_directory(engine::engine* e);

}  // namespace kiln::ext
