// The value stack, the C stack and the byte-code buffer.
//
// Stack indexes: below 0 counts from the top (-1 is the top slot) and must
// stay at or above bp; 0 and above counts from bp and must stay below the
// length. The stack and the C stack double when full, up to k_max_stack
// entries; beyond that a push is error 20 "Stack overflow".
#include <cstring>

#include "base/result_codes.h"
#include "engine/engine.h"
#include "engine/heap.h"

namespace kiln::engine {

namespace {

int out_of_bounds(engine* e, int64_t index) {
  return set_error(e, err_stack_index_out_of_bounds, make_nil(), static_cast<double>(index), base::rc_out_of_bounds);
}

// Appends v to a stack vector without touching its count.
int vec_push(engine* e, value_vec* vec, value v) {
  if (vec->length == vec->capacity) {
    if (vec->capacity >= k_max_stack)
      return set_error(e, err_stack_overflow, make_nil(), static_cast<double>(vec->length), base::rc_out_of_bounds);
    value_vec_reserve(e, vec, vec->capacity ? 2 * vec->capacity : k_initial_stack);
  }
  vec->items[vec->length++] = v;
  return 0;
}

// The number of slots above bp.
size_t frame_size(const engine* e) {
  return e->stack.length > e->bp ? e->stack.length - e->bp : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Pushing and popping

int push_number(engine* e, double x) { return vec_push(e, &e->stack, make_number(x)); }

int push_double(engine* e, double x) { return vec_push(e, &e->stack, make_double(x)); }

int push_bool(engine* e, bool b) { return vec_push(e, &e->stack, make_bool(b)); }

int push_nil(engine* e) { return vec_push(e, &e->stack, make_nil()); }

int push_value(engine* e, value v) {
  int rc = vec_push(e, &e->stack, v);
  if (rc == 0) value_ref(v);
  return rc;
}

int pop(engine* e) { return pop_n(e, 1); }

int pop_n(engine* e, size_t n) {
  if (n > frame_size(e)) return out_of_bounds(e, -static_cast<int64_t>(n));
  // Each slot leaves the stack before its release, so a destruction it
  // causes never sees it.
  while (n--) {
    value v = e->stack.items[--e->stack.length];
    value_unref(e, v);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Access by index

int stack_slot(engine* e, int64_t index, size_t* slot) {
  size_t length = e->stack.length;
  if (index < 0) {
    uint64_t back = static_cast<uint64_t>(-(index + 1)) + 1;
    if (back > length || length - back < e->bp) return out_of_bounds(e, index);
    *slot = length - back;
  } else {
    uint64_t forward = static_cast<uint64_t>(index);
    if (forward >= length || e->bp > length - 1 - forward) return out_of_bounds(e, index);
    *slot = e->bp + forward;
  }
  return 0;
}

int peek(engine* e, int64_t index, value** out) {
  size_t slot = 0;
  int rc = stack_slot(e, index, &slot);
  if (rc < 0) return rc;
  *out = &e->stack.items[slot];
  return 0;
}

int peek_type(engine* e, int64_t index, uint32_t type, value** out) {
  value* v;
  int rc = peek(e, index, &v);
  if (rc < 0) return rc;
  if (v->type != type)
    return set_error(e, expected_type_error(type), *v, static_cast<double>(index), base::rc_invalid);
  *out = v;
  return 0;
}

int peek_number(engine* e, int64_t index, double* out) {
  value* v;
  int rc = peek(e, index, &v);
  if (rc < 0) return rc;
  if (!is_number_type(v->type)) return set_error(e, err_expected_double_precision_number, *v, static_cast<double>(index), base::rc_invalid);
  *out = v->num;
  return 0;
}

int replace_top(engine* e, size_t n, value result) {
  if (n > frame_size(e)) return out_of_bounds(e, -static_cast<int64_t>(n));
  // Referenced first: the result may be held only by a slot being popped.
  value_ref(result);
  while (n--) {
    value v = e->stack.items[--e->stack.length];
    value_unref(e, v);
  }
  int rc = vec_push(e, &e->stack, result);
  if (rc < 0) value_unref(e, result);
  return rc;
}

int swap_top(engine* e) {
  if (frame_size(e) < 2) return out_of_bounds(e, -2);
  value* top = &e->stack.items[e->stack.length - 1];
  value t = top[0];
  top[0] = top[-1];
  top[-1] = t;
  return 0;
}

// ---------------------------------------------------------------------------
// C stack

int cstack_push(engine* e, value v) {
  int rc = vec_push(e, &e->cstack, v);
  if (rc == 0) value_ref(v);
  return rc;
}

int cstack_pop(engine* e) {
  if (e->cstack.length == 0) return set_error(e, err_stack_underflow, make_nil(), 0, base::rc_out_of_bounds);
  value v = e->cstack.items[--e->cstack.length];
  value_unref(e, v);
  return 0;
}

int cstack_move_to_stack(engine* e) {
  if (e->cstack.length == 0) return set_error(e, err_stack_underflow, make_nil(), 0, base::rc_out_of_bounds);
  // The reference moves with the value.
  int rc = vec_push(e, &e->stack, e->cstack.items[e->cstack.length - 1]);
  if (rc < 0) return rc;
  e->cstack.length--;
  return 0;
}

// ---------------------------------------------------------------------------
// Byte code

int bytecode_append(engine* e, const void* bytes, size_t length) {
  auto& b = e->bytecode;
  if (length > SIZE_MAX - b.length) return base::rc_no_memory;
  if (b.length + length > b.capacity) {
    size_t capacity = b.capacity ? b.capacity : k_initial_bytecode;
    while (capacity < b.length + length) {
      if (capacity > SIZE_MAX / 2) return base::rc_no_memory;
      capacity *= 2;
    }
    void* grown = e->realloc_hook(b.bytes, capacity, b.capacity);
    if (!grown) return base::rc_no_memory;
    b.bytes = static_cast<uint8_t*>(grown);
    b.capacity = capacity;
  }
  if (length) memcpy(b.bytes + b.length, bytes, length);
  b.length += length;
  return 0;
}

}  // namespace kiln::engine
