// The built-in library's dispatcher, its operand helpers, and the
// container, scope and stream-free built-ins.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/operands.h"
#include "engine/engine.h"

namespace kiln::engine {

namespace {

json_builtins json_functions;

}  // namespace

void set_json_builtins(const json_builtins& functions) { json_functions = functions; }

namespace lib {

int need(engine* e, size_t n) {
  size_t above = e->stack.length > e->bp ? e->stack.length - e->bp : 0;
  if (above >= n) return 0;
  return set_error(e, err_stack_index_out_of_bounds, make_nil(), -static_cast<double>(n), -84);
}

int typed_arg(engine* e, size_t i, uint32_t type, value** out) {
  value& v = operand(e, i);
  if (v.type != type) {
    return set_error(e, expected_type_error(type), v, -static_cast<double>(i), -22);
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
  if (!is_number_type(v.type)) return set_error(e, err_expected_double_precision_number, v, -static_cast<double>(i), -22);
  *out = v.num;
  return 0;
}

int int_arg(engine* e, size_t i, double* out) {
  if (int rc = number_arg(e, i, out)) return rc;
  if (!std::isfinite(*out) || *out != std::trunc(*out)) {
    return set_error(e, err_index_not_an_integer, operand(e, i), -static_cast<double>(i), -22);
  }
  return 0;
}

int byte_arg(engine* e, size_t i, unsigned char* out) {
  double x = 0;
  if (int rc = number_arg(e, i, &x)) return rc;
  if (x != std::trunc(x) || x < 0 || x > 255) {
    return set_error(e, err_invalid_character, operand(e, i), -static_cast<double>(i), -22);
  }
  *out = static_cast<unsigned char>(x);
  return 0;
}

int out_of_range(engine* e, size_t i) {
  return set_error(e, err_index_out_of_bounds, operand(e, i), -static_cast<double>(i), -34);
}

int result(engine* e, size_t n, value v) { return replace_top(e, n, v); }

int cstack_result(engine* e, size_t n) {
  value v = e->cstack.items[e->cstack.length - 1];
  int rc = replace_top(e, n, v);
  cstack_pop(e);
  return rc;
}

namespace {

// 164: tree key backwards -> tree key' value'.
int dict_iterate(engine* e) {
  if (int rc = need(e, 3)) return rc;
  value* t = nullptr;
  if (int rc = typed_arg(e, 3, t_tree, &t)) return rc;
  const value& key = operand(e, 2);
  if (key.type != t_str && key.type != t_nil) return set_error(e, err_tree_iterator_not_string_or_nil, key, -2, -22);
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

// 166: array start end -> new array of elements start .. end-1.
int splice(engine* e) {
  if (int rc = need(e, 3)) return rc;
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

// 161: a shallow copy of an array or tree.
int dupnonrec(engine* e) {
  if (int rc = need(e, 1)) return rc;
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
  return set_error(e, err_expected_array_or_tree, src, -1, -22);
}

// 184: dst src -> dst with every element of src appended.
int embed_list(engine* e) {
  if (int rc = need(e, 2)) return rc;
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

// 201: array i -> (element i removed).
int array_delete(engine* e) {
  if (int rc = need(e, 2)) return rc;
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

// 202: array i v -> (v inserted before element i).
int array_insert(engine* e) {
  if (int rc = need(e, 3)) return rc;
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

// 206: the strings of a list without repeats, first occurrences in order.
int list_without_repeats(engine* e) {
  if (int rc = need(e, 1)) return rc;
  value* a = nullptr;
  if (int rc = typed_arg(e, 1, t_array, &a)) return rc;
  for (size_t i = 0; i < a->array->size; i++) {
    if (a->array->items[i].type != t_str) return set_error(e, err_expected_string, a->array->items[i], -1, -22);
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

// 171: parent holey -> object cache index of a new 128-bucket scope.
int scope_create(engine* e) {
  if (int rc = need(e, 2)) return rc;
  value* parent = nullptr;
  double holey = 0;
  if (int rc = typed_arg(e, 2, t_sc, &parent)) return rc;
  if (int rc = number_arg(e, 1, &holey)) return rc;
  scope_obj* s = scope_new(e, k_root_scope_buckets, parent->scope, holey != 0);
  if (!s) return -12;
  int64_t index = s->cache_index;
  value_unref(e, make_object(t_sc, s));  // the object cache keeps it
  return number_result(e, 2, static_cast<double>(index));
}

// 187/188: sc name -> value / bool, in this scope only.
int scope_here(engine* e, bool query) {
  if (int rc = need(e, 2)) return rc;
  value* s = nullptr;
  value* name = nullptr;
  if (int rc = typed_arg(e, 2, t_sc, &s)) return rc;
  if (int rc = typed_arg(e, 1, t_str, &name)) return rc;
  value* found = scope_find(s->scope, name->str->bytes, name->str->length, false);
  if (query) return result(e, 2, make_bool(found != nullptr));
  if (!found) return set_error(e, err_scope_variable_not_found, *name, -1, -2);
  return result(e, 2, *found);
}

// 204/205: logical and/or of two booleans (numbers count as booleans).
int logic(engine* e, bool is_and) {
  if (int rc = need(e, 2)) return rc;
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

int container_builtin(engine* e, unsigned op) {
  switch (op) {
    case 161: return dupnonrec(e);
    case 164: return dict_iterate(e);
    case 166: return splice(e);
    case 171: return scope_create(e);
    case 182: return new_object(e, cstack_array_new(e));
    case 183: return new_object(e, cstack_tree_new(e));
    case 184: return embed_list(e);
    case 185: return new_object(e, cstack_pb_new(e));
    case 186: {
      if (int rc = need(e, 1)) return rc;
      value* s = nullptr;
      if (int rc = typed_arg(e, 1, t_sc, &s)) return rc;
      scope_obj* parent = s->scope->parent;
      return result(e, 1, parent ? make_object(t_sc, parent) : make_nil());
    }
    case 187: return scope_here(e, false);
    case 188: return scope_here(e, true);
    case 201: return array_delete(e);
    case 202: return array_insert(e);
    case 204: return logic(e, true);
    case 205: return logic(e, false);
    case 206: return list_without_repeats(e);
  }
  return 1;
}

}  // namespace lib

int builtin_run(engine* e, unsigned opcode) {
  switch (opcode) {
    case 159:
      // @exit: the run ends normally; the value on top stays its result.
      e->err.code = 1;
      return -4;
    case 165: return set_error(e, err_run_into_function, make_nil(), opcode, -13);
    case 169: return set_error(e, err_instruction_not_supported, make_nil(), opcode, -45);
    case 180:
    case 181:
    case 203: {
      int (*f)(engine*) = opcode == 180   ? json_functions.encode
                          : opcode == 181 ? json_functions.decode
                                          : json_functions.test;
      if (f) return f(e);
      break;
    }
    default: {
      int rc = lib::string_builtin(e, opcode);
      if (rc == 1) rc = lib::math_builtin(e, opcode);
      if (rc == 1) rc = lib::container_builtin(e, opcode);
      if (rc == 1) rc = lib::file_builtin(e, opcode);
      if (rc == 1) rc = lib::time_builtin(e, opcode);
      if (rc != 1) return rc;
    }
  }
  return set_error(e, err_unknown_instruction, make_nil(), opcode, -86);
}

}  // namespace kiln::engine
