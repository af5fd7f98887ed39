#include "ext/extension.h"

#include <array>

#include "base/hooks.h"
#include "base/result_codes.h"
#include "engine/bytecode.h"
#include "engine/opcode_table.h"
#include "engine/operands.h"
#include "ext/builtins.h"
#include "ext/opcodes.h"

namespace kiln::ext {

namespace {

using engine::opcode_row;

constexpr size_t k_table_size = k_end_opcode - k_first_opcode;

#define KILN_EXTENSION_RUN_run(name) &run_##name
#define KILN_EXTENSION_RUN_none(name) nullptr
#define KILN_EXTENSION_ROW(name, number, arity, keyword, handler, effect, text) \
  {number, arity, KILN_EXTENSION_RUN_##handler(name), text},
constexpr opcode_row k_rows[] = {KILN_EXTENSION_OPCODES(KILN_EXTENSION_ROW)};
#undef KILN_EXTENSION_ROW
#undef KILN_EXTENSION_RUN_none
#undef KILN_EXTENSION_RUN_run
static_assert(engine::rows_fit<k_table_size>(k_rows, k_first_opcode),
              "an extension opcode number is given twice or outside its range");

// The extension's dispatch table and names, indexed by opcode - 64.
constexpr std::array<opcode_row, k_table_size> k_table =
    engine::index_rows<k_table_size>(k_rows, k_first_opcode);

const opcode_row* entry_of(unsigned opcode) {
  if (opcode < k_first_opcode || opcode >= k_end_opcode) return nullptr;
  return &k_table[opcode - k_first_opcode];
}

}  // namespace

std::string current_directory(engine::engine* e) {
  std::string top = ".";
  std::string project = ".";
  if (up.scope_directories) up.scope_directories(e, &top, &project);
  return top;
}

void scope_directories_of(engine::engine* e, std::string* top, std::string* project) {
  // assign(1, '.'): g++ 12 misreads = "." here as an overlapping copy.
  top->assign(1, '.');
  project->assign(1, '.');
  if (up.scope_directories) up.scope_directories(e, top, project);
}

const char* script_error_message(int code) {
  switch (code) {
    case err_parsing_done: return "Changing rules not permitted after parsing done";
    case err_suffix_not_found: return "Suffix not found";
    case err_directory_not_found: return "Directory not found";
    case err_glob_failed: return "Glob failed";
    case err_bad_json: return "Bad JSON";
    case err_rule_not_found: return "Rule not found";
    case err_targets_missing: return "Targets missing";
    case err_name_missing: return "Name missing";
    case err_no_shell_argument: return "No shell argument (fun+arg, cmd, cmds)";
    case err_midrule: return "Rule from within midrule";
    case err_insane_rule: return "Insane rule";
    case err_invalid_regex: return "Invalid regular expression";
  }
  return engine::error_message(code);
}

const char* opcode_name(unsigned opcode) {
  if (const opcode_row* x = entry_of(opcode)) return x->text;
  return engine::opcode_description(opcode);
}

int extension_hook(engine::engine* e, unsigned opcode, const uint8_t*, size_t) {
  const opcode_row* x = entry_of(opcode);
  if (x && x->run) {
    if (int rc = engine::lib::need(e, static_cast<size_t>(x->arity))) return rc;
    return x->run(e);
  }
  // The rule-building built-ins, when the front end has provided them.
  auto provided = opcode == op_adddeps ? up.adddeps : opcode == op_addrule ? up.addrule : nullptr;
  if (provided) return provided(e);
  return engine::set_error(e, engine::err_unknown_instruction, engine::make_nil(), opcode,
                           base::rc_bad_instruction);
}

}  // namespace kiln::ext
