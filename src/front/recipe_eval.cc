// Recipe evaluation: runs a rule's recipe code in the rule's scope, with
// the automatic variables bound, and turns the results into command
// vectors with their marker words.
#include <cstring>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "engine/bytecode.h"
#include "ext/extension.h"
#include "ext/shell_quote.h"
#include "front/directive.h"
#include "front/recipe.h"
#include "front/rule_list.h"
#include "graph/arena.h"
#include "graph/path.h"
#include "graph/stringtab.h"

namespace kiln::front {

namespace eng = kiln::engine;

namespace {

// The automatic variables, in the order they are bound.
const char* const k_names[] = {"@", "*", "+", "|", "^", "<"};

// A string value; nil when memory runs out (the run then fails cleanly on
// the missing variable).
eng::value string_value(eng::engine* e, const std::string& s) {
  eng::str_obj* o = eng::string_new(e, s.data(), s.size());
  return o ? eng::make_object(eng::t_str, o) : eng::value{};
}

// The array and each new string stay rooted on the C stack while the
// array grows (a collection may run at any allocation).
eng::value string_array(eng::engine* e, const std::vector<std::string>& items) {
  int64_t array_slot = eng::cstack_array_new(e);
  if (array_slot < 0) return eng::value{};
  eng::array_obj* a = e->cstack.items[array_slot].array;
  for (const std::string& s : items) {
    int64_t slot = eng::cstack_string_new(e, s.data(), s.size());
    if (slot < 0) break;
    eng::array_push(e, a, e->cstack.items[slot]);
    eng::cstack_pop(e);
  }
  eng::value result = e->cstack.items[array_slot];
  eng::value_ref(result);
  eng::cstack_pop(e);
  return result;
}

// Binds name to v (taking v's reference); v stays rooted on the C stack
// while the name is interned and the scope grows.
void bind(eng::engine* e, eng::scope_obj* s, const char* name, eng::value v) {
  int rc = eng::cstack_push(e, v);
  eng::value_unref(e, v);
  if (rc < 0) return;
  int64_t index = eng::cache_add_string(e, name, strlen(name));
  if (index >= 0) {
    eng::scope_set(e, s, e->object_cache.items[index], e->cstack.items[e->cstack.length - 1]);
  }
  eng::cstack_pop(e);
}

// Whether a dependency with these flags belongs in the list variable
// `bit`: $+ every one that is not order-only, $| the order-only ones, $^
// those neither order-only nor listed before.
bool listed_in(uint8_t bit, uint32_t flags) {
  bool order_only = flags & graph::k_dep_orderonly;
  bool duplicate = flags & graph::k_dep_duplicate;
  if (bit == k_auto_all_deps) return !order_only;
  if (bit == k_auto_order_only) return order_only && !duplicate;
  return !order_only && !duplicate;
}

// $<: the first dependency that is neither order-only nor a duplicate.
const graph::kilndep* first_dep_of(const graph::rule* r) {
  const graph::kilndep* d = r->first_dep;
  while (d && (d->flags & (graph::k_dep_orderonly | graph::k_dep_duplicate))) d = d->next;
  return d;
}

// Binds those of "@", "*", "+", "|", "^" and "<" that `uses` asks for,
// names relative to the rule's directory.
void bind_automatic(eng::engine* e, eng::scope_obj* s, const graph::rule* r, uint8_t uses) {
  if (!uses) return;
  std::string dir = graph::text(r->prefix);
  auto rel = [&](graph::strid id) { return graph::relative_path(dir, graph::text(id)); };
  if (uses & k_auto_target) bind(e, s, "@", string_value(e, rel(r->first_tgt->id)));
  if ((uses & k_auto_stem) && r->stem >= 0) bind(e, s, "*", string_value(e, graph::text(r->stem)));
  constexpr uint8_t k_lists = k_auto_all_deps | k_auto_order_only | k_auto_unique_deps;
  if (uses & k_lists) {
    std::vector<std::string> all, order_only, unique;
    for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
      if ((uses & k_auto_all_deps) && listed_in(k_auto_all_deps, d->flags)) all.push_back(rel(d->id));
      if ((uses & k_auto_order_only) && listed_in(k_auto_order_only, d->flags)) {
        order_only.push_back(rel(d->id));
      }
      if ((uses & k_auto_unique_deps) && listed_in(k_auto_unique_deps, d->flags)) {
        unique.push_back(rel(d->id));
      }
    }
    if (uses & k_auto_all_deps) bind(e, s, "+", string_array(e, all));
    if (uses & k_auto_order_only) bind(e, s, "|", string_array(e, order_only));
    if (uses & k_auto_unique_deps) bind(e, s, "^", string_array(e, unique));
  }
  if (uses & k_auto_first_dep) {
    const graph::kilndep* first = first_dep_of(r);
    bind(e, s, "<", first ? string_value(e, rel(first->id)) : eng::value{});
  }
}

// Appends the quoted value that an automatic variable would be bound to,
// as the line's code quotes it; false when the code must run to tell
// (no such value, or one the quoting refuses).
bool append_automatic(const graph::rule* r, const std::string& dir, uint8_t bit, bool is_list,
                      std::string* out) {
  auto rel = [&](graph::strid id) { return graph::relative_path(dir, graph::text(id)); };
  bool wants_list = bit & (k_auto_all_deps | k_auto_order_only | k_auto_unique_deps);
  if (is_list != wants_list) return false;
  switch (bit) {
    case k_auto_target:
      ext::shell_escape_append(*out, rel(r->first_tgt->id));
      return true;
    case k_auto_stem:
      if (r->stem < 0) return false;
      ext::shell_escape_append(*out, graph::text(r->stem));
      return true;
    case k_auto_first_dep: {
      const graph::kilndep* first = first_dep_of(r);
      if (!first) return false;
      ext::shell_escape_append(*out, rel(first->id));
      return true;
    }
    default: break;
  }
  bool is_first = true;
  for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
    if (!listed_in(bit, d->flags)) continue;
    if (!is_first) out->push_back(' ');
    is_first = false;
    ext::shell_escape_append(*out, rel(d->id));
  }
  return true;
}

