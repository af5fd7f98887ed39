// cinder's value: the type codes, the 16-byte tagged value and its
// makers. Part of the chief header engine/engine.h, which includes it.
#pragma once

#include <cstdint>

namespace kiln::engine {

// ---------------------------------------------------------------------------
// Values

// Type codes of a value. 8 to 13 are reference-counted objects.
enum type_code : uint32_t {
  t_int = 0,     // number with an integral value (|x| < 2^53)
  t_double = 1,  // number, general
  t_bool = 2,    // payload 1.0 or 0.0
  t_fun = 3,     // function address: byte-code offset of a header
  t_bp = 4,      // saved base pointer (stack index)
  t_ip = 5,      // saved instruction pointer
  t_rg = 6,      // recursion guard on the stack
  t_nil = 7,     // payload 0
  t_tree = 8,    // dictionary ordered by string key
  t_array = 9,   // array of values
  t_str = 10,    // immutable byte string
  t_pb = 11,     // protocol buffer: growable byte buffer
  t_sc = 12,     // scope
  t_ios = 13,    // I/O stream
};

// True for the reference-counted types 8 to 13.
inline bool is_object_type(uint32_t type) { return type - 8u <= 5u; }

// True for the types every numeric operand accepts (int, double, bool).
inline bool is_number_type(uint32_t type) { return type <= t_bool; }

struct object;
struct tree_obj;
struct array_obj;
struct str_obj;
struct pb_obj;
struct scope_obj;
struct ios_obj;

// A script value: 32-bit type code and an 8-byte payload.
struct value {
  uint32_t type = t_nil;
  union {
    double num = 0;  // types 0 to 7
    object* obj;
    tree_obj* tree;
    array_obj* array;
    str_obj* str;
    pb_obj* pb;
    scope_obj* scope;
    ios_obj* ios;
  };
};
static_assert(sizeof(value) == 16, "a value is 16 bytes");

// The type a number gets when stored: int when finite, integral and
// |x| < 2^53 (so that x + 1 and x - 1 are exact), otherwise double. The
// range test also rejects NaN and the infinities.
inline uint32_t classify_number(double x) {
  constexpr double k_two_53 = 9007199254740992.0;
  if (x > -k_two_53 && x < k_two_53 && static_cast<double>(static_cast<int64_t>(x)) == x) {
    return t_int;
  }
  return t_double;
}

// Value makers for the non-object types. make_number classifies.
inline value make_number(double x) {
  value v;
  v.type = classify_number(x);
  v.num = x;
  return v;
}
inline value make_double(double x) {
  value v;
  v.type = t_double;
  v.num = x;
  return v;
}
inline value make_bool(bool b) {
  value v;
  v.type = t_bool;
  v.num = b ? 1.0 : 0.0;
  return v;
}
inline value make_nil() { return value(); }
inline value make_typed(uint32_t type, double x) {
  value v;
  v.type = type;
  v.num = x;
  return v;
}
inline value make_object(uint32_t type, object* o) {
  value v;
  v.type = type;
  v.obj = o;
  return v;
}

// The @type code of a value (int gives 51, the others 38 to 50).
int type_query_code(uint32_t type);

// The expected-type error code of a type (int gives 69 "Expected integer").
int expected_type_error(uint32_t type);

}  // namespace kiln::engine
