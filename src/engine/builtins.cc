// The built-in library's dispatcher, its operand helpers, and the
// container, scope and stream-free built-ins.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/result_codes.h"
#include "engine/operands.h"
#include "engine/engine.h"
#include "engine/opcode_table.h"

namespace kiln::engine {

namespace {

json_builtins json_functions;

}  // namespace

void set_json_builtins(const json_builtins& functions) { json_functions = functions; }

namespace lib {

int need(engine* e, size_t n) {
  size_t above = e->stack.length > e->bp ? e->stack.length - e->bp : 0;
  if (above >= n) return 0;
  return set_error(e, err_stack_index_out_of_bounds, make_nil(), -static_cast<double>(n), base::rc_out_of_bounds);
}

int typed_arg(engine* e, size_t i, uint32_t type, value** out) {
  value& v = operand(e, i);
  if (v.type != type) {
    return set_error(e, expected_type_error(type), v, -static_cast<double>(i), base::rc_invalid);
  }
  *out = &v;
  return 0;
}

int string_arg(engine* e, size_t i, std::string_view* out) {
  value* v = nullptr;
  if (int rc = typed_arg(e, i, t_str, &v)) return rc;
  *out = std::string_view(v->str->bytes, v->str->length);
  return 0;
}

int number_arg(engine* e, size_t i, double* out) {
  const value& v = operand(e, i);
  if (!is_number_type(v.type)) return set_error(e, err_expected_double_precision_number, v, -static_cast<double>(i), base::rc_invalid);
  *out = v.num;
  return 0;
}

int int_arg(engine* e, size_t i, double* out) {
  if (int rc = number_arg(e, i, out)) return rc;
  if (!std::isfinite(*out) || *out != std::trunc(*out)) {
    return set_error(e, err_index_not_an_integer, operand(e, i), -static_cast<double>(i), base::rc_invalid);
  }
  return 0;
}

int byte_arg(engine* e, size_t i, unsigned char* out) {
  double x = 0;
  if (int rc = number_arg(e, i, &x)) return rc;
  if (x != std::trunc(x) || x < 0 || x > 255) {
    return set_error(e, err_invalid_character, operand(e, i), -static_cast<double>(i), base::rc_invalid);
  }
  *out = static_cast<unsigned char>(x);
  return 0;
}

int out_of_range(engine* e, size_t i) {
  return set_error(e, err_index_out_of_bounds, operand(e, i), -static_cast<double>(i), base::rc_out_of_range);
}

int result(engine* e, size_t n, value v) { return replace_top(e, n, v); }

int cstack_result(engine* e, size_t n) {
  value v = e->cstack.items[e->cstack.length - 1];
  int rc = replace_top(e, n, v);
  cstack_pop(e);
  return rc;
}

int run_dict_iterate(engine* e) {
  value* t = nullptr;
  if (int rc = typed_arg(e, 3, t_tree, &t)) return rc;
  const value& key = operand(e, 2);
  if (key.type != t_str && key.type != t_nil) return set_error(e, err_tree_iterator_not_string_or_nil, key, -2, base::rc_invalid);
  double backwards = 0;
  if (int rc = number_arg(e, 1, &backwards)) return rc;
  const str_obj* k = key.type == t_str ? key.str : nullptr;
  tree_entry* next = backwards != 0 ? tree_prev(t->tree, k) : tree_next(t->tree, k);
  value new_key = next ? next->key : make_nil();
  value new_value = next ? next->val : make_nil();
  value_assign(e, &operand(e, 1), new_value);
  value_assign(e, &operand(e, 2), new_key);
  return 0;
}

int run_splice(engine* e) {
  value* a = nullptr;
  double start = 0;
  double end = 0;
  if (int rc = typed_arg(e, 3, t_array, &a)) return rc;
  if (int rc = int_arg(e, 2, &start)) return rc;
  if (int rc = int_arg(e, 1, &end)) return rc;
  if (start < 0 || start > end) return out_of_range(e, 2);
  if (end > static_cast<double>(a->array->size)) return out_of_range(e, 1);
  int64_t slot = cstack_array_new(e);
  if (slot < 0) return static_cast<int>(slot);
  array_obj* out = e->cstack.items[slot].array;
  for (size_t i = static_cast<size_t>(start); i < static_cast<size_t>(end); i++) {
    if (int rc = array_push(e, out, a->array->items[i])) {
      cstack_pop(e);
      return rc;
    }
  }
  return cstack_result(e, 3);
}

int run_dupnonrec(engine* e) {
  value& src = operand(e, 1);
  if (src.type == t_array) {
    int64_t slot = cstack_array_new(e);
    if (slot < 0) return static_cast<int>(slot);
    array_obj* out = e->cstack.items[slot].array;
    for (size_t i = 0; i < src.array->size; i++) {
      if (int rc = array_push(e, out, src.array->items[i])) {
        cstack_pop(e);
        return rc;
      }
    }
    return cstack_result(e, 1);
  }
  if (src.type == t_tree) {
    int64_t slot = cstack_tree_new(e);
    if (slot < 0) return static_cast<int>(slot);
    tree_obj* out = e->cstack.items[slot].tree;
    for (tree_entry* n = tree_next(src.tree, nullptr); n; n = tree_next(src.tree, n->key.str)) {
      if (int rc = tree_set(e, out, n->key, n->val)) {
        cstack_pop(e);
        return rc;
      }
    }
    return cstack_result(e, 1);
  }
  return set_error(e, err_expected_array_or_tree, src, -1, base::rc_invalid);
}

int run_embed_list(engine* e) {
  value* dst = nullptr;
  value* src = nullptr;
  if (int rc = typed_arg(e, 2, t_array, &dst)) return rc;
  if (int rc = typed_arg(e, 1, t_array, &src)) return rc;
  // Appending an array to itself copies the elements it had before.
  size_t n = src->array->size;
  for (size_t i = 0; i < n; i++) {
    if (int rc = array_push(e, dst->array, src->array->items[i])) return rc;
  }
  return pop(e);
}

int run_array_delete(engine* e) {
  value* a = nullptr;
  double i = 0;
  if (int rc = typed_arg(e, 2, t_array, &a)) return rc;
  if (int rc = int_arg(e, 1, &i)) return rc;
  array_obj* arr = a->array;
  if (i < 0 || i >= static_cast<double>(arr->size)) return out_of_range(e, 1);
  size_t at = static_cast<size_t>(i);
  value removed = arr->items[at];
  memmove(arr->items + at, arr->items + at + 1, (arr->size - at - 1) * sizeof(value));
  arr->size--;
  arr->items[arr->size] = make_nil();
  value_ref(removed);  // keep it alive while the operands go
  int rc = pop_n(e, 2);
  value_unref(e, removed);
  value_unref(e, removed);
  return rc;
}

int run_insert(engine* e) {
  value* a = nullptr;
  double i = 0;
  if (int rc = typed_arg(e, 3, t_array, &a)) return rc;
  if (int rc = int_arg(e, 2, &i)) return rc;
  array_obj* arr = a->array;
  if (i < 0 || i > static_cast<double>(arr->size)) return out_of_range(e, 2);
  size_t at = static_cast<size_t>(i);
  if (int rc = array_push(e, arr, make_nil())) return rc;  // grows when full
  memmove(arr->items + at + 1, arr->items + at, (arr->size - 1 - at) * sizeof(value));
  value v = operand(e, 1);
  value_ref(v);
  arr->items[at] = v;
  return pop_n(e, 3);
}

// The strings of a list without repeats, first occurrences in order.
int run_str_list_unique(engine* e) {
  value* a = nullptr;
  if (int rc = typed_arg(e, 1, t_array, &a)) return rc;
  for (size_t i = 0; i < a->array->size; i++) {
    if (a->array->items[i].type != t_str) return set_error(e, err_expected_string, a->array->items[i], -1, base::rc_invalid);
  }
  int64_t seen_slot = cstack_tree_new(e);
  if (seen_slot < 0) return static_cast<int>(seen_slot);
  int64_t out_slot = cstack_array_new(e);
  if (out_slot < 0) {
    cstack_pop(e);
    return static_cast<int>(out_slot);
  }
  tree_obj* seen = e->cstack.items[seen_slot].tree;
  array_obj* out = e->cstack.items[out_slot].array;
  for (size_t i = 0; i < a->array->size; i++) {
    const value& s = a->array->items[i];
    if (tree_get(seen, s.str->bytes, s.str->length)) continue;
    int rc = tree_set(e, seen, s, make_nil());
    if (rc == 0) rc = array_push(e, out, s);
    if (rc) {
      cstack_pop(e);
      cstack_pop(e);
      return rc;
    }
  }
  int rc = replace_top(e, 1, e->cstack.items[out_slot]);
  cstack_pop(e);
  cstack_pop(e);
  return rc;
}

// A new 128-bucket scope, which the object cache keeps.
int run_scopenew(engine* e) {
  value* parent = nullptr;
  double holey = 0;
  if (int rc = typed_arg(e, 2, t_sc, &parent)) return rc;
  if (int rc = number_arg(e, 1, &holey)) return rc;
  scope_obj* s = scope_new(e, k_root_scope_buckets, parent->scope, holey != 0);
  if (!s) return base::rc_no_memory;
  int64_t index = s->cache_index;
  value_unref(e, make_object(t_sc, s));  // the object cache keeps it
  return number_result(e, 2, static_cast<double>(index));
}

namespace {

// sc name -> value / bool, in this scope only.
int scope_here(engine* e, bool query) {
  value* s = nullptr;
  value* name = nullptr;
  if (int rc = typed_arg(e, 2, t_sc, &s)) return rc;
  if (int rc = typed_arg(e, 1, t_str, &name)) return rc;
  value* found = scope_find(s->scope, name->str->bytes, name->str->length, false);
  if (query) return result(e, 2, make_bool(found != nullptr));
  if (!found) return set_error(e, err_scope_variable_not_found, *name, -1, base::rc_not_found);
  return result(e, 2, *found);
}

// Logical and/or of two booleans (numbers count as booleans).
int logic(engine* e, bool is_and) {
  double a = 0;
  double b = 0;
  if (int rc = number_arg(e, 2, &a)) return rc;
  if (int rc = number_arg(e, 1, &b)) return rc;
  return result(e, 2, make_bool(is_and ? (a != 0 && b != 0) : (a != 0 || b != 0)));
}

int new_object(engine* e, int64_t slot) {
  if (slot < 0) return static_cast<int>(slot);
  int rc = push_value(e, e->cstack.items[e->cstack.length - 1]);
  cstack_pop(e);
  return rc;
}

}  // namespace

int run_scope_get_here(engine* e) { return scope_here(e, false); }
int run_scope_has_here(engine* e) { return scope_here(e, true); }
int run_logical_and(engine* e) { return logic(e, true); }
int run_logical_or(engine* e) { return logic(e, false); }
int run_new_array(engine* e) { return new_object(e, cstack_array_new(e)); }
int run_new_dict(engine* e) { return new_object(e, cstack_tree_new(e)); }
int run_pb_new(engine* e) { return new_object(e, cstack_pb_new(e)); }

int run_scope_parent(engine* e) {
  value* s = nullptr;
  if (int rc = typed_arg(e, 1, t_sc, &s)) return rc;
  scope_obj* parent = s->scope->parent;
  return result(e, 1, parent ? make_object(t_sc, parent) : make_nil());
}

// The run ends normally; the value on top stays its result.
int run_exit(engine* e) {
  e->err.code = err_exited;
  return base::rc_exited;
}

int run_trailer(engine* e) {
  return set_error(e, err_run_into_function, make_nil(), op_trailer, base::rc_not_executable);
}

int run_unsupported(engine* e) {
  return set_error(e, err_instruction_not_supported, make_nil(), op_unsupported, base::rc_not_supported);
}

}  // namespace lib

namespace {

constexpr size_t k_library_size = k_end_library_opcode - k_first_library_opcode;

#define KILN_LIBRARY_RUN_run(name) &lib::run_##name
#define KILN_LIBRARY_RUN_none(name) nullptr
#define KILN_LIBRARY_ROW(name, number, arity, keyword, handler, effect, text) \
  {number, arity, KILN_LIBRARY_RUN_##handler(name), text},
constexpr opcode_row k_library_rows[] = {KILN_LIBRARY_OPCODES(KILN_LIBRARY_ROW)};
#undef KILN_LIBRARY_ROW
#undef KILN_LIBRARY_RUN_none
#undef KILN_LIBRARY_RUN_run
static_assert(rows_fit<k_library_size>(k_library_rows, k_first_library_opcode),
              "a library opcode number is given twice or outside its range");

// The library's dispatch table, indexed by opcode - 128.
constexpr std::array<opcode_row, k_library_size> k_library =
    index_rows<k_library_size>(k_library_rows, k_first_library_opcode);

// The JSON library's built-ins, once registered; they check their own
// operands.
int (*registered(unsigned opcode))(engine*) {
  switch (opcode) {
    case op_json_encode: return json_functions.encode;
    case op_json_decode: return json_functions.decode;
    case op_json_test: return json_functions.test;
  }
  return nullptr;
}

}  // namespace

int builtin_run(engine* e, unsigned opcode) {
  if (opcode >= k_first_library_opcode && opcode < k_end_library_opcode) {
    const opcode_row& b = k_library[opcode - k_first_library_opcode];
    if (b.run) {
      if (int rc = lib::need(e, static_cast<size_t>(b.arity))) return rc;
      return b.run(e);
    }
    if (int (*run)(engine*) = registered(opcode)) return run(e);
  }
  return set_error(e, err_unknown_instruction, make_nil(), opcode, base::rc_bad_instruction);
}

}  // namespace kiln::engine
