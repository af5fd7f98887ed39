#include "ext/extension.h"

#include "base/hooks.h"
#include "engine/bytecode.h"
#include "ext/builtins.h"

namespace kiln::ext {

namespace {

// Names of the opcodes 64 to 97, as scripts spell them.
constexpr const char* k_names[] = {
    "@dirup",         "@dirdown",        "@adddeps",        "@addrule",
    "@sufsuball",     "@sufsubone",      "@suffilter",      "@pathsuffix",
    "@pathbasename",  "@pathdir",        "@pathnotdir",     "@pathsimplify",
    "@pathsuffixall", "@pathbasenameall", "@pathdirall",    "@pathnotdirall",
    "@pathsimplifyall", "@glob",         "@jsonin",         "@suffilterout",
    "@shellescape",   "@dirupall",       "@dirdownall",     "@presuball",
    "@presubone",     "@abspath",        "@regfilter",      "@eregfilter",
    "@prefilter",     "@prefilterout",   "@filter",         "@filterout",
    "@access",        "@shellescapemulti",
};

}  // namespace

std::string current_directory(engine::engine* e) {
  std::string top = ".";
  std::string project = ".";
  if (up.scope_directories) up.scope_directories(e, &top, &project);
  return top;
}

void scope_directories_of(engine::engine* e, std::string* top, std::string* project) {
  *top = ".";
  *project = ".";
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
  if (opcode >= 64 && opcode <= 97) return k_names[opcode - 64];
  return engine::opcode_description(opcode);
}

int extension_hook(engine::engine* e, unsigned opcode, const uint8_t*, size_t) {
  if (opcode == engine::op_adddeps && up.adddeps) return up.adddeps(e);
  if (opcode == engine::op_addrule && up.addrule) return up.addrule(e);
  if (opcode >= 64 && opcode <= 97 && opcode != engine::op_adddeps &&
      opcode != engine::op_addrule) {
    return run_builtin(e, opcode);
  }
  return engine::set_error(e, engine::err_unknown_instruction, engine::make_nil(), opcode, -86);
}

}  // namespace kiln::ext