// Appends the quoted value of a variable of the scope chain; false when
// it is missing or neither a string nor (for a list) strings only.
bool append_variable(eng::scope_obj* s, const shell_piece& p, std::string* out) {
  const eng::value* v = eng::scope_find(s, p.text.data(), p.text.size(), true);
  if (!v) return false;
  if (!p.is_list) {
    if (v->type != eng::t_str) return false;
    ext::shell_escape_append(*out, std::string_view(v->str->bytes, v->str->length));
    return true;
  }
  if (v->type != eng::t_array) return false;
  for (size_t i = 0; i < v->array->size; i++) {
    if (v->array->items[i].type != eng::t_str) return false;
  }
  for (size_t i = 0; i < v->array->size; i++) {
    const eng::str_obj* item = v->array->items[i].str;
    if (i) out->push_back(' ');
    ext::shell_escape_append(*out, std::string_view(item->bytes, item->length));
  }
  return true;
}

// The commands of a recipe made of old-style lines and ready commands,
// made from the lines' pieces as their code would make them, without
// binding or running anything; false (nothing appended) when some line
// needs its code run to tell what happens.
bool direct_commands(const eng::engine* e, eng::scope_obj* s, const graph::rule* r,
                     const recipe& rc, std::vector<std::vector<std::string>>* commands,
                     std::vector<uint8_t>* flags) {
  if (e->extension_hook != ext::extension_hook) return false;
  for (const recipe_entry& entry : rc.entries) {
    if (entry.kind != recipe_kind::ready && !entry.shell) return false;
  }
  std::string dir = graph::text(r->prefix);
  for (const recipe_entry& entry : rc.entries) {
    size_t before = commands->size();
    if (entry.kind == recipe_kind::ready) {
      commands->insert(commands->end(), entry.commands.begin(), entry.commands.end());
    } else {
      std::string text;
      shell_pieces pieces(*entry.shell);
      shell_piece p;
      while (pieces.next(&p)) {
        bool ok = true;
        if (!p.is_variable) {
          text += p.text;
        } else if (uint8_t bit = automatic_bit(p.text)) {
          ok = append_automatic(r, dir, bit, p.is_list, &text);
        } else {
          ok = append_variable(s, p, &text);
        }
        if (!ok) {
          commands->clear();
          flags->clear();
          return false;
        }
      }
      commands->push_back({"sh", "-c", std::move(text)});
    }
    flags->insert(flags->end(), commands->size() - before, entry.flags);
  }
  return true;
}

void unbind_automatic(eng::engine* e, eng::scope_obj* s) {
  for (const char* name : k_names) eng::scope_delete(e, s, name, strlen(name));
}

// One argument vector from an array of strings; false (error 47/48 set)
// when the value is no such array.
bool command_words(eng::engine* e, eng::value v, std::vector<std::string>* out) {
  if (v.type != eng::t_array) {
    eng::set_error(e, eng::err_expected_array, v, 0, base::rc_invalid);
    return false;
  }
  out->clear();
  for (size_t i = 0; i < v.array->size; i++) {
    eng::value w = v.array->items[i];
    if (w.type != eng::t_str) {
      eng::set_error(e, eng::err_expected_string, w, static_cast<double>(i), base::rc_invalid);
      return false;
    }
    out->emplace_back(w.str->bytes, w.str->length);
  }
  return true;
}

