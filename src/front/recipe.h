// A rule's recipe as the front end records it: an ordered list of entries,
// each compiled code that yields one command or a list of commands, a
// function called with one argument (rules made by @addrule), or command
// vectors ready as they are. The build evaluates a recipe the first time
// its rule is about to run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "front/shell_template.h"
#include "graph/rule.h"

namespace kiln::front {

enum class recipe_kind : uint8_t {
  command_code,  // code at `address` yields one argument vector
  list_code,     // code at `address` yields a list of argument vectors
  function,      // the function at `address` called with the cached argument
  ready,         // `commands` as they stand
};

// Flag bits of a recipe entry; they become the marker words of each
// command ("I"/"NI", "NE"/"E", "M"/"NM").
constexpr uint8_t k_recipe_ignore = 1;
constexpr uint8_t k_recipe_noecho = 2;
constexpr uint8_t k_recipe_ismake = 4;

// The automatic variables a recipe's code may read, one bit each. Only
// the ones a recipe may read are bound while it is evaluated.
constexpr uint8_t k_auto_target = 1;         // $@
constexpr uint8_t k_auto_stem = 2;           // $*
constexpr uint8_t k_auto_all_deps = 4;       // $+
constexpr uint8_t k_auto_order_only = 8;     // $|
constexpr uint8_t k_auto_unique_deps = 16;   // $^
constexpr uint8_t k_auto_first_dep = 32;     // $<
constexpr uint8_t k_auto_every = 63;

// The bit of an automatic variable's name; 0 for any other name.
inline uint8_t automatic_bit(std::string_view name) {
  if (name.size() != 1) return 0;
  switch (name[0]) {
    case '@': return k_auto_target;
    case '*': return k_auto_stem;
    case '+': return k_auto_all_deps;
    case '|': return k_auto_order_only;
    case '^': return k_auto_unique_deps;
    case '<': return k_auto_first_dep;
    default: return 0;
  }
}

struct recipe_entry {
  recipe_kind kind = recipe_kind::command_code;
  uint8_t flags = 0;
  // The Kilnfile line of the recipe line as its distance from the rule's
  // line; 0 names the rule's own line (entries made by script code).
  int line_offset = 0;
  int64_t address = 0;    // code or function address
  int64_t arg_index = -1; // object-cache index of the function's argument
  // The pieces of an old-style line (shared by identical lines), which
  // give its command without running code when every value is a string
  // or a list of strings, and its code otherwise; null for other entries,
  // whose code is at `address`.
  const shell_template* shell = nullptr;
  std::vector<std::vector<std::string>> commands;  // ready entries
};

// Rules of one Kilnfile whose recipes are the same old-style lines at the
// same distances from their headers share one recipe.
struct recipe {
  std::vector<recipe_entry> entries;
  // The Kilnfile the recipe was read from, as parse messages name it; -1
  // for recipes made by script code.
  graph::strid file = -1;
  // k_auto_* bits of the automatic variables the entries may read: code
  // that can call functions or look names up at run time may read all.
  uint8_t automatic_uses = k_auto_every;
};

// Evaluates the rule's recipe in the rule's scope and stores the command
// vectors (marker words first) in r->commands / r->n_commands. Returns 0,
// or a negative code with the engine's error text in *error and, when the
// failure was not reported yet, the additional information in *details.
// A failure also names the Kilnfile, the line and the rule on standard
// error ("kiln: variable $X is not defined in the recipe of 't' at file F
// line N.").
int evaluate_recipe(engine::engine* e, graph::rule* r, std::string* error, std::string* details);

// The three marker words of a recipe entry's flags, in order.
void marker_words(uint8_t flags, const char* out[3]);

}  // namespace kiln::front
