// The interpreter: the run entry and the dispatch loop over the core
// opcodes 0 to 63. Library opcodes go to builtin_run, the extension ranges
// to the embedding program's hook.
//
// Two loops share the instruction code: the checked step (one instruction
// with every check, used under a trap hook and for anything unusual) and
// the fast loop, which runs the shapes the compiler emits inline and
// hands everything else, failures included, to the checked step.
//
// Numbers never allocate: operands and results are 16-byte values written
// in place on the stack, whose vector only grows (by doubling) when full.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "base/result_codes.h"
#include "engine/bytecode.h"
#include "engine/engine.h"
#include "engine/interp_internal.h"

namespace kiln::engine {

namespace {

constexpr int k_continue = -35;  // the instruction completed; go on
constexpr int k_exited = base::rc_exited;  // @exit: the run ends normally

inline value& top(engine* e, size_t i) { return e->stack.items[e->stack.length - i]; }

inline size_t frame_height(const engine* e) {
  return e->stack.length > e->bp ? e->stack.length - e->bp : 0;
}

// Fails unless n slots lie above bp.
inline int need(engine* e, size_t n) {
  if (frame_height(e) >= n) return 0;
  return set_error(e, err_stack_index_out_of_bounds, make_nil(), -static_cast<double>(n), base::rc_out_of_bounds);
}

// A number operand at -i (1 is the top), else error 39.
inline int number_at(engine* e, size_t i, double* x) {
  const value& v = top(e, i);
  if (!is_number_type(v.type)) return set_error(e, err_expected_double_precision_number, v, -static_cast<double>(i), base::rc_invalid);
  *x = v.num;
  return 0;
}

// An operand of the given object type at -i, else its expected-type error.
inline int object_at(engine* e, size_t i, uint32_t type, value** out) {
  value& v = top(e, i);
  if (v.type != type) return set_error(e, expected_type_error(type), v, -static_cast<double>(i), base::rc_invalid);
  *out = &v;
  return 0;
}

// An integral number operand at -i; error `code` when not integral.
inline int integer_at(engine* e, size_t i, error_code code, double* x) {
  int rc = number_at(e, i, x);
  if (rc) return rc;
  if (*x != std::trunc(*x) || !std::isfinite(*x)) {
    return set_error(e, code, top(e, i), -static_cast<double>(i), base::rc_invalid);
  }
  return 0;
}

// Drops slots above new_length, releasing them one by one.
inline void drop_to(engine* e, size_t new_length) {
  while (e->stack.length > new_length) {
    value v = e->stack.items[--e->stack.length];
    value_unref(e, v);
  }
}

// Replaces the top n slots by a non-object result.
inline void put_number_result(engine* e, size_t n, value result) {
  drop_to(e, e->stack.length - (n - 1));
  value old = top(e, 1);
  top(e, 1) = result;
  value_unref(e, old);
}

// Pushes a non-object value; the stack only grows when it is full.
inline int push_fast(engine* e, value v) {
  if (e->stack.length < e->stack.capacity) {
    e->stack.items[e->stack.length++] = v;
    return 0;
  }
  return push_value(e, v);
}

inline int64_t to_int64(double x) {
  if (!(x >= -9223372036854775808.0)) return INT64_MIN;
  if (!(x < 9223372036854775808.0)) return INT64_MAX;
  return static_cast<int64_t>(x);
}

// Result type of +, -, * and unary -: int only for int operands and an
// int-qualifying result.
inline value arithmetic_result(double r, bool all_int) {
  return all_int ? make_number(r) : make_double(r);
}

int binary_numeric(engine* e, unsigned op) {
  if (int rc = need(e, 2)) return rc;
  double x = 0;
  double y = 0;
  if (int rc = number_at(e, 2, &x)) return rc;
  if (int rc = number_at(e, 1, &y)) return rc;
  bool all_int = top(e, 2).type == t_int && top(e, 1).type == t_int;
  value r;
  switch (op) {
    case op_eq: r = make_bool(x == y); break;
    case op_ne: r = make_bool(x != y); break;
    case op_lt: r = make_bool(x < y); break;
    case op_gt: r = make_bool(x > y); break;
    case op_le: r = make_bool(x <= y); break;
    case op_ge: r = make_bool(x >= y); break;
    case op_add: r = arithmetic_result(x + y, all_int); break;
    case op_sub: r = arithmetic_result(x - y, all_int); break;
    case op_mul: r = arithmetic_result(x * y, all_int); break;
    case op_div: r = make_double(x / y); break;
    default: {
      int64_t i = to_int64(x);
      int64_t j = to_int64(y);
      int64_t k = 0;
      switch (op) {
        case op_and: k = i & j; break;
        case op_or: k = i | j; break;
        case op_xor: k = i ^ j; break;
        // Shifts by 64 or more (or by a negative count) give what shifting
        // one place at a time would: 0, or -1 for a negative number >>.
        case op_shl: k = (j < 0 || j > 63) ? 0 : static_cast<int64_t>(static_cast<uint64_t>(i) << j); break;
        case op_shr: k = (j < 0 || j > 63) ? (i < 0 ? -1 : 0) : (i >> j); break;
        case op_mod:
          // Division by zero and INT64_MIN % -1 would trap: "Number overflow".
          if (j == 0 || (i == INT64_MIN && j == -1)) {
            return set_error(e, err_number_overflow, top(e, 1), -1, base::rc_invalid);
          }
          k = i % j;
          break;
      }
      r = make_number(static_cast<double>(k));
    }
  }
  e->stack.length--;
  top(e, 1) = r;
  return k_continue;
}

int unary_numeric(engine* e, unsigned op) {
  if (int rc = need(e, 1)) return rc;
  double x = 0;
  if (int rc = number_at(e, 1, &x)) return rc;
  value r;
  switch (op) {
    case op_not: r = make_bool(x == 0); break;
    case op_complement: r = make_number(static_cast<double>(~to_int64(x))); break;
    default: r = arithmetic_result(-x, top(e, 1).type == t_int); break;  // op_neg
  }
  top(e, 1) = r;
  return k_continue;
}

// 35/36: reinterpret the bits of an 8, 16 or 32-bit field.
int integer_conversion(engine* e, bool to_signed) {
  if (int rc = need(e, 2)) return rc;
  double size = 0;
  double x = 0;
  if (!is_number_type(top(e, 2).type) || top(e, 2).num < 0 ||
      top(e, 2).num != std::trunc(top(e, 2).num)) {
    return set_error(e, err_integer_conversion_size_not_unsigned, top(e, 2), -2, base::rc_invalid);
  }
  size = top(e, 2).num;
  if (size != 0 && size != 1 && size != 2) return set_error(e, err_integer_conversion_size_not_supported, top(e, 2), -2, base::rc_invalid);
  if (int rc = number_at(e, 1, &x)) return rc;
  int width = 8 << static_cast<int>(size);
  double half = std::ldexp(1.0, width - 1);
  double full = 2 * half;
  double r;
  if (to_signed) {
    if (!std::isfinite(x) || x < 0 || x > full - 1) {
      r = -1;
    } else {
      double t = std::trunc(x);
      r = t >= half ? t - full : t;
    }
  } else {
    if (!std::isfinite(x) || x < -half || x > half - 1) {
      r = half;
    } else {
      double t = std::trunc(x);
      r = t < 0 ? t + full : t;
    }
  }
  put_number_result(e, 2, make_number(r));
  return k_continue;
}

// A stack slot named by an index operand: k >= 0 counts from bp, k < 0
// from `from_top` (the slot count above which -1 begins).
int resolve_slot(engine* e, double k, size_t from_top, size_t* slot) {
  if (k >= 0) {
    double abs = static_cast<double>(e->bp) + k;
    if (abs >= static_cast<double>(from_top)) return set_error(e, err_stack_index_out_of_bounds, make_nil(), k, base::rc_out_of_bounds);
    *slot = static_cast<size_t>(abs);
  } else {
    double abs = static_cast<double>(from_top) + k;
    if (abs < static_cast<double>(e->bp)) return set_error(e, err_stack_index_out_of_bounds, make_nil(), k, base::rc_out_of_bounds);
    *slot = static_cast<size_t>(abs);
  }
  return 0;
}

int load_slot(engine* e) {
  if (int rc = need(e, 1)) return rc;
  double k = 0;
  if (int rc = integer_at(e, 1, err_stack_index_not_unsigned, &k)) return rc;
  size_t slot = 0;
  if (int rc = resolve_slot(e, k, e->stack.length - 1, &slot)) return rc;
  value v = e->stack.items[slot];
  value_ref(v);
  top(e, 1) = v;  // the index operand is a number: nothing to release
  return k_continue;
}

int store_slot(engine* e) {
  if (int rc = need(e, 2)) return rc;
  double k = 0;
  if (int rc = integer_at(e, 2, err_stack_index_not_unsigned, &k)) return rc;
  size_t slot = 0;
  if (int rc = resolve_slot(e, k, e->stack.length - 2, &slot)) return rc;
  value_assign(e, &e->stack.items[slot], top(e, 1));
  drop_to(e, e->stack.length - 2);
  return k_continue;
}

int swap_slot(engine* e) {
  if (int rc = need(e, 2)) return rc;
  double k = 0;
  if (int rc = integer_at(e, 1, err_stack_index_not_unsigned, &k)) return rc;
  e->stack.length--;
  size_t slot = 0;  // after the index is removed, -1 is the top itself
  if (int rc = resolve_slot(e, k, e->stack.length, &slot)) return rc;
  value t = top(e, 1);
  top(e, 1) = e->stack.items[slot];
  e->stack.items[slot] = t;
  return k_continue;
}

// 39: pops the count, then that many values (none for a count <= 0). A
// count beyond the frame, or NaN, is refused before anything is popped.
int pop_count(engine* e) {
  if (int rc = need(e, 1)) return rc;
  double n = 0;
  if (int rc = number_at(e, 1, &n)) return rc;
  if (n > static_cast<double>(frame_height(e) - 1) || std::isnan(n)) {
    return set_error(e, err_stack_index_out_of_bounds, make_nil(), -(n + 1), base::rc_out_of_bounds);
  }
  size_t count = n > 0 ? static_cast<size_t>(n) : 0;
  drop_to(e, e->stack.length - count - 1);
  return k_continue;
}

int cache_get(engine* e) {
  if (int rc = need(e, 1)) return rc;
  double i = 0;
  const value& v = top(e, 1);
  if (!is_number_type(v.type) || v.num < 0 || v.num != std::trunc(v.num)) {
    return set_error(e, err_cache_index_not_unsigned, v, -1, base::rc_invalid);
  }
  i = v.num;
  if (i >= static_cast<double>(e->object_cache.length)) return set_error(e, err_cache_index_out_of_bounds, v, i, base::rc_out_of_bounds);
  value c = e->object_cache.items[static_cast<size_t>(i)];
  value_ref(c);
  top(e, 1) = c;
  return k_continue;
}

// Index operand of an array or string access: integral (error 5) and
// below `size` (error 4).
int index_at(engine* e, size_t i, size_t size, size_t* out) {
  double x = 0;
  if (int rc = integer_at(e, i, err_index_not_an_integer, &x)) return rc;
  if (x < 0 || x >= static_cast<double>(size)) return set_error(e, err_index_out_of_bounds, top(e, i), x, base::rc_out_of_bounds);
  *out = static_cast<size_t>(x);
  return 0;
}

int string_key_at(engine* e, size_t i, error_code code, value** out) {
  value& v = top(e, i);
  if (v.type != t_str) return set_error(e, code, v, -static_cast<double>(i), base::rc_invalid);
  *out = &v;
  return 0;
}

int container_op(engine* e, unsigned op) {
  value* a = nullptr;
  value* k = nullptr;
  size_t index = 0;
  switch (op) {
    case op_str_byte:
      if (int rc = need(e, 2)) return rc;
      if (int rc = object_at(e, 2, t_str, &a)) return rc;
      if (int rc = index_at(e, 1, a->str->length, &index)) return rc;
      put_number_result(e, 2, make_number(static_cast<unsigned char>(a->str->bytes[index])));
      return k_continue;
    case op_str_length:
      if (int rc = need(e, 1)) return rc;
      if (int rc = object_at(e, 1, t_str, &a)) return rc;
      put_number_result(e, 1, make_number(static_cast<double>(a->str->length)));
      return k_continue;
    case op_array_append:
      if (int rc = need(e, 2)) return rc;
      if (int rc = object_at(e, 2, t_array, &a)) return rc;
      if (int rc = array_push(e, a->array, top(e, 1))) return rc;
      drop_to(e, e->stack.length - 1);
      return k_continue;
    case op_array_pop: {
      if (int rc = need(e, 1)) return rc;
      if (int rc = object_at(e, 1, t_array, &a)) return rc;
      array_obj* arr = a->array;
      if (arr->size == 0) return set_error(e, err_array_underflow, *a, -1, base::rc_out_of_bounds);
      value last = arr->items[--arr->size];  // its reference moves to the stack
      value old = *a;
      *a = last;
      value_unref(e, old);
      return k_continue;
    }
    case op_array_get: {
      if (int rc = need(e, 2)) return rc;
      if (int rc = object_at(e, 2, t_array, &a)) return rc;
      if (int rc = index_at(e, 1, a->array->size, &index)) return rc;
      value v = a->array->items[index];
      value_ref(v);
      e->stack.length--;  // the index is a number
      value old = top(e, 1);
      top(e, 1) = v;
      value_unref(e, old);
      return k_continue;
    }
    case op_array_set:
      if (int rc = need(e, 3)) return rc;
      if (int rc = object_at(e, 3, t_array, &a)) return rc;
      if (int rc = index_at(e, 2, a->array->size, &index)) return rc;
      value_assign(e, &a->array->items[index], top(e, 1));
      drop_to(e, e->stack.length - 3);
      return k_continue;
    case op_array_length:
      if (int rc = need(e, 1)) return rc;
      if (int rc = object_at(e, 1, t_array, &a)) return rc;
      put_number_result(e, 1, make_number(static_cast<double>(a->array->size)));
      return k_continue;
    case op_dict_set:
      if (int rc = need(e, 3)) return rc;
      if (int rc = object_at(e, 3, t_tree, &a)) return rc;
      if (int rc = string_key_at(e, 2, err_expected_string, &k)) return rc;
      if (int rc = tree_set(e, a->tree, *k, top(e, 1))) return rc;
      drop_to(e, e->stack.length - 2);
      return k_continue;
    case op_dict_delete:
      if (int rc = need(e, 2)) return rc;
      if (int rc = object_at(e, 2, t_tree, &a)) return rc;
      if (int rc = string_key_at(e, 1, err_expected_string, &k)) return rc;
      tree_delete(e, a->tree, k->str->bytes, k->str->length);
      drop_to(e, e->stack.length - 2);
      return k_continue;
    case op_dict_get:
    case op_dict_has: {
      if (int rc = need(e, 2)) return rc;
      if (int rc = object_at(e, 2, t_tree, &a)) return rc;
      if (int rc = string_key_at(e, 1, err_expected_string, &k)) return rc;
      value* found = tree_get(a->tree, k->str->bytes, k->str->length);
      value r = op == op_dict_has ? make_bool(found != nullptr) : found ? *found : make_nil();
      if (int rc = replace_top(e, 2, r)) return rc;
      return k_continue;
    }
    case op_dict_length:
      if (int rc = need(e, 1)) return rc;
      if (int rc = object_at(e, 1, t_tree, &a)) return rc;
      put_number_result(e, 1, make_number(static_cast<double>(a->tree->count)));
      return k_continue;
  }
  return set_error(e, err_unknown_instruction, make_nil(), op, base::rc_bad_instruction);
}

int scope_op(engine* e, unsigned op) {
  value* s = nullptr;
  value* name = nullptr;
  switch (op) {
    case op_scope_current:
      if (int rc = push_value(e, e->current_scope)) return rc;
      return k_continue;
    case op_scope_get:
    case op_scope_has: {
      if (int rc = need(e, 2)) return rc;
      if (int rc = object_at(e, 2, t_sc, &s)) return rc;
      if (int rc = string_key_at(e, 1, err_scope_variable_name_not_string, &name)) return rc;
      value* found = scope_find(s->scope, name->str->bytes, name->str->length, true);
      if (op == op_scope_get && !found) return set_error(e, err_scope_variable_not_found, *name, -1, base::rc_not_found);
      value r = op == op_scope_has ? make_bool(found != nullptr) : *found;
      if (int rc = replace_top(e, 2, r)) return rc;
      return k_continue;
    }
    case op_scope_set:
      if (int rc = need(e, 3)) return rc;
      if (int rc = object_at(e, 3, t_sc, &s)) return rc;
      if (int rc = string_key_at(e, 2, err_scope_variable_name_not_string, &name)) return rc;
      if (int rc = scope_set(e, s->scope, *name, top(e, 1))) return rc;
      drop_to(e, e->stack.length - 3);
      return k_continue;
  }
  return set_error(e, err_unknown_instruction, make_nil(), op, base::rc_bad_instruction);
}

// Field widths of the protocol-buffer size codes -2 .. 2.
int pb_field(engine* e, size_t offset_at, pb_obj* pb, size_t* offset, int* code, error_code bounds_error) {
  const value& off = top(e, offset_at);
  if (!is_number_type(off.type) || off.num < 0 || off.num != std::trunc(off.num)) {
    return set_error(e, err_pb_offset_not_unsigned, off, -static_cast<double>(offset_at), base::rc_invalid);
  }
  const value& size = top(e, offset_at - 1);
  if (!is_number_type(size.type) || size.num != std::trunc(size.num) || size.num < -2 ||
      size.num > 2) {
    return set_error(e, err_pb_operation_size_invalid, size, -static_cast<double>(offset_at - 1), base::rc_invalid);
  }
  *code = static_cast<int>(size.num);
  size_t width = *code == 0 ? 1 : (*code == 1 || *code == -1) ? 2 : 4;
  if (off.num + static_cast<double>(width) > static_cast<double>(pb->length)) {
    return set_error(e, bounds_error, off, off.num, base::rc_out_of_bounds);
  }
  *offset = static_cast<size_t>(off.num);
  return 0;
}

int pb_op(engine* e, unsigned op) {
  value* p = nullptr;
  size_t offset = 0;
  int code = 0;
  switch (op) {
    case op_pb_length:
      if (int rc = need(e, 1)) return rc;
      if (int rc = object_at(e, 1, t_pb, &p)) return rc;
      put_number_result(e, 1, make_number(static_cast<double>(p->pb->length)));
      return k_continue;
    case op_pb_set_length: {
      if (int rc = need(e, 2)) return rc;
      if (int rc = object_at(e, 2, t_pb, &p)) return rc;
      const value& n = top(e, 1);
      if (!is_number_type(n.type) || n.num < 0 || n.num != std::trunc(n.num) ||
          n.num > 4294967295.0 * 16) {
        return set_error(e, err_pb_new_length_not_unsigned, n, -1, base::rc_invalid);
      }
      if (int rc = pb_set_length(e, p->pb, static_cast<size_t>(n.num))) return rc;
      drop_to(e, e->stack.length - 2);
      return k_continue;
    }
    case op_pb_get: {
      if (int rc = need(e, 3)) return rc;
      if (int rc = object_at(e, 3, t_pb, &p)) return rc;
      if (int rc = pb_field(e, 2, p->pb, &offset, &code, err_pb_get_out_of_bounds)) return rc;
      const uint8_t* d = p->pb->data + offset;
      uint32_t v = 0;
      switch (code) {
        case -2: v = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24); break;
        case -1: v = d[0] | (d[1] << 8); break;
        case 0: v = d[0]; break;
        case 1: v = (d[0] << 8) | d[1]; break;
        case 2: v = (static_cast<uint32_t>(d[0]) << 24) | (d[1] << 16) | (d[2] << 8) | d[3]; break;
      }
      put_number_result(e, 3, make_number(v));
      return k_continue;
    }
    case op_pb_set: {
      if (int rc = need(e, 4)) return rc;
      if (int rc = object_at(e, 4, t_pb, &p)) return rc;
      if (int rc = pb_field(e, 3, p->pb, &offset, &code, err_pb_set_out_of_bounds)) return rc;
      const value& nv = top(e, 1);
      int bits = code == 0 ? 8 : (code == 1 || code == -1) ? 16 : 32;
      if (!is_number_type(nv.type) || nv.num < 0 || nv.num != std::trunc(nv.num) ||
          nv.num >= std::ldexp(1.0, bits)) {
        return set_error(e, err_pb_value_out_of_bounds, nv, -1, base::rc_invalid);
      }
      uint32_t v = static_cast<uint32_t>(nv.num);
      uint8_t* d = p->pb->data + offset;
      switch (code) {
        case -2: d[0] = v; d[1] = v >> 8; d[2] = v >> 16; d[3] = v >> 24; break;
        case -1: d[0] = v; d[1] = v >> 8; break;
        case 0: d[0] = v; break;
        case 1: d[0] = v >> 8; d[1] = v; break;
        case 2: d[0] = v >> 24; d[1] = v >> 16; d[2] = v >> 8; d[3] = v; break;
      }
      drop_to(e, e->stack.length - 4);
      return k_continue;
    }
  }
  return set_error(e, err_unknown_instruction, make_nil(), op, base::rc_bad_instruction);
}

}  // namespace