// Room for the longest fragment: nine opcodes of up to three bytes and
// three immediates.
constexpr size_t k_fragment_room = 9 * 3 + 3 * 8;

// The fragment that runs the code at `address` for a code entry, written
// at code; returns its length.
size_t fragment_for(const recipe_entry& entry, int64_t address, uint8_t code[k_fragment_room]) {
  size_t n = 0;
  auto op = [&](unsigned opcode) { n += eng::encode_opcode(opcode, code + n); };
  auto immediate = [&](double x) {
    eng::store_immediate(code + n, x);
    n += 8;
  };
  op(eng::op_push_double);
  immediate(static_cast<double>(address));
  if (entry.kind == recipe_kind::function) {
    op(eng::op_make_fun);
    op(eng::op_push_double);
    immediate(static_cast<double>(entry.arg_index));
    op(eng::op_cache_get);
    op(eng::op_push_double);
    immediate(1);
    op(eng::op_call);
    op(eng::op_exit);
  } else {
    op(eng::op_jump);
  }
  return n;
}

// The engine's error code for a variable that no scope defines.
constexpr int k_scope_variable_not_found = 34;

// The message line naming the Kilnfile, the line and the rule of a failed
// recipe entry, in the form of the parse messages; an undefined variable
// is named as such.
std::string recipe_failure_line(const eng::engine* e, const graph::rule* r, const recipe& rc,
                                const recipe_entry& entry) {
  std::string what = ext::script_error_message(e->err.code);
  if (e->err.code == k_scope_variable_not_found && e->err.info.type == eng::t_str) {
    what = "variable $" + std::string(e->err.info.str->bytes, e->err.info.str->length) +
           " is not defined";
  }
  int line = r->line >= 0 ? r->line + entry.line_offset : -1;
  std::string where;
  if (rc.file >= 0) {
    where = std::string(" at file ") + graph::text(rc.file);
    if (line >= 0) where += " line " + std::to_string(line);
  } else {
    // A rule made by script code: the statement that ran the code.
    where = ", made by the statement";
    if (line >= 0) where += " at line " + std::to_string(line);
    where += std::string(" of the Kilnfile in directory '") + graph::text(r->prefix) + "'";
  }
  return "kiln: " + what + " in the recipe of '" + graph::rule_name(r) + "'" + where + ".\n";
}

void print_failure_line(const std::string& text) {
  fflush(stdout);
  fputs(text.c_str(), stderr);
}

// Runs one code entry; its commands are appended to `out`. Returns 0, -1
// when the run failed (reported), -2 when the result has the wrong shape
// (not reported yet).
int run_entry(eng::engine* e, const graph::rule* r, const recipe_entry& entry,
              std::vector<std::vector<std::string>>* out, std::string* error) {
  size_t depth = e->stack.length;
  size_t bp = e->bp;
  int64_t address = entry.shell ? shell_template_code(e, *entry.shell) : entry.address;
  if (address < 0) {
    eng::set_error(e, eng::err_not_enough_memory, eng::value{}, 0, base::rc_no_memory);
    return base::rc_not_found;
  }
  uint8_t code[k_fragment_room];
  size_t length = fragment_for(entry, address, code);
  if (eng::engine_run(e, code, length) < 0) {
    // The reports clear the error slot: take the message first.
    *error = ext::script_error_message(e->err.code);
    std::string failure_line = recipe_failure_line(e, r, *r->recipe, entry);
    report_run_failure(e, stdout, nullptr);
    print_failure_line(failure_line);
    drop_to(e, depth);
    return -1;
  }
  settle_exit(e, depth, bp);
  eng::clear_error(e);
  if (e->stack.length != depth + 1) {
    eng::set_error(e, eng::err_stack_index_out_of_bounds, eng::value{}, static_cast<double>(e->stack.length), base::rc_out_of_bounds);
    drop_to(e, depth);
    return base::rc_not_found;
  }
  eng::value v = e->stack.items[e->stack.length - 1];
  std::vector<std::string> words;
  int rc = 0;
  if (entry.kind == recipe_kind::list_code) {
    if (v.type != eng::t_array) {
      eng::set_error(e, eng::err_expected_array, v, 0, base::rc_invalid);
      rc = base::rc_not_found;
    } else {
      for (size_t i = 0; i < v.array->size && rc == 0; i++) {
        if (!command_words(e, v.array->items[i], &words)) rc = base::rc_not_found;
        else out->push_back(words);
      }
    }
  } else if (!command_words(e, v, &words)) {
    rc = base::rc_not_found;
  } else {
    out->push_back(std::move(words));
  }
  drop_to(e, depth);
  return rc;
}

