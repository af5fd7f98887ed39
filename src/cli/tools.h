// The everyday tools behind the long options: instead of building, kiln
// prints what it knows of the tree and exits.
//
//   --targets          every target: "<target>\t<directory>\t<kind>"
//   --compdb           a compilation database (compile_commands.json) of
//                      the rules whose commands run a C or C++ compiler
//   --graph [TARGET]   Graphviz dot of the graph below the named targets
//                      (or the default rule)
//   --query TARGET     the rule of each named target, its dependencies,
//                      dependants and evaluated commands, then whether and
//                      why it is out of date (a dry run with -R)
#pragma once

#include <string>
#include <vector>

#include "graph/rule.h"

namespace kiln::cli {

// Runs the tool chosen on the command line over the prepared graph, with
// the requested rules as roots. Returns the exit status.
int run_tool(const std::vector<graph::ruleid>& roots);

// The kind of a rule as --targets names it: "phony", "maybe", "pattern",
// "cleanhook", "distcleanhook", "bothcleanhook" or "file".
const char* rule_kind(const graph::rule* r);

// Whether a command's argument words run a C or C++ compiler on a source
// (directly or through a wrapper such as ccache or distcc, with -c);
// *source receives the source file's word.
bool is_compile_command(const std::vector<std::string>& argv, std::string* source);

}  // namespace kiln::cli
