// The byte-code format, shared by the Kilnfile compiler and the
// interpreter.
//
// An address is a signed byte offset. 0 .. length-1 are bytes of the
// engine's byte-code buffer; a run may add a temporary fragment of n bytes
// at the negative addresses -100-n .. -101 (byte i at i - 100 - n).
// Reaching -100 (the fragment's end) or the buffer's end ends a run.
//
// An opcode is a 16-bit number in one to three bytes, in the manner of
// UTF-8:
//
//   0xxxxxxx                      0 .. 127
//   110xxxxx 10xxxxxx             128 .. 2047       (overlong forms illegal)
//   1110xxxx 10xxxxxx 10xxxxxx    2048 .. 65535     (overlong forms illegal)
//
// Opcodes 1 and 9 (push a number), 63 (function header: argument count)
// and 165 (function trailer: object cache index of the name) are followed
// by an 8-byte IEEE double, big-endian. A function is 63 <k> body 165 <i>;
// function values are the address of its 63.
//
// Ranges: 0-63 the interpreter; 64-127 the extension hook (kiln uses
// 64-97); 128-1023 the built-in library; 1024-2047 the extension hook;
// 2048-32767 unknown; 32768-65535 the extension hook.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <vector>

namespace kiln::engine {

// Core opcodes. Stack effects bottom to top, before -> after.
enum core_opcode : uint16_t {
  op_nop = 0,           //                     ->
  op_push_double = 1,   // [imm]               -> double (unclassified)
  op_true = 2,          //                     -> true
  op_false = 3,         //                     -> false
  op_nil = 4,           //                     -> nil
  op_dup = 5,           // v                   -> v v
  op_make_fun = 6,      // int                 -> fun
  op_eq = 7,            // x y                 -> bool
  op_ne = 8,            // x y                 -> bool
  op_push_number = 9,   // [imm]               -> number (classified)
  op_invalid = 10,      //                     error 14
  op_not = 11,          // n                   -> bool
  op_and = 12,          // i j                 -> int
  op_or = 13,           // i j                 -> int
  op_xor = 14,          // i j                 -> int
  op_complement = 15,   // int                 -> int
  op_lt = 16,           // x y                 -> bool
  op_gt = 17,           // x y                 -> bool
  op_le = 18,           // x y                 -> bool
  op_ge = 19,           // x y                 -> bool
  op_shl = 20,          // i j                 -> int
  op_shr = 21,          // i j                 -> int (arithmetic)
  op_add = 22,          // x y                 -> x+y
  op_sub = 23,          // x y                 -> x-y
  op_mul = 24,          // x y                 -> x*y
  op_div = 25,          // x y                 -> double
  op_mod = 26,          // i j                 -> int
  op_neg = 27,          // n                   -> -n
  op_jump_false = 28,   // cond addr           -> (jump when cond is 0)
  op_jump = 29,         // addr                -> (jump)
  op_call = 30,         // fun a1..ak k        -> fun a1..ak bp ip
  op_return = 31,       // X bp ip r           -> r
  op_return_counts = 32,  // fun a1..ak bp ip l1..lm r k m -> r
  op_load_slot = 33,    // .. k                -> .. v
  op_store_slot = 34,   // .. k v              -> ..
  op_to_signed = 35,    // size n              -> int
  op_to_unsigned = 36,  // size n              -> int
  op_cache_get = 37,    // int                 -> v (object cache entry)
  op_pop = 38,          // v                   ->
  op_pop_n = 39,        // e1..en n            ->
  op_str_byte = 40,     // str int             -> int
  op_str_length = 41,   // str                 -> int
  op_array_append = 42,  // array v            -> array
  op_pb_set_length = 43,  // pb int            ->
  op_dict_set = 44,     // tree str v          -> tree
  op_array_pop = 45,    // array               -> last element
  op_array_get = 46,    // array int           -> v
  op_array_set = 47,    // array int v         ->
  op_array_length = 48,  // array              -> int
  op_dict_delete = 49,  // tree str            ->
  op_dict_get = 50,     // tree str            -> v (nil when absent)
  op_scope_current = 51,  //                   -> sc
  op_scope_get = 52,    // sc str              -> v (through the parents)
  op_scope_set = 53,    // sc str v            ->
  op_swap_slot = 54,    // .. k                -> .. (top exchanged with slot k)
  op_type = 55,         // v                   -> int (@type code)
  op_dict_has = 56,     // tree str            -> bool
  op_scope_has = 57,    // sc str              -> bool (through the parents)
  op_call_if_fun = 58,  // v                   -> v, or fun -> result of fun()
  op_dict_length = 59,  // tree                -> int
  op_pb_get = 60,       // pb offset size      -> int
  op_pb_length = 61,    // pb                  -> int
  op_pb_set = 62,       // pb offset size v    ->
  op_function = 63,     // [imm k]             header; executing it: error 3
};

// Library opcodes the compiler emits by name.
enum library_opcode : uint16_t {
  op_str_append = 130,
  op_str_list_join = 132,
  op_exit = 159,
  op_dump = 160,
  op_dupnonrec = 161,
  op_error = 162,
  op_out = 163,
  op_dict_iterate = 164,
  op_trailer = 165,  // [imm cache index]; executing it: error 3
  op_scopenew = 171,
  op_new_array = 182,
  op_new_dict = 183,
  op_embed_list = 184,
  op_scope_parent = 186,
  op_scope_get_here = 187,
  op_scope_has_here = 188,
  op_lua_call = 189,
  op_array_delete = 201,
  op_insert = 202,
};

// The build extension's opcodes used by compiled recipes.
enum extension_opcode : uint16_t {
  op_adddeps = 66,
  op_addrule = 67,
  op_shellescape = 84,
  op_shellescapemulti = 97,
};

// Addresses of a temporary fragment of n bytes end at this address.
constexpr int64_t k_fragment_end = -100;

// Appends an opcode in its one-to-three-byte form.
void emit_opcode(std::vector<uint8_t>& code, unsigned opcode);

// Appends an 8-byte big-endian double.
void emit_immediate(std::vector<uint8_t>& code, double x);

// Writes an 8-byte big-endian double at p.
void store_immediate(uint8_t* p, double x);

// Reads an 8-byte big-endian double at p.
inline double load_immediate(const uint8_t* p) {
  uint64_t bits;
  memcpy(&bits, p, 8);
  if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap64(bits);
  double x;
  memcpy(&x, &bits, 8);
  return x;
}

// Decodes the opcode at code[0 .. available). Returns the number of bytes
// (1 to 3), or 0 for an illegal form (*illegal gets the additional number:
// 0x10000 + byte for a stray continuation byte, 0x20000 + lead for a bad
// second byte of a two-byte form, 0x30000 + opcode for an overlong
// two-byte form, 0x40000 + byte for a bad second byte of a three-byte form,
// 0x50000 + the second byte for a bad third byte, 0x60000 + opcode for an
// overlong three-byte form, 0x70000 + lead for leads 0xF0 and above), or
// -1 when the code ends inside the opcode.
int decode_opcode(const uint8_t* code, size_t available, unsigned* opcode, unsigned* illegal);

// The description text diagnostics print for an opcode ("Unknown opcode"
// for opcodes without one).
const char* opcode_description(unsigned opcode);

}  // namespace kiln::engine