// A command vector in the graph arena: the marker words, the words and a
// terminating null.
char** arena_command(const char* markers[3], const std::vector<std::string>& words) {
  size_t n = 3 + words.size();
  char** argv = static_cast<char**>(graph::my_malloc_arg((n + 1) * sizeof(char*), alignof(char*)));
  for (int i = 0; i < 3; i++) argv[i] = const_cast<char*>(markers[i]);
  for (size_t i = 0; i < words.size(); i++) {
    argv[3 + i] = graph::my_strdup_arg(words[i].data(), words[i].size());
  }
  argv[n] = nullptr;
  return argv;
}

// Evaluates the recipe by running its code in the rule's scope with the
// automatic variables bound; returns 0 or a negative code (reported).
int run_recipe(eng::engine* e, graph::rule* r, eng::value scope_value, const recipe& rc,
               std::vector<std::vector<std::string>>* commands, std::vector<uint8_t>* flags,
               std::string* error, std::string* details) {
  eng::scope_obj* s = scope_value.scope;
  eng::value saved = e->current_scope;
  eng::value_ref(saved);
  eng::value_assign(e, &e->current_scope, scope_value);
  bind_automatic(e, s, r, rc.automatic_uses);
  int result = 0;
  for (const recipe_entry& entry : rc.entries) {
    size_t before = commands->size();
    if (entry.kind == recipe_kind::ready) {
      commands->insert(commands->end(), entry.commands.begin(), entry.commands.end());
    } else {
      int rcode = run_entry(e, r, entry, commands, error);
      if (rcode < 0) {
        if (rcode == base::rc_not_found) {
          *error = ext::script_error_message(e->err.code);
          print_failure_line(recipe_failure_line(e, r, rc, entry));
          // Not reported by the run itself: the details go with the fatal
          // message.
          char number[64];
          snprintf(number, sizeof number, "%g", e->err.number);
          FILE* mem = tmpfile();
          if (mem) {
            eng::value_dump(mem, e->err.info);
            long size = ftell(mem);
            rewind(mem);
            std::string dumped(size > 0 ? static_cast<size_t>(size) : 0, '\0');
            size_t got = fread(dumped.data(), 1, dumped.size(), mem);
            dumped.resize(got);
            fclose(mem);
            *details = dumped + "\n" + number + "\n";
          }
          eng::clear_error(e);
        }
        result = base::rc_invalid;
        break;
      }
    }
    flags->insert(flags->end(), commands->size() - before, entry.flags);
  }
  unbind_automatic(e, s);
  eng::value_assign(e, &e->current_scope, saved);
  eng::value_unref(e, saved);
  return result;
}

}  // namespace

void marker_words(uint8_t flags, const char* out[3]) {
  out[0] = (flags & k_recipe_ignore) ? "I" : "NI";
  out[1] = (flags & k_recipe_noecho) ? "NE" : "E";
  out[2] = (flags & k_recipe_ismake) ? "M" : "NM";
}

int evaluate_recipe(eng::engine* e, graph::rule* r, std::string* error, std::string* details) {
  const recipe* rc = r->recipe;
  if (!rc || r->commands) return 0;
  eng::value scope_value = e->current_scope;
  if (r->scope >= 0 && static_cast<size_t>(r->scope) < e->object_cache.length &&
      e->object_cache.items[r->scope].type == eng::t_sc) {
    scope_value = e->object_cache.items[r->scope];
  }
  run_context& context = current_run_context();
  context.line = -1;
  context.dir_prefix.clear();

  std::vector<std::vector<std::string>> commands;
  std::vector<uint8_t> flags;
  bool direct = scope_value.type == eng::t_sc &&
                direct_commands(e, scope_value.scope, r, *rc, &commands, &flags);
  if (direct) {
    // As after a run: no automatic variable stays in the scope.
    unbind_automatic(e, scope_value.scope);
  } else {
    int result = run_recipe(e, r, scope_value, *rc, &commands, &flags, error, details);
    if (result < 0) return result;
  }

  // Commands made without running code are made again the same way, so
  // those of a rule found up to date may be given back.
  graph::arena_mark mark = graph::arg_mark();
  char*** vec = static_cast<char***>(
      graph::my_malloc_arg((commands.size() + 1) * sizeof(char**), alignof(char**)));
  for (size_t i = 0; i < commands.size(); i++) {
    const char* markers[3];
    marker_words(flags[i], markers);
    vec[i] = arena_command(markers, commands[i]);
  }
  vec[commands.size()] = nullptr;
  r->commands = vec;
  r->n_commands = commands.size();
  if (direct) graph::note_releasable_commands(r, mark);
  return 0;
}

}  // namespace kiln::front