// ---------------------------------------------------------------------------
// Addresses, jumps and calls

const uint8_t* code_at(const engine* e, int64_t address, size_t* available) {
  if (address >= 0) {
    if (static_cast<uint64_t>(address) >= e->bytecode.length) return nullptr;
    *available = e->bytecode.length - static_cast<size_t>(address);
    return e->bytecode.bytes + address;
  }
  int64_t start = k_fragment_end - static_cast<int64_t>(e->fragment_length);
  if (address < start || address >= k_fragment_end) return nullptr;
  *available = static_cast<size_t>(k_fragment_end - address);
  return e->fragment + (address - start);
}

bool valid_jump_target(const engine* e, int64_t target) {
  if (target >= 0) return static_cast<uint64_t>(target) <= e->bytecode.length;
  return target >= k_fragment_end - static_cast<int64_t>(e->fragment_length) &&
         target <= k_fragment_end;
}

namespace {

int jump_to(engine* e, double target_number) {
  int64_t target = to_int64(target_number);
  if (!std::isfinite(target_number) || !valid_jump_target(e, target)) {
    return set_error(e, err_bytecode_fault, make_nil(), target_number, base::rc_bytecode_fault);
  }
  e->ip = target;
  return k_continue;
}

// Calls the function in the slot below k arguments and the count on top.
int call(engine* e) {
  if (int rc = need(e, 1)) return rc;
  const value& count = top(e, 1);
  if (!is_number_type(count.type) || count.num < 0 || count.num > 4294967295.0 ||
      count.num != std::trunc(count.num)) {
    return set_error(e, err_call_argument_count_not_unsigned, count, -1, base::rc_invalid);
  }
  size_t k = static_cast<size_t>(count.num);
  if (int rc = need(e, k + 2)) return rc;
  size_t fun_slot = e->stack.length - 2 - k;
  const value& fun = e->stack.items[fun_slot];
  if (fun.type != t_fun) return set_error(e, err_expected_function_address, fun, -static_cast<double>(k + 2), base::rc_invalid);
  e->stack.length--;  // the count
  double address_number = fun.num;
  int64_t address = to_int64(address_number);
  size_t available = 0;
  const uint8_t* code = code_at(e, address, &available);
  if (!code || available < 9) return set_error(e, err_bytecode_fault, make_nil(), address_number, base::rc_bytecode_fault);
  if (int rc = push_value(e, make_typed(t_bp, static_cast<double>(e->bp)))) return rc;
  if (int rc = push_value(e, make_typed(t_ip, static_cast<double>(e->ip)))) return rc;
  e->bp = fun_slot + 1;
  e->ip = address;
  if (code[0] != op_function) return set_error(e, err_expected_function_header, make_nil(), address_number, base::rc_bytecode_fault);
  double declared = load_immediate(code + 1);
  if (declared != static_cast<double>(k)) {
    return set_error(e, err_invalid_argument_count, make_number(declared), static_cast<double>(k), base::rc_invalid);
  }
  e->ip = address + 9;
  return k_continue;
}

// Restores ip and bp from their saved slots.
int restore_frame(engine* e, size_t bp_slot, size_t ip_slot) {
  const value& ip = e->stack.items[ip_slot];
  if (ip.type != t_ip) return set_error(e, err_expected_instruction_pointer_value, ip, 0, base::rc_invalid);
  if (ip.num != std::trunc(ip.num)) return set_error(e, err_register_value_not_integer, ip, 0, base::rc_invalid);
  const value& bp = e->stack.items[bp_slot];
  if (bp.type != t_bp) return set_error(e, err_expected_base_pointer_value, bp, 0, base::rc_invalid);
  if (bp.num != std::trunc(bp.num) || bp.num < 0) return set_error(e, err_register_value_not_integer, bp, 0, base::rc_invalid);
  e->ip = static_cast<int64_t>(ip.num);
  e->bp = static_cast<size_t>(bp.num);
  return 0;
}

// Stores the result into the function slot and drops everything above it.
void finish_return(engine* e, size_t fun_slot) {
  value r = top(e, 1);
  value_ref(r);
  value old = e->stack.items[fun_slot];
  e->stack.items[fun_slot] = r;
  value_unref(e, old);
  drop_to(e, fun_slot + 1);
}

int return_plain(engine* e) {
  if (e->stack.length < 4) return set_error(e, err_stack_index_out_of_bounds, make_nil(), -4, base::rc_out_of_bounds);
  size_t n = e->stack.length;
  if (int rc = restore_frame(e, n - 3, n - 2)) return rc;
  finish_return(e, n - 4);
  return k_continue;
}

int return_counts(engine* e) {
  if (e->stack.length < 3) return set_error(e, err_stack_index_out_of_bounds, make_nil(), -3, base::rc_out_of_bounds);
  const value& mv = top(e, 1);
  if (!is_number_type(mv.type) || mv.num < 0 || mv.num > 4294967295.0 ||
      mv.num != std::trunc(mv.num)) {
    return set_error(e, err_return_instruction_local_variable_count_not_unsigned, mv, -1, base::rc_invalid);
  }
  const value& kv = top(e, 2);
  if (!is_number_type(kv.type) || kv.num < 0 || kv.num > 4294967295.0 ||
      kv.num != std::trunc(kv.num)) {
    return set_error(e, err_return_argument_count_not_unsigned, kv, -2, base::rc_invalid);
  }
  size_t m = static_cast<size_t>(mv.num);
  size_t k = static_cast<size_t>(kv.num);
  size_t n = e->stack.length;
  if (m + k + 6 > n) return set_error(e, err_stack_index_out_of_bounds, make_nil(), -static_cast<double>(m + k + 6), base::rc_out_of_bounds);
  size_t fun_slot = n - (m + k + 6);
  if (int rc = restore_frame(e, n - (m + 5), n - (m + 4))) return rc;
  if (fun_slot < e->bp) return set_error(e, err_stack_index_out_of_bounds, make_nil(), -static_cast<double>(m + k + 6), base::rc_out_of_bounds);
  e->stack.length -= 2;  // the two counts are numbers
  finish_return(e, fun_slot);
  return k_continue;
}

int call_if_function(engine* e) {
  if (int rc = need(e, 1)) return rc;
  if (top(e, 1).type != t_fun) return k_continue;
  if (int rc = push_number(e, 0)) return rc;
  return call(e);
}

int dispatch_hook(engine* e, unsigned op) {
  if (!e->extension_hook) return set_error(e, err_unknown_instruction, make_nil(), op, base::rc_bad_instruction);
  int rc = e->extension_hook(e, op, e->fragment, e->fragment_length);
  return rc == 0 ? k_continue : rc;
}

// Executes one instruction at e->ip (already advanced past the opcode).
int execute(engine* e, unsigned op, const uint8_t* operand, size_t available) {
  switch (op) {
    case op_nop: return k_continue;
    case op_push_double:
    case op_push_number: {
      if (available < 8) return set_error(e, err_bytecode_fault, make_nil(), static_cast<double>(e->ip), base::rc_bytecode_fault);
      double x = load_immediate(operand);
      e->ip += 8;
      int rc = push_fast(e, op == op_push_double ? make_double(x) : make_number(x));
      return rc ? rc : k_continue;
    }
    case op_true: return push_bool(e, true) ? base::rc_out_of_bounds : k_continue;
    case op_false: return push_bool(e, false) ? base::rc_out_of_bounds : k_continue;
    case op_nil: return push_nil(e) ? base::rc_out_of_bounds : k_continue;
    case op_dup:
      if (int rc = need(e, 1)) return rc;
      if (int rc = push_value(e, top(e, 1))) return rc;
      return k_continue;
    case op_make_fun: {
      if (int rc = need(e, 1)) return rc;
      double x = 0;
      if (int rc = number_at(e, 1, &x)) return rc;
      if (x != std::trunc(x)) return set_error(e, err_function_address_not_integer, top(e, 1), -1, base::rc_invalid);
      top(e, 1) = make_typed(t_fun, x);
      return k_continue;
    }
    case op_invalid: return set_error(e, err_unknown_instruction, make_nil(), op, base::rc_bad_instruction);
    case op_eq: case op_ne: case op_and: case op_or: case op_xor: case op_lt: case op_gt:
    case op_le: case op_ge: case op_shl: case op_shr: case op_add: case op_sub: case op_mul:
    case op_div: case op_mod:
      return binary_numeric(e, op);
    case op_not: case op_complement: case op_neg:
      return unary_numeric(e, op);
    case op_jump_false: {
      if (int rc = need(e, 2)) return rc;
      double cond = 0;
      double target = 0;
      if (int rc = number_at(e, 2, &cond)) return rc;
      if (int rc = number_at(e, 1, &target)) return rc;
      e->stack.length -= 2;
      return cond == 0 ? jump_to(e, target) : k_continue;
    }
    case op_jump: {
      if (int rc = need(e, 1)) return rc;
      double target = 0;
      if (int rc = number_at(e, 1, &target)) return rc;
      e->stack.length--;
      return jump_to(e, target);
    }
    case op_call: return call(e);
    case op_return: return return_plain(e);
    case op_return_counts: return return_counts(e);
    case op_load_slot: return load_slot(e);
    case op_store_slot: return store_slot(e);
    case op_to_signed: return integer_conversion(e, true);
    case op_to_unsigned: return integer_conversion(e, false);
    case op_cache_get: return cache_get(e);
    case op_pop:
      if (int rc = need(e, 1)) return rc;
      drop_to(e, e->stack.length - 1);
      return k_continue;
    case op_pop_n: return pop_count(e);
    case op_str_byte: case op_str_length: case op_array_append: case op_array_pop:
    case op_array_get: case op_array_set: case op_array_length: case op_dict_set:
    case op_dict_delete: case op_dict_get: case op_dict_has: case op_dict_length:
      return container_op(e, op);
    case op_scope_current: case op_scope_get: case op_scope_set: case op_scope_has:
      return scope_op(e, op);
    case op_pb_length: case op_pb_set_length: case op_pb_get: case op_pb_set:
      return pb_op(e, op);
    case op_swap_slot: return swap_slot(e);
    case op_type:
      if (int rc = need(e, 1)) return rc;
      put_number_result(e, 1, make_number(type_query_code(top(e, 1).type)));
      return k_continue;
    case op_call_if_fun: return call_if_function(e);
    case op_function: return set_error(e, err_run_into_function, make_nil(), op, base::rc_not_executable);
  }
  if (op < k_first_library_opcode || (op >= k_end_library_opcode && op < k_end_extension_block) ||
      op >= k_first_high_extension_opcode) {
    return dispatch_hook(e, op);
  }
  if (op < k_end_library_opcode) {
    int rc = builtin_run(e, op);
    return rc == 0 ? k_continue : rc;
  }
  return set_error(e, err_unknown_instruction, make_nil(), op, base::rc_bad_instruction);
}

// After an instruction: a C stack left lower than before is reported, one
// left higher is reported and popped back.
void check_cstack(engine* e, size_t height, unsigned op, int result) {
  if (e->cstack.length == height) return;
  if (e->cstack.length < height) {
    fprintf(stderr, "Warning: C stack shrunk in engine, ins=%u, ret=%d\n", op, result);
    return;
  }
  fprintf(stderr, "Warning: C stack grew in engine, popping stuff, ins=%u, ret=%d\n", op, result);
  while (e->cstack.length > height) cstack_pop(e);
}

// One instruction at e->ip with every check of the loop: the end of the
// code, decoding, the trap hook, execution and the C stack height. Sets
// *ended (and returns the continue code) when the run reached its end;
// *op gets the opcode for the error slot.
int step(engine* e, unsigned* op, bool* ended) {
  size_t cstack_height = e->cstack.length;
  if (e->ip == k_fragment_end ||
      (e->ip >= 0 && static_cast<uint64_t>(e->ip) >= e->bytecode.length)) {
    *ended = true;  // the end of the fragment or of the code: a normal end
    return k_continue;
  }
  size_t available = 0;
  const uint8_t* code = code_at(e, e->ip, &available);
  if (!code) {
    *op = 0;
    return set_error(e, err_bytecode_fault, make_nil(), static_cast<double>(e->ip), base::rc_bytecode_fault);
  }
  // An instruction that cannot be decoded is reported by its lead byte.
  *op = code[0];
  unsigned illegal = 0;
  int n;
  if (code[0] < 0x80) {  // the common one-byte form
    n = 1;
  } else {
    n = decode_opcode(code, available, op, &illegal);
  }
  if (n < 0) return set_error(e, err_bytecode_fault, make_nil(), static_cast<double>(e->ip + available), base::rc_bytecode_fault);
  if (n == 0) return set_error(e, err_illegal_instruction, make_nil(), illegal, base::rc_bad_instruction);
  if (e->trap_hook) {
    int rc = e->trap_hook(e->trap_data, *op);
    if (rc != 0) return rc;
  }
  e->ip += n;
  int result = execute(e, *op, code + n, available - static_cast<size_t>(n));
  if (result == 0) result = k_continue;
  check_cstack(e, cstack_height, *op, result);
  return result;
}

// The loop used while a trap hook is installed: one checked step at a time.
int run_stepwise(engine* e, unsigned* op) {
  for (;;) {
    bool ended = false;
    int result = step(e, op, &ended);
    if (ended || result != k_continue) return result;
  }
}

// A slot index operand that is an integer small enough to convert.
inline bool small_integer(double x, int64_t* out) {
  if (!(x >= -4294967296.0 && x <= 4294967296.0)) return false;
  int64_t i = static_cast<int64_t>(x);
  if (static_cast<double>(i) != x) return false;
  *out = i;
  return true;
}

// A non-negative slot index below height (a slot of the running frame).
inline bool frame_index(double x, ptrdiff_t height, size_t* out) {
  if (!(x >= 0 && x < static_cast<double>(height))) return false;
  int64_t i = static_cast<int64_t>(x);
  if (static_cast<double>(i) != x) return false;
  *out = static_cast<size_t>(i);
  return true;
}

// An integer in 0 .. 2^32 - 1 (argument and local counts, cache indexes),
// tested without a call to trunc; *out gets it.
inline bool count_of(double x, size_t* out) {
  if (!(x >= 0 && x <= 4294967295.0)) return false;
  int64_t i = static_cast<int64_t>(x);
  *out = static_cast<size_t>(i);
  return static_cast<double>(i) == x;
}

inline bool is_count(double x) {
  size_t ignored;
  return count_of(x, &ignored);
}

// An integer of magnitude below 2^53 (saved ip and bp values); *out gets it.
inline bool exact_integer_of(double x, int64_t* out) {
  constexpr double k_two_53 = 9007199254740992.0;
  if (!(x > -k_two_53 && x < k_two_53)) return false;
  *out = static_cast<int64_t>(x);
  return static_cast<double>(*out) == x;
}

inline bool is_exact_integer(double x) {
  int64_t ignored;
  return exact_integer_of(x, &ignored);
}

// The code region the fast loop executes in: the byte-code buffer or the
// fragment, whose first byte has address origin.
struct region {
  const uint8_t* base;
  const uint8_t* end;
  int64_t origin;
};

// The region holding address (its end included); false when the address
// lies in neither.
bool locate(const engine* e, int64_t address, region* out) {
  if (address >= 0) {
    if (static_cast<uint64_t>(address) > e->bytecode.length) return false;
    *out = region{e->bytecode.bytes, e->bytecode.bytes + e->bytecode.length, 0};
    return true;
  }
  int64_t start = k_fragment_end - static_cast<int64_t>(e->fragment_length);
  if (address < start || address > k_fragment_end) return false;
  *out = region{e->fragment, e->fragment + e->fragment_length, start};
  return true;
}

// Handler classes of the fast loop, indexed by the first byte of an
// instruction. Everything not listed (library and extension opcodes,
// multi-byte forms, the rarer core opcodes) takes the checked step.
enum handler : uint8_t {
  h_exec, h_nop, h_push_double, h_push_number, h_true, h_false, h_nil, h_dup,
  h_eq, h_ne, h_lt, h_gt, h_le, h_ge, h_add, h_sub, h_mul, h_div,
  h_jump_false, h_jump, h_make_fun, h_call, h_return_counts, h_load_slot, h_store_slot,
  h_cache_get, h_pop,
  h_scope_current, h_scope_get,
  h_count
};

constexpr std::array<uint8_t, 256> make_handler_table() {
  std::array<uint8_t, 256> t{};
  t[op_nop] = h_nop;
  t[op_push_double] = h_push_double;
  t[op_push_number] = h_push_number;
  t[op_true] = h_true;
  t[op_false] = h_false;
  t[op_nil] = h_nil;
  t[op_dup] = h_dup;
  t[op_eq] = h_eq;
  t[op_ne] = h_ne;
  t[op_lt] = h_lt;
  t[op_gt] = h_gt;
  t[op_le] = h_le;
  t[op_ge] = h_ge;
  t[op_add] = h_add;
  t[op_sub] = h_sub;
  t[op_mul] = h_mul;
  t[op_div] = h_div;
  t[op_jump_false] = h_jump_false;
  t[op_jump] = h_jump;
  t[op_make_fun] = h_make_fun;
  t[op_call] = h_call;
  t[op_return_counts] = h_return_counts;
  t[op_load_slot] = h_load_slot;
  t[op_store_slot] = h_store_slot;
  t[op_cache_get] = h_cache_get;
  t[op_pop] = h_pop;
  t[op_scope_current] = h_scope_current;
  t[op_scope_get] = h_scope_get;
  return t;
}
constexpr std::array<uint8_t, 256> k_handlers = make_handler_table();

// x op y for the numeric operators the fast loop handles; the operand
// types decide int against double as binary_numeric does.
//
// For int operands (integral, below 2^53 in magnitude) the sum, difference
// and product are integral whenever their magnitude is below 2^53 (an
// exact result that small needs no rounding), so the magnitude alone
// classifies them.
[[gnu::always_inline]] inline value int_result(double r) {
  constexpr double k_two_53 = 9007199254740992.0;
  return make_typed(r > -k_two_53 && r < k_two_53 ? t_int : t_double, r);
}

// all_int is a callable, evaluated only by the arithmetic operators (a
// comparison with a constant need not classify it).
template <typename all_int_fn>
[[gnu::always_inline]] inline value numeric_result_lazy(unsigned op, double x, double y,
                                                         all_int_fn all_int_of) {
  switch (op) {
    case op_eq: return make_bool(x == y);
    case op_ne: return make_bool(x != y);
    case op_lt: return make_bool(x < y);
    case op_gt: return make_bool(x > y);
    case op_le: return make_bool(x <= y);
    case op_ge: return make_bool(x >= y);
    case op_add: return all_int_of() ? int_result(x + y) : make_double(x + y);
    case op_sub: return all_int_of() ? int_result(x - y) : make_double(x - y);
    case op_mul: return all_int_of() ? int_result(x * y) : make_double(x * y);
    default: return make_double(x / y);  // op_div
  }
}

[[gnu::always_inline]] inline value numeric_result(unsigned op, double x, double y, bool all_int) {
  return numeric_result_lazy(op, x, y, [all_int] { return all_int; });
}

inline bool is_fast_numeric(uint8_t op) {
  return op == op_eq || op == op_ne || (op >= op_lt && op <= op_ge) ||
         (op >= op_add && op <= op_div);
}

#if defined(__GNUC__) && !defined(KILN_INTERP_SWITCH)
#define KILN_COMPUTED_GOTO 1
#else
#define KILN_COMPUTED_GOTO 0
#endif

// The run loop proper. Instructions whose operands are what the compiler
// emits (numbers for arithmetic, in-frame slot indexes, valid targets)
// run inline here, with the stack top, the frame and the code position
// held in locals, and a pushed immediate fused with the instruction that
// consumes it (slot loads, numeric operators, jumps, calls, returns, cache
// reads), a comparison with the conditional jump after it, and an
// arithmetic result with the slot store after it. Anything else,
// including every instruction that would fail, goes through step() with
// e->ip and the stack length written back, so errors, backtraces, hooks
// and the C stack checks behave exactly as in the checked loop.
int run_fast(engine* e, unsigned* op) {
  if (e->trap_hook) return run_stepwise(e, op);
  // The code position and its region live in locals: nothing takes their
  // address, so they stay in registers.
  region where;
  while (!locate(e, e->ip, &where)) {
    bool ended = false;
    int result = step(e, op, &ended);
    if (ended || result != k_continue) return result;
    if (e->trap_hook) return run_stepwise(e, op);
  }
  const uint8_t* code_base = where.base;
  const uint8_t* code_end = where.end;
  int64_t code_origin = where.origin;
  const uint8_t* pc = code_base + (e->ip - code_origin);
  value_vec& st = e->stack;
  value* items = st.items;          // the stack vector
  value* top = items + st.length;   // one past the top slot
  value* limit = items + st.capacity;
  value* frame = items + e->bp;     // slot 0 of the running function

// Frame height at least n (the "need" rule of the checked handlers).
#define HAVE(n) (top - frame >= static_cast<ptrdiff_t>(n))
// Drops a value taken off the stack (top already below it).
#define RELEASE(v)                                   \
  do {                                               \
    value rv_ = (v);                                 \
    if (is_object_type(rv_.type)) {                  \
      if (rv_.obj->refcnt > 1) {                     \
        rv_.obj->refcnt--;                           \
      } else {                                       \
        st.length = static_cast<size_t>(top - items); \
        value_unref(e, rv_);                         \
      }                                              \
    }                                                \
  } while (0)
// The code address of pc.
#define ADDRESS(p) (code_origin + ((p) - code_base))
// Whether an address lies in the current region (its end included).
#define IN_REGION(a) ((a) >= code_origin && (a) - code_origin <= code_end - code_base)
// Continues at a valid address (one locate accepts).
#define JUMP_TO(target)                                  \
  do {                                                   \
    int64_t t_ = (target);                               \
    if (!IN_REGION(t_)) {                                \
      locate(e, t_, &where);                             \
      code_base = where.base;                            \
      code_end = where.end;                              \
      code_origin = where.origin;                        \
    }                                                    \
    pc = code_base + (t_ - code_origin);                 \
  } while (0)

#if KILN_COMPUTED_GOTO
  static void* const labels[h_count] = {
      &&exec_path, &&l_nop, &&l_push_double, &&l_push_number, &&l_true, &&l_false, &&l_nil,
      &&l_dup, &&l_eq, &&l_ne, &&l_lt, &&l_gt, &&l_le, &&l_ge, &&l_add, &&l_sub, &&l_mul,
      &&l_div, &&l_jump_false, &&l_jump, &&l_make_fun, &&l_call, &&l_return_counts,
      &&l_load_slot, &&l_store_slot,
      &&l_cache_get, &&l_pop, &&l_scope_current, &&l_scope_get};
#define CASE(name) l_##name
#define NEXT()                        \
  do {                                \
    if (pc >= code_end) goto slow_path;  \
    goto* labels[k_handlers[*pc]];    \
  } while (0)
#else
#define CASE(name) case h_##name
#define NEXT() continue
#endif

  // Shared tails of fused instructions: `value` is the result of a numeric
  // operator now on top, pc the byte after the operator.
  value result;
  // Inputs of the shared call and return code: the counts, whether they
  // are still on the stack (30 and 32 alone) or were immediates, and for a
  // call where execution resumes after it.
  double call_count = 0;
  const uint8_t* call_resume = nullptr;
  double return_args = 0;
  double return_locals = 0;
  bool counts_on_stack = false;

  // Variables found in scopes, remembered while only the inline handlers
  // run: those never add or remove a scope variable, change a scope's
  // parent or the current scope, so an entry stays where it was found.
  // Everything executed outside them forgets the lot.
  struct lookup {
    const scope_obj* scope;
    const str_obj* name;
    value* slot;
  };
  lookup lookups[4] = {};
#define FORGET_LOOKUPS() \
  (lookups[0].name = lookups[1].name = lookups[2].name = lookups[3].name = nullptr)
#define FIND_VARIABLE(sc, nm, out)                                         \
  do {                                                                     \
    lookup& l_ = lookups[(reinterpret_cast<uintptr_t>(nm) >> 6) & 3];      \
    if (l_.name == (nm) && l_.scope == (sc)) {                             \
      (out) = l_.slot;                                                     \
    } else {                                                               \
      (out) = scope_find((sc), (nm)->bytes, (nm)->length, true);           \
      if (out) l_ = lookup{(sc), (nm), (out)};                             \
    }                                                                      \
  } while (0)

  for (;;) {
#if KILN_COMPUTED_GOTO
    NEXT();
    {
#else
    if (pc >= code_end) goto slow_path;
    switch (k_handlers[*pc]) {
#endif
      CASE(nop) : {
        pc++;
        NEXT();
      }
      CASE(push_double) : {
        if (code_end - pc < 10) goto slow_path;
        double x = load_immediate(pc + 1);
        {  // by the instruction after the immediate
          const uint8_t next = pc[9];
          if (next == op_load_slot) {
            // 1 <k> 33: push slot k (from bp, or from the top when negative).
            int64_t k = 0;
            if (!small_integer(x, &k) || top >= limit) goto plain_push_double;
            value* slot = k >= 0 ? frame + k : top + k;
            if (k >= 0 ? slot >= top : slot < frame) goto plain_push_double;
            value v = *slot;
            if (code_end - pc >= 20 && pc[10] == op_push_number && is_fast_numeric(pc[19]) &&
                is_number_type(v.type)) {
              // ... 9 <n> op: the loaded number with a constant.
              double n = load_immediate(pc + 11);
              result = numeric_result_lazy(pc[19], v.num, n, [&] {
                return v.type == t_int && classify_number(n) == t_int;
              });
              *top++ = v;
              pc += 20;
              goto numeric_tail;
            }
            value_ref(v);
            *top++ = v;
            pc += 10;
            if (code_end - pc >= 19 && pc[0] == op_push_double && pc[9] == op_push_double &&
                pc[18] == op_return_counts) {
              // ... 1 <k> 1 <m> 32: the loaded value is returned.
              return_args = load_immediate(pc + 1);
              return_locals = load_immediate(pc + 10);
              counts_on_stack = false;
              goto do_return;
            }
            NEXT();
          }
          if (next == op_jump_false) {
            // 1 <addr> 28: branch on the condition below (the target is
            // checked only when taken).
            if (!HAVE(1) || !is_number_type(top[-1].type)) goto plain_push_double;
            if (top[-1].num != 0) {
              top--;
              pc += 10;
              NEXT();
            }
            if (!std::isfinite(x) || !valid_jump_target(e, to_int64(x))) goto plain_push_double;
            top--;
            JUMP_TO(to_int64(x));
            NEXT();
          }
          if (next == op_jump) {
            // 1 <addr> 29
            if (!std::isfinite(x)) goto plain_push_double;
            int64_t target = to_int64(x);
            if (!valid_jump_target(e, target)) goto plain_push_double;
            JUMP_TO(target);
            NEXT();
          }
          if (next == op_call) {
            // 1 <k> 30: call the function below k arguments.
            call_count = x;
            call_resume = pc + 10;
            counts_on_stack = false;
            goto do_call;
          }
          if (next == op_push_double) {
            if (code_end - pc >= 30 && pc[18] == op_load_slot) {
              // 1 <k> 1 <a> 33 (1 <b> 33 | 9 <n>) op 34: slot k = a op b (or
              // n), numbers in slots of the frame below the statement.
              ptrdiff_t height = top - frame;
              size_t k = 0;
              size_t a = 0;
              size_t b = 0;
              if (!frame_index(x, height, &k) ||
                  !frame_index(load_immediate(pc + 10), height, &a)) {
                goto plain_push_double;
              }
              value va = frame[a];
              value vb;
              const uint8_t* after = nullptr;
              if (pc[19] == op_push_double) {
                if (code_end - pc < 31 || pc[28] != op_load_slot ||
                    !frame_index(load_immediate(pc + 20), height, &b)) {
                  goto plain_push_double;
                }
                vb = frame[b];
                after = pc + 29;
              } else if (pc[19] == op_push_number) {
                vb = make_number(load_immediate(pc + 20));
                after = pc + 28;
              } else {
                goto plain_push_double;
              }
              if (!is_fast_numeric(after[0]) || after[1] != op_store_slot ||
                  !is_number_type(va.type) || !is_number_type(vb.type)) {
                goto plain_push_double;
              }
              value old = frame[k];
              frame[k] = numeric_result(after[0], va.num, vb.num,
                                        va.type == t_int && vb.type == t_int);
              RELEASE(old);
              pc = after + 2;
              NEXT();
            }
            // 1 <k> 1 <m> 32: return with argument and local counts.
            if (code_end - pc < 19 || pc[18] != op_return_counts) goto plain_push_double;
            return_args = x;
            return_locals = load_immediate(pc + 10);
            counts_on_stack = false;
            goto do_return;
          }
          if (next == op_cache_get) {
            // 1 <i> 37: push an object cache entry.
            if (!is_count(x) || x >= static_cast<double>(e->object_cache.length) ||
                top >= limit) {
              goto plain_push_double;
            }
            value v = e->object_cache.items[static_cast<size_t>(x)];
            value_ref(v);
            *top++ = v;
            pc += 10;
            NEXT();
          }
        }
      plain_push_double:
        if (top >= limit) goto slow_path;
        *top++ = make_double(x);
        pc += 9;
        NEXT();
      }
      CASE(push_number) : {
        if (code_end - pc < 10) goto slow_path;
        double y = load_immediate(pc + 1);
        if (is_fast_numeric(pc[9]) && HAVE(1) && is_number_type(top[-1].type)) {
          // 9 <n> op: the number is the right operand of op.
          const value& a = top[-1];
          result = numeric_result_lazy(pc[9], a.num, y, [&] {
            return a.type == t_int && classify_number(y) == t_int;
          });
          pc += 10;
          goto numeric_tail;
        }
        if (top >= limit) goto slow_path;
        *top++ = make_number(y);
        pc += 9;
        NEXT();
      }
      CASE(true) : {
        if (top >= limit) goto slow_path;
        *top++ = make_bool(true);
        pc++;
        NEXT();
      }
      CASE(false) : {
        if (top >= limit) goto slow_path;
        *top++ = make_bool(false);
        pc++;
        NEXT();
      }
      CASE(nil) : {
        if (top >= limit) goto slow_path;
        *top++ = make_nil();
        pc++;
        NEXT();
      }
      CASE(dup) : {
        if (!HAVE(1) || top >= limit) goto slow_path;
        value v = top[-1];
        value_ref(v);
        *top++ = v;
        pc++;
        NEXT();
      }
#define NUMERIC_CASE(name)                                                                 \
  CASE(name) : {                                                                           \
    if (!HAVE(2) || !is_number_type(top[-2].type) || !is_number_type(top[-1].type)) {      \
      goto slow_path;                                                                      \
    }                                                                                      \
    result = numeric_result(op_##name, top[-2].num, top[-1].num,                           \
                            top[-2].type == t_int && top[-1].type == t_int);               \
    top--;                                                                                 \
    pc++;                                                                                  \
    goto numeric_tail;                                                                     \
  }
      NUMERIC_CASE(eq)
      NUMERIC_CASE(ne)
      NUMERIC_CASE(lt)
      NUMERIC_CASE(gt)
      NUMERIC_CASE(le)
      NUMERIC_CASE(ge)
      NUMERIC_CASE(add)
      NUMERIC_CASE(sub)
      NUMERIC_CASE(mul)
      NUMERIC_CASE(div)
#undef NUMERIC_CASE
      CASE(jump_false) : {
        if (!HAVE(2) || !is_number_type(top[-2].type) || !is_number_type(top[-1].type)) {
          goto slow_path;
        }
        if (top[-2].num != 0) {
          top -= 2;
          pc++;
          NEXT();
        }
        if (!std::isfinite(top[-1].num)) goto slow_path;
        int64_t target = to_int64(top[-1].num);
        if (!valid_jump_target(e, target)) goto slow_path;
        top -= 2;
        JUMP_TO(target);
        NEXT();
      }
      CASE(jump) : {
        if (!HAVE(1) || !is_number_type(top[-1].type) || !std::isfinite(top[-1].num)) {
          goto slow_path;
        }
        int64_t target = to_int64(top[-1].num);
        if (!valid_jump_target(e, target)) goto slow_path;
        top--;
        JUMP_TO(target);
        NEXT();
      }
      CASE(load_slot) : {
        int64_t k = 0;
        if (!HAVE(1) || !is_number_type(top[-1].type) || !small_integer(top[-1].num, &k)) {
          goto slow_path;
        }
        value* below = top - 1;  // slots counted from the top start below k
        value* slot = k >= 0 ? frame + k : below + k;
        if (k >= 0 ? slot >= below : slot < frame) goto slow_path;
        value v = *slot;
        value_ref(v);
        top[-1] = v;
        pc++;
        NEXT();
      }
      CASE(store_slot) : {
        // .. k v -> .. with slot k = v
        int64_t k = 0;
        if (!HAVE(2) || !is_number_type(top[-2].type) || !small_integer(top[-2].num, &k)) {
          goto slow_path;
        }
        value* below = top - 2;
        value* slot = k >= 0 ? frame + k : below + k;
        if (k >= 0 ? slot >= below : slot < frame) goto slow_path;
        value old = *slot;
        *slot = top[-1];  // the reference moves
        top -= 2;
        RELEASE(old);
        pc++;
        NEXT();
      }
      CASE(cache_get) : {
        if (!HAVE(1)) goto slow_path;
        const value& iv = top[-1];
        if (!is_number_type(iv.type) || !is_count(iv.num) ||
            iv.num >= static_cast<double>(e->object_cache.length)) {
          goto slow_path;
        }
        value v = e->object_cache.items[static_cast<size_t>(iv.num)];
        value_ref(v);
        top[-1] = v;
        pc++;
        NEXT();
      }
      CASE(pop) : {
        if (!HAVE(1)) goto slow_path;
        top--;
        RELEASE(*top);
        pc++;
        NEXT();
      }
      CASE(scope_current) : {
        // 51 1 <i> 37 52: a variable of the dynamic scope named by a
        // constant string, found without touching the stack in between.
        if (code_end - pc >= 12 && pc[1] == op_push_double && pc[10] == op_cache_get &&
            pc[11] == op_scope_get && top < limit) {
          double x = load_immediate(pc + 2);
          if (is_count(x) && x < static_cast<double>(e->object_cache.length)) {
            const value& name = e->object_cache.items[static_cast<size_t>(x)];
            if (name.type == t_str && e->current_scope.type == t_sc) {
              value* found = nullptr;
              FIND_VARIABLE(e->current_scope.scope, name.str, found);
              if (found) {
                value v = *found;
                value_ref(v);
                *top++ = v;
                pc += 12;
                NEXT();
              }
            }
          }
        }
        if (top >= limit) goto slow_path;
        value v = e->current_scope;
        value_ref(v);
        *top++ = v;
        pc++;
        NEXT();
      }
      CASE(scope_get) : {
        // sc name -> v, when the name is found
        if (!HAVE(2) || top[-2].type != t_sc || top[-1].type != t_str) goto slow_path;
        value* found = nullptr;
        FIND_VARIABLE(top[-2].scope, top[-1].str, found);
        if (!found) goto slow_path;
        value v = *found;
        value_ref(v);
        top--;
        RELEASE(*top);
        value old_scope = top[-1];
        top[-1] = v;
        RELEASE(old_scope);
        pc++;
        NEXT();
      }
      CASE(make_fun) : {
        if (!HAVE(1) || !is_number_type(top[-1].type) || !is_exact_integer(top[-1].num)) {
          goto slow_path;
        }
        top[-1].type = t_fun;
        pc++;
        NEXT();
      }
      CASE(call) : {
        if (!HAVE(1) || !is_number_type(top[-1].type)) goto slow_path;
        call_count = top[-1].num;
        call_resume = pc + 1;
        counts_on_stack = true;
        goto do_call;
      }
      CASE(return_counts) : {
        if (top - items < 3 || !is_number_type(top[-1].type) || !is_number_type(top[-2].type)) {
          goto slow_path;
        }
        return_args = top[-2].num;
        return_locals = top[-1].num;
        counts_on_stack = true;
        goto do_return;
      }
#if !KILN_COMPUTED_GOTO
      default: goto exec_path;
#endif
    }

  do_call: {
    // fun a1..ak [k] -> fun a1..ak bp ip, when everything checks out (pc
    // is still at the instruction otherwise, for the checked step).
    size_t k = 0;
    if (!count_of(call_count, &k)) goto slow_path;
    value* args_end = counts_on_stack ? top - 1 : top;
    if (args_end - frame < static_cast<ptrdiff_t>(k + 1) || limit - args_end < 2) goto slow_path;
    value* fun = args_end - 1 - k;
    if (fun->type != t_fun) goto slow_path;
    int64_t address = to_int64(fun->num);
    size_t available = 0;
    const uint8_t* code = nullptr;
    bool here = IN_REGION(address);
    if (here) {
      code = code_base + (address - code_origin);
      available = static_cast<size_t>(code_end - code);
    } else {
      code = code_at(e, address, &available);
    }
    if (!code || available < 9 || code[0] != op_function ||
        load_immediate(code + 1) != call_count) {
      goto slow_path;
    }
    top = args_end;
    top[0] = make_typed(t_bp, static_cast<double>(frame - items));
    top[1] = make_typed(t_ip, static_cast<double>(ADDRESS(call_resume)));
    top += 2;
    frame = fun + 1;
    e->bp = static_cast<size_t>(frame - items);
    if (here) {
      pc = code + 9;
    } else {
      JUMP_TO(address + 9);
    }
    NEXT();
  }

  do_return: {
    // fun a1..ak bp ip l1..lm r [k m] -> r, when everything checks out.
    size_t k = 0;
    size_t m = 0;
    if (!count_of(return_args, &k) || !count_of(return_locals, &m)) goto slow_path;
    value* r = counts_on_stack ? top - 3 : top - 1;
    // Below r: m locals, ip, bp, k arguments and the function slot.
    if (r - items < static_cast<ptrdiff_t>(m + k + 3)) goto slow_path;
    value* ipv = r - (m + 1);
    value* bpv = r - (m + 2);
    int64_t new_ip = 0;
    int64_t saved_bp = 0;
    if (ipv->type != t_ip || !exact_integer_of(ipv->num, &new_ip) || bpv->type != t_bp ||
        !exact_integer_of(bpv->num, &saved_bp) || saved_bp < 0) {
      goto slow_path;
    }
    value* fun = r - (m + k + 3);
    size_t new_bp = static_cast<size_t>(saved_bp);
    if (static_cast<size_t>(fun - items) < new_bp) goto slow_path;
    e->bp = new_bp;
    frame = items + new_bp;
    // The result moves into the function slot; the counts are numbers.
    value old = *fun;
    *fun = *r;
    top = r;
    RELEASE(old);
    // Each slot leaves the stack before its release.
    while (top > fun + 1) {
      top--;
      RELEASE(*top);
    }
    if (IN_REGION(new_ip)) {
      pc = code_base + (new_ip - code_origin);
      NEXT();
    }
    e->ip = new_ip;
    st.length = static_cast<size_t>(top - items);
    goto reenter;
  }

  exec_path: {
    // Any other instruction (library and extension opcodes, the rarer
    // core ones): executed as step() would, without its region lookup.
    size_t available = static_cast<size_t>(code_end - pc);
    unsigned opcode = pc[0];
    int n = 1;
    if (opcode >= 0x80) {
      unsigned illegal = 0;
      n = decode_opcode(pc, available, &opcode, &illegal);
      if (n <= 0) goto slow_path;  // step() reports it
    }
    *op = opcode;
    FORGET_LOOKUPS();
    e->ip = ADDRESS(pc) + n;
    st.length = static_cast<size_t>(top - items);
    size_t cstack_height = e->cstack.length;
    int rc = execute(e, opcode, pc + n, available - static_cast<size_t>(n));
    if (rc == 0) rc = k_continue;
    check_cstack(e, cstack_height, opcode, rc);
    if (rc != k_continue) return rc;
    if (e->trap_hook) return run_stepwise(e, op);
    items = st.items;
    top = items + st.length;
    limit = items + st.capacity;
    frame = items + e->bp;
    if (!locate(e, e->ip, &where)) goto reenter;
    code_base = where.base;
    code_end = where.end;
    code_origin = where.origin;
    pc = code_base + (e->ip - code_origin);
    NEXT();
  }

  numeric_tail:
    // `result` replaces the operand now on top; a comparison followed by
    // 1 <addr> 28 branches at once, an arithmetic result followed by 34
    // goes straight into its slot.
    if (code_end - pc >= 10 && pc[0] == op_push_double && pc[9] == op_jump_false &&
        result.type == t_bool) {
      if (result.num != 0) {
        top--;
        pc += 10;
        NEXT();
      }
      double x = load_immediate(pc + 1);
      if (std::isfinite(x) && valid_jump_target(e, to_int64(x))) {
        top--;
        JUMP_TO(to_int64(x));
        NEXT();
      }
    }
    if (pc < code_end && pc[0] == op_store_slot && HAVE(2)) {
      int64_t k = 0;
      if (is_number_type(top[-2].type) && small_integer(top[-2].num, &k)) {
        value* below = top - 2;
        value* slot = k >= 0 ? frame + k : below + k;
        if (k >= 0 ? slot < below : slot >= frame) {
          value old = *slot;
          *slot = result;
          top -= 2;
          RELEASE(old);  // top[1] held a number: nothing to release there
          pc++;
          NEXT();
        }
      }
    }
    top[-1] = result;
    if (code_end - pc >= 10 && pc[0] == op_push_double && pc[9] == op_call) {
      // ... 1 <k> 30: the result was the last argument.
      call_count = load_immediate(pc + 1);
      call_resume = pc + 10;
      counts_on_stack = false;
      goto do_call;
    }
    NEXT();

  slow_path:
    e->ip = ADDRESS(pc);
    st.length = static_cast<size_t>(top - items);
  reenter:
    FORGET_LOOKUPS();
    do {
      bool ended = false;
      int rc = step(e, op, &ended);
      if (ended || rc != k_continue) return rc;
      if (e->trap_hook) return run_stepwise(e, op);
    } while (!locate(e, e->ip, &where));
    code_base = where.base;
    code_end = where.end;
    code_origin = where.origin;
    pc = code_base + (e->ip - code_origin);
    items = st.items;
    top = items + st.length;
    limit = items + st.capacity;
    frame = items + e->bp;
  }
#undef CASE
#undef NEXT
#undef HAVE
#undef RELEASE
#undef JUMP_TO
#undef FORGET_LOOKUPS
#undef FIND_VARIABLE
#undef ADDRESS
#undef IN_REGION
}

}  // namespace

int engine_run(engine* e, const uint8_t* fragment, size_t fragment_length) {
  int32_t saved_gc = e->gc_permitted;
  const uint8_t* saved_fragment = e->fragment;
  size_t saved_fragment_length = e->fragment_length;
  e->gc_permitted = 1;
  e->fragment = fragment;
  e->fragment_length = fragment ? fragment_length : 0;
  e->ip = fragment ? k_fragment_end - static_cast<int64_t>(fragment_length) : 0;

  unsigned op = 0;
  int result = run_fast(e, &op);
  if (result == k_continue || result == k_exited) result = 0;
  if (result != 0) {
    e->err.opcode = static_cast<uint16_t>(op);
    collect_backtrace(e);
  }
  e->fragment = saved_fragment;
  e->fragment_length = saved_fragment_length;
  e->gc_permitted = saved_gc;
  return result;
}

}  // namespace kiln::engine
