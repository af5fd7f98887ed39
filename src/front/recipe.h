// A rule's recipe as the front end records it: an ordered list of entries,
// each compiled code that yields one command or a list of commands, a
// function called with one argument (rules made by @addrule), or command
// vectors ready as they are. The build evaluates a recipe the first time
// its rule is about to run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
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

struct recipe_entry {
  recipe_kind kind = recipe_kind::command_code;
  uint8_t flags = 0;
  int64_t address = 0;    // code or function address
  int64_t arg_index = -1; // object-cache index of the function's argument
  int line = -1;          // Kilnfile line of the recipe line, -1 when unknown
  std::vector<std::vector<std::string>> commands;  // ready entries
};

struct recipe {
  std::vector<recipe_entry> entries;
  // The Kilnfile the recipe was read from, as parse messages name it; -1
  // for recipes made by script code.
  graph::strid file = -1;
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
