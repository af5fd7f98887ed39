// @addrule and @adddeps: the checks of a script's rule description, its
// conversion into a parsed rule with its recipe, and the registration in
// the parse in progress (for @adddeps after the parse: in the rule graph).
//
// Every argument is checked and copied before anything is registered, so
// that a failing call leaves no trace and the script values may be freed
// once the operands are popped.
#include "front/rule_builtins.h"

#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "base/hooks.h"
#include "base/result_codes.h"
#include "engine/operands.h"
#include "ext/extension.h"
#include "front/recipe.h"
#include "front/rule_list.h"
#include "graph/add_rule.h"
#include "graph/deferred.h"
#include "graph/rule.h"

namespace kiln::front {

namespace {

using engine::array_obj;
using engine::tree_obj;
using engine::value;

// Result of a refused call.
constexpr int k_invalid = base::rc_invalid;

// Additional number of the errors about @addrule's operand: the top slot.
constexpr double k_top = -1;

// Engine error codes of the type checks.
constexpr int k_expected_boolean = 40;
constexpr int k_invalid_character = 7;

// The declared kinds a clean hook or a phony rule cannot have.
constexpr uint32_t k_hook_bits =
    graph::k_parsed_iscleanhook | graph::k_parsed_isdistcleanhook | graph::k_parsed_isbothcleanhook;
constexpr uint32_t k_file_kinds =
    graph::k_parsed_rectgt | graph::k_parsed_detouch | graph::k_parsed_maybe | graph::k_parsed_dist;

// A boolean key and the flag bit it sets.
struct flag_key {
  const char* key;
  uint32_t bit;
};

constexpr flag_key k_target_keys[] = {{"dist", graph::k_name_dist}};
constexpr flag_key k_dep_keys[] = {{"rec", graph::k_name_recdep},
                                   {"orderonly", graph::k_name_orderonly}};
constexpr flag_key k_attr_keys[] = {
    {"phony", graph::k_parsed_phony},
    {"rectgt", graph::k_parsed_rectgt},
    {"detouch", graph::k_parsed_detouch},
    {"maybe", graph::k_parsed_maybe},
    {"dist", graph::k_parsed_dist},
    {"deponly", graph::k_parsed_deponly},
    {"iscleanhook", graph::k_parsed_iscleanhook},
    {"isdistcleanhook", graph::k_parsed_isdistcleanhook},
    {"isbothcleanhook", graph::k_parsed_isbothcleanhook},
};

// The keys of a recipe part, in the order they are checked.
constexpr flag_key k_shell_keys[] = {
    {"embed", 0},
    {"isfun", 0},
    {"ismake", k_recipe_ismake},
    {"noecho", k_recipe_noecho},
    {"ignore", k_recipe_ignore},
};

int fail(engine::engine* e, int code, value info, double number = k_top) {
  return engine::set_error(e, code, info, number, k_invalid);
}

// Fails with the name of the missing key as the additional information.
int fail_missing(engine::engine* e, int code, const char* key) {
  engine::str_obj* s = engine::string_new(e, key, strlen(key));
  if (!s) return base::rc_no_memory;
  value v = engine::make_object(engine::t_str, s);
  int rc = fail(e, code, v);
  engine::value_unref(e, v);
  return rc;
}

// The value must have the type; otherwise its expected-type error.
int expect(engine::engine* e, const value& v, uint32_t type, double number = k_top) {
  if (v.type == type) return 0;
  return fail(e, engine::expected_type_error(type), v, number);
}

value* find(tree_obj* t, const char* key) { return engine::tree_get(t, key, strlen(key)); }

std::string text_of(const value& v) { return std::string(v.str->bytes, v.str->length); }

// A target or dependency name: a string without NUL bytes (the rule
// graph's names are C strings).
int name_at(engine::engine* e, const value& v, std::string* out, double number = k_top) {
  if (int rc = expect(e, v, engine::t_str, number)) return rc;
  if (memchr(v.str->bytes, '\0', v.str->length)) return fail(e, k_invalid_character, v, number);
  *out = text_of(v);
  return 0;
}

// A boolean key: absent is false; a number counts, true when nonzero.
int bool_key(engine::engine* e, tree_obj* t, const char* key, bool* out, double number = k_top) {
  *out = false;
  value* v = find(t, key);
  if (!v) return 0;
  if (!engine::is_number_type(v->type)) return fail(e, k_expected_boolean, *v, number);
  *out = v->num != 0;
  return 0;
}

// Sets the keys' bits in *flags for the boolean keys that are true.
template <size_t N>
int flag_keys(engine::engine* e, tree_obj* t, const flag_key (&keys)[N], uint32_t* flags,
              double number = k_top) {
  for (const flag_key& k : keys) {
    bool on = false;
    if (int rc = bool_key(e, t, k.key, &on, number)) return rc;
    if (on) *flags |= k.bit;
  }
  return 0;
}

// An array of strings, copied.
int strings_of(engine::engine* e, const value& v, std::vector<std::string>* out,
               double number = k_top) {
  if (int rc = expect(e, v, engine::t_array, number)) return rc;
  out->clear();
  array_obj* a = v.array;
  for (size_t i = 0; i < a->size; i++) {
    if (int rc = expect(e, a->items[i], engine::t_str, number)) return rc;
    out->push_back(text_of(a->items[i]));
  }
  return 0;
}

// An array of names, copied.
int names_in(engine::engine* e, const value& v, std::vector<std::string>* out, double number) {
  if (int rc = expect(e, v, engine::t_array, number)) return rc;
  out->clear();
  for (size_t i = 0; i < v.array->size; i++) {
    std::string name;
    if (int rc = name_at(e, v.array->items[i], &name, number)) return rc;
    out->push_back(std::move(name));
  }
  return 0;
}

// "tgts" or "deps": an array of dictionaries, each with a string "name"
// and the given boolean keys.
template <size_t N>
int names_of(engine::engine* e, const value& list, const flag_key (&keys)[N],
             std::vector<graph::parsed_name>* out) {
  if (int rc = expect(e, list, engine::t_array)) return rc;
  for (size_t i = 0; i < list.array->size; i++) {
    const value& item = list.array->items[i];
    if (int rc = expect(e, item, engine::t_tree)) return rc;
    value* name = find(item.tree, "name");
    if (!name) return fail_missing(e, ext::err_name_missing, "name");
    graph::parsed_name p;
    if (int rc = name_at(e, *name, &p.name)) return rc;
    if (int rc = flag_keys(e, item.tree, keys, &p.flags)) return rc;
    out->push_back(std::move(p));
  }
  return 0;
}

// One element of "shells". A function part's argument is handed back in
// *arg (borrowed from the dictionary) and has_arg is set.
int shell_of(engine::engine* e, const value& item, recipe_entry* out, value* arg, bool* has_arg) {
  if (int rc = expect(e, item, engine::t_tree)) return rc;
  tree_obj* t = item.tree;
  bool on[std::size(k_shell_keys)] = {};
  out->flags = 0;
  for (size_t i = 0; i < std::size(k_shell_keys); i++) {
    if (int rc = bool_key(e, t, k_shell_keys[i].key, &on[i])) return rc;
    if (on[i]) out->flags |= static_cast<uint8_t>(k_shell_keys[i].bit);
  }
  bool is_embed = on[0];
  bool is_fun = on[1];
  *has_arg = false;
  if (is_fun) {
    value* fun = find(t, "fun");
    if (!fun) return fail_missing(e, ext::err_no_shell_argument, "fun");
    if (int rc = expect(e, *fun, engine::t_fun)) return rc;
    value* a = find(t, "arg");
    if (!a) return fail_missing(e, ext::err_no_shell_argument, "arg");
    out->kind = recipe_kind::function;
    out->address = static_cast<int64_t>(fun->num);
    *arg = *a;
    *has_arg = true;
    return 0;
  }
  out->kind = recipe_kind::ready;
  if (is_embed) {
    value* cmds = find(t, "cmds");
    if (!cmds) return fail_missing(e, ext::err_no_shell_argument, "cmds");
    if (int rc = expect(e, *cmds, engine::t_array)) return rc;
    for (size_t i = 0; i < cmds->array->size; i++) {
      std::vector<std::string> words;
      if (int rc = strings_of(e, cmds->array->items[i], &words)) return rc;
      out->commands.push_back(std::move(words));
    }
    return 0;
  }
  value* cmd = find(t, "cmd");
  if (!cmd) return fail_missing(e, ext::err_no_shell_argument, "cmd");
  std::vector<std::string> words;
  if (int rc = strings_of(e, *cmd, &words)) return rc;
  out->commands.push_back(std::move(words));
  return 0;
}

// Whether the declared kinds go together; a clean hook has no targets of
// its own.
bool is_sane(uint32_t f, bool has_targets) {
  uint32_t hooks = f & k_hook_bits;
  bool is_phony = f & graph::k_parsed_phony;
  bool is_deponly = f & graph::k_parsed_deponly;
  if (hooks & (hooks - 1)) return false;  // more than one hook kind
  if (hooks) return !(f & k_file_kinds) && is_phony != is_deponly && !has_targets;
  if (is_deponly && (f & (graph::k_parsed_phony | k_file_kinds))) return false;
  if (is_phony && (f & k_file_kinds)) return false;
  if ((f & graph::k_parsed_rectgt) && (f & (graph::k_parsed_detouch | graph::k_parsed_maybe)))
    return false;
  if ((f & graph::k_parsed_detouch) && (f & graph::k_parsed_maybe)) return false;
  return true;
}

// The pseudo-target of a clean hook; the graph appends "///" to it.
const char* hook_target(uint32_t f) {
  if (f & graph::k_parsed_iscleanhook) return "CLEAN";
  if (f & graph::k_parsed_isdistcleanhook) return "DISTCLEAN";
  return "BOTHCLEAN";
}

// The object-cache index of the engine's current scope.
int32_t current_scope_index(engine::engine* e) {
  if (e->current_scope.type != engine::t_sc) return 0;
  return static_cast<int32_t>(e->current_scope.scope->cache_index);
}

// A parsed rule in the current directory and scope.
graph::parsed_rule rule_here(engine::engine* e) {
  graph::parsed_rule pr;
  pr.prefix = ext::current_directory(e);
  pr.scope = current_scope_index(e);
  pr.line = current_run_context().line;
  return pr;
}

// The error of a refused registration.
int registration_error(engine::engine* e, int rc) {
  int code = rc == k_register_midrule ? ext::err_midrule : ext::err_parsing_done;
  return fail(e, code, engine::make_nil(), 0);
}

// A function argument waiting for its object-cache slot: the recipe entry
// it belongs to and the value.
struct pending_arg {
  size_t entry;
  value arg;
};

// Registers the rule. The function parts' arguments enter the object
// cache first; their slots are emptied again when nothing was recorded.
int register_with_args(engine::engine* e, graph::parsed_rule pr, recipe r,
                       const std::vector<pending_arg>& args) {
  rule_list* list = active_rule_list();
  size_t n_before = list ? list->rules.size() : 0;
  std::vector<int64_t> slots;
  auto release = [&] {
    for (int64_t s : slots) engine::value_clear(e, &e->object_cache.items[s]);
  };
  for (const pending_arg& a : args) {
    int64_t index = engine::cache_add_value(e, a.arg);
    if (index < 0) {
      release();
      return static_cast<int>(index);
    }
    r.entries[a.entry].arg_index = index;
    slots.push_back(index);
  }
  int rc = register_rule(std::move(pr), std::move(r));
  if (!list || list->rules.size() == n_before) release();
  return rc < 0 ? registration_error(e, rc) : 0;
}

}  // namespace

int builtin_addrule(engine::engine* e) {
  if (!active_rule_list()) return fail(e, ext::err_parsing_done, engine::make_nil(), 0);
  if (int rc = engine::lib::need(e, 1)) return rc;
  value* operand = nullptr;
  if (int rc = engine::lib::typed_arg(e, 1, engine::t_tree, &operand)) return rc;
  tree_obj* t = operand->tree;

  graph::parsed_rule pr = rule_here(e);
  value* tgts = find(t, "tgts");
  if (!tgts) return fail_missing(e, ext::err_targets_missing, "tgts");
  if (int rc = names_of(e, *tgts, k_target_keys, &pr.targets)) return rc;
  if (value* deps = find(t, "deps")) {
    if (int rc = names_of(e, *deps, k_dep_keys, &pr.deps)) return rc;
  }

  recipe r;
  std::vector<pending_arg> args;
  if (value* shells = find(t, "shells")) {
    if (int rc = expect(e, *shells, engine::t_array)) return rc;
    for (size_t i = 0; i < shells->array->size; i++) {
      recipe_entry entry;
      value arg;
      bool has_arg = false;
      if (int rc = shell_of(e, shells->array->items[i], &entry, &arg, &has_arg)) return rc;
      if (has_arg) args.push_back(pending_arg{r.entries.size(), arg});
      r.entries.push_back(std::move(entry));
    }
  }

  uint32_t flags = 0;
  if (value* attrs = find(t, "attrs")) {
    if (int rc = expect(e, *attrs, engine::t_tree)) return rc;
    if (int rc = flag_keys(e, attrs->tree, k_attr_keys, &flags)) return rc;
  }
  if (!is_sane(flags, !pr.targets.empty())) {
    return fail(e, ext::err_insane_rule, engine::make_nil(), flags);
  }
  if (flags & k_hook_bits) {
    graph::parsed_name hook;
    hook.name = hook_target(flags);
    pr.targets.push_back(std::move(hook));
    flags |= graph::k_parsed_phony;
  }
  pr.flags = flags;

  if (int rc = register_with_args(e, std::move(pr), std::move(r), args)) return rc;
  return engine::pop(e);
}

int builtin_adddeps(engine::engine* e) {
  if (int rc = engine::lib::need(e, 3)) return rc;
  value* options = nullptr;
  if (int rc = engine::lib::typed_arg(e, 1, engine::t_tree, &options)) return rc;
  std::vector<std::string> deps;
  std::vector<std::string> targets;
  if (int rc = names_in(e, engine::lib::operand(e, 2), &deps, -2)) return rc;
  if (int rc = names_in(e, engine::lib::operand(e, 3), &targets, -3)) return rc;
  uint32_t dep_flags = 0;
  constexpr flag_key k_option_keys[] = {{"rec", graph::k_name_recdep},
                                        {"orderonly", graph::k_name_orderonly},
                                        {"wait", graph::k_name_wait}};
  if (int rc = flag_keys(e, options->tree, k_option_keys, &dep_flags)) return rc;

  if (active_rule_list()) {
    graph::parsed_rule pr = rule_here(e);
    pr.flags = graph::k_parsed_deponly;
    pr.targets.resize(targets.size());
    for (size_t i = 0; i < targets.size(); i++) pr.targets[i].name = std::move(targets[i]);
    pr.deps.resize(deps.size());
    for (size_t i = 0; i < deps.size(); i++) {
      pr.deps[i].name = std::move(deps[i]);
      pr.deps[i].flags = dep_flags;
    }
    int rc = register_rule(std::move(pr), recipe{});
    if (rc < 0) return registration_error(e, rc);
  } else {
    uint32_t graph_flags = 0;
    if (dep_flags & graph::k_name_recdep) graph_flags |= graph::k_dep_recdep;
    if (dep_flags & graph::k_name_orderonly) graph_flags |= graph::k_dep_orderonly;
    if (dep_flags & graph::k_name_wait) graph_flags |= graph::k_dep_wait;
    int rc = graph::add_deps_at_run_time(ext::current_directory(e), targets, deps, graph_flags);
    if (rc < 0) {
      return engine::set_error(e, ext::err_rule_not_found, engine::make_nil(), 0, rc);
    }
  }
  return engine::pop_n(e, 3);
}

void install_rule_builtins() {
  up.adddeps = builtin_adddeps;
  up.addrule = builtin_addrule;
}

}  // namespace kiln::front
