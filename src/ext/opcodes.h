// The build extension's opcodes, 64 to 97, one line each in the shape of
// the engine's tables (engine/bytecode.h): X(name, number, arity, keyword,
// handler, effect, text). The text is the name an error report gives the
// opcode. `handler` is run for ext::run_<name> (operands checked against
// the arity first), none for the rule-building built-ins, which the front
// end provides and which check their own operands.
#pragma once

#include <cstdint>

#define KILN_EXTENSION_OPCODES(X) \
  X(dirup,           64, 0, kw_dirup,           run,  "-> str (the way up from the scope directory to the project's)", "@dirup") \
  X(dirdown,         65, 0, kw_dirdown,         run,  "-> str (the scope directory, relative to the project's)", "@dirdown") \
  X(adddeps,         66, 3, none,               none, "targets deps options -> (dependencies added)", "@adddeps") \
  X(addrule,         67, 1, none,               none, "tree -> (a rule added)", "@addrule") \
  X(sufsuball,       68, 3, kw_sufsuball,       run,  "list old new -> list (suffix old replaced by new)", "@sufsuball") \
  X(sufsubone,       69, 3, kw_sufsubone,       run,  "str old new -> str (suffix old replaced by new)", "@sufsubone") \
  X(suffilter,       70, 2, kw_suffilter,       run,  "list suffix -> list (those ending in suffix)", "@suffilter") \
  X(pathsuffix,      71, 1, kw_pathsuffix,      run,  "path -> suffix", "@pathsuffix") \
  X(pathbasename,    72, 1, kw_pathbasename,    run,  "path -> path without its suffix", "@pathbasename") \
  X(pathdir,         73, 1, kw_pathdir,         run,  "path -> directory part", "@pathdir") \
  X(pathnotdir,      74, 1, kw_pathnotdir,      run,  "path -> part after the last /", "@pathnotdir") \
  X(pathsimplify,    75, 1, kw_pathsimplify,    run,  "path -> simplified path", "@pathsimplify") \
  X(pathsuffixall,   76, 1, kw_pathsuffixall,   run,  "list -> list (of 71)", "@pathsuffixall") \
  X(pathbasenameall, 77, 1, kw_pathbasenameall, run,  "list -> list (of 72)", "@pathbasenameall") \
  X(pathdirall,      78, 1, kw_pathdirall,      run,  "list -> list (of 73)", "@pathdirall") \
  X(pathnotdirall,   79, 1, kw_pathnotdirall,   run,  "list -> list (of 74)", "@pathnotdirall") \
  X(pathsimplifyall, 80, 1, kw_pathsimplifyall, run,  "list -> list (of 75)", "@pathsimplifyall") \
  X(glob,            81, 1, kw_glob,            run,  "pattern -> list (in the scope directory)", "@glob") \
  X(jsonin,          82, 1, kw_jsonin,          run,  "file -> v (JSON read in the scope directory)", "@jsonin") \
  X(suffilterout,    83, 2, kw_suffilterout,    run,  "list suffix -> list (those not ending in suffix)", "@suffilterout") \
  X(shellescape,     84, 1, kw_shellescape,     run,  "str -> str (quoted for the shell)", "@shellescape") \
  X(dirupall,        85, 0, kw_dirupall,        run,  "-> str (the way up from the scope directory to the top)", "@dirupall") \
  X(dirdownall,      86, 0, kw_dirdownall,      run,  "-> str (the scope directory, relative to the top)", "@dirdownall") \
  X(presuball,       87, 3, kw_presuball,       run,  "list old new -> list (prefix old replaced by new)", "@presuball") \
  X(presubone,       88, 3, kw_presubone,       run,  "str old new -> str (prefix old replaced by new)", "@presubone") \
  X(abspath,         89, 1, kw_abspath,         run,  "path -> absolute path", "@abspath") \
  X(regfilter,       90, 3, kw_regfilter,       run,  "list keep regex -> list (basic expressions)", "@regfilter") \
  X(eregfilter,      91, 3, kw_eregfilter,      run,  "list keep regex -> list (extended expressions)", "@eregfilter") \
  X(prefilter,       92, 2, kw_prefilter,       run,  "list prefix -> list (those beginning with prefix)", "@prefilter") \
  X(prefilterout,    93, 2, kw_prefilterout,    run,  "list prefix -> list (those not beginning with it)", "@prefilterout") \
  X(filter,          94, 2, kw_filter,          run,  "list words -> list (those among words)", "@filter") \
  X(filterout,       95, 2, kw_filterout,       run,  "list words -> list (those not among words)", "@filterout") \
  X(access,          96, 2, kw_access,          run,  "path mode -> bool", "@access") \
  X(shellescapemulti,97, 1, kw_shellescapemulti,run,  "list -> list (each quoted for the shell)", "@shellescapemulti") \
  /* end of extension opcodes */

namespace kiln::ext {

enum extension_opcode : uint16_t {
#define KILN_OPCODE_ENUM(name, number, ...) op_##name = number,
  KILN_EXTENSION_OPCODES(KILN_OPCODE_ENUM)
#undef KILN_OPCODE_ENUM
};

// The extension's opcodes are op_dirup .. op_shellescapemulti.
constexpr unsigned k_first_opcode = op_dirup;
constexpr unsigned k_end_opcode = op_shellescapemulti + 1;

}  // namespace kiln::ext
