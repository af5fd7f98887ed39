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

// The opcode tables: X(name, number, arity, keyword, ...) per opcode, one
// line each, from which the enumerations, the description texts, the
// library's dispatch table and the Kilnfile reader's built-in table are
// made.
//
//   name     the enumerator is op_<name>
//   arity    the stack operands taken, -1 when a count on the stack says
//   keyword  the Kilnfile keyword (a front::tok kind) of the built-in
//            function that compiles to this opcode after its arguments,
//            or none
//   handler  who runs it (below each table)
//   effect   the stack effect, bottom to top, before -> after
//   text     what diagnostics print for the opcode, or nullptr ("Unknown
//            opcode")

// Core opcodes 0 to 63, run by the interpreter loop itself.
// X(name, number, arity, keyword, handler, effect, text); handler is
// loop for every one.
#define KILN_CORE_OPCODES(X) \
  X(nop,           0,  0,  none,           loop, "->", nullptr) \
  X(push_double,   1,  0,  none,           loop, "[imm] -> double (unclassified)", nullptr) \
  X(true,          2,  0,  none,           loop, "-> true", nullptr) \
  X(false,         3,  0,  none,           loop, "-> false", nullptr) \
  X(nil,           4,  0,  none,           loop, "-> nil", nullptr) \
  X(dup,           5,  1,  none,           loop, "v -> v v", nullptr) \
  X(make_fun,      6,  1,  none,           loop, "int -> fun", nullptr) \
  X(eq,            7,  2,  none,           loop, "x y -> bool", "== operator") \
  X(ne,            8,  2,  none,           loop, "x y -> bool", "== operator") \
  X(push_number,   9,  0,  none,           loop, "[imm] -> number (classified)", nullptr) \
  X(invalid,       10, 0,  none,           loop, "error 14", nullptr) \
  X(not,           11, 1,  none,           loop, "n -> bool", "! operator") \
  X(and,           12, 2,  none,           loop, "i j -> int", "& operator") \
  X(or,            13, 2,  none,           loop, "i j -> int", "| operator") \
  X(xor,           14, 2,  none,           loop, "i j -> int", nullptr) \
  X(complement,    15, 1,  none,           loop, "int -> int", "~ operator") \
  X(lt,            16, 2,  none,           loop, "x y -> bool", "< operator") \
  X(gt,            17, 2,  none,           loop, "x y -> bool", "> operator") \
  X(le,            18, 2,  none,           loop, "x y -> bool", "<= operator") \
  X(ge,            19, 2,  none,           loop, "x y -> bool", ">= operator") \
  X(shl,           20, 2,  none,           loop, "i j -> int", "<< operator") \
  X(shr,           21, 2,  none,           loop, "i j -> int (arithmetic)", ">> operator") \
  X(add,           22, 2,  none,           loop, "x y -> x+y", "+ operator") \
  X(sub,           23, 2,  none,           loop, "x y -> x-y", "binary - operator") \
  X(mul,           24, 2,  none,           loop, "x y -> x*y", "* operator") \
  X(div,           25, 2,  none,           loop, "x y -> double", "/ operator") \
  X(mod,           26, 2,  none,           loop, "i j -> int", nullptr) \
  X(neg,           27, 1,  none,           loop, "n -> -n", "unary - operator") \
  X(jump_false,    28, 2,  none,           loop, "cond addr -> (jump when cond is 0)", nullptr) \
  X(jump,          29, 1,  none,           loop, "addr -> (jump)", nullptr) \
  X(call,          30, -1, none,           loop, "fun a1..ak k -> fun a1..ak bp ip", "function call") \
  X(return,        31, 4,  none,           loop, "X bp ip r -> r", nullptr) \
  X(return_counts, 32, -1, none,           loop, "fun a1..ak bp ip l1..lm r k m -> r", nullptr) \
  X(load_slot,     33, 1,  none,           loop, ".. k -> .. v", nullptr) \
  X(store_slot,    34, 2,  none,           loop, ".. k v -> ..", nullptr) \
  X(to_signed,     35, 2,  none,           loop, "size n -> int", nullptr) \
  X(to_unsigned,   36, 2,  none,           loop, "size n -> int", nullptr) \
  X(cache_get,     37, 1,  none,           loop, "int -> v (object cache entry)", nullptr) \
  X(pop,           38, 1,  none,           loop, "v ->", nullptr) \
  X(pop_n,         39, -1, none,           loop, "e1..en n ->", nullptr) \
  X(str_byte,      40, 2,  none,           loop, "str int -> int", "string character get, $str[@5]") \
  X(str_length,    41, 1,  none,           loop, "str -> int", "string length get, $str[@]") \
  X(array_append,  42, 2,  none,           loop, "array v -> array", nullptr) \
  X(pb_set_length, 43, 2,  none,           loop, "pb int ->", "packet buffer length set, $str{@} = 5") \
  X(dict_set,      44, 3,  none,           loop, "tree str v -> tree", "dictionary set, $str{\"a\"} = @true") \
  X(array_pop,     45, 1,  none,           loop, "array -> last element", nullptr) \
  X(array_get,     46, 2,  none,           loop, "array int -> v", "array get, $ar[5]") \
  X(array_set,     47, 3,  none,           loop, "array int v ->", "array get, $ar[5] = @true") \
  X(array_length,  48, 1,  none,           loop, "array -> int", "array length get, $ar[]") \
  X(dict_delete,   49, 2,  none,           loop, "tree str ->", "dictionary delete, $str{\"a\"} = -") \
  X(dict_get,      50, 2,  none,           loop, "tree str -> v (nil when absent)", "dictionary get, $str{\"a\"}") \
  X(scope_current, 51, 0,  kw_getscopedyn, loop, "-> sc", nullptr) \
  X(scope_get,     52, 2,  none,           loop, "sc str -> v (through the parents)", "getting global variable") \
  X(scope_set,     53, 3,  none,           loop, "sc str v ->", "setting global variable") \
  X(swap_slot,     54, 2,  none,           loop, ".. k -> .. (top exchanged with slot k)", nullptr) \
  X(type,          55, 1,  kw_type,        loop, "v -> int (@type code)", "@type") \
  X(dict_has,      56, 2,  none,           loop, "tree str -> bool", "dictionary has query, $str{@?\"a\"}") \
  X(scope_has,     57, 2,  none,           loop, "sc str -> bool (through the parents)", "scope has query, @scope[$SC, @?\"foo\"]") \
  X(call_if_fun,   58, 1,  none,           loop, "v -> v, or fun -> result of fun()", "<> operator to call something that could be a function") \
  X(dict_length,   59, 1,  none,           loop, "tree -> int", "dictionary length get, $str{}") \
  X(pb_get,        60, 3,  none,           loop, "pb offset size -> int", "protocol buffer get, $pb{@2,@be16}") \
  X(pb_length,     61, 1,  none,           loop, "pb -> int", "protocol buffer length, $pb{@}") \
  X(pb_set,        62, 4,  none,           loop, "pb offset size v ->", "protocol buffer set, $pb{@2,@be16} = 5") \
  X(function,      63, 0,  none,           loop, "[imm k] header; executing it: error 3", nullptr) \
  /* end of core opcodes */

// The built-in library, opcodes 128 to 1023. `handler` is run when the
// engine runs it (lib::run_<name>, operands checked against the arity
// first), none when it does not: the JSON built-ins come from the JSON
// library once it registers them, the rest are unknown instructions.
// X(name, number, arity, keyword, handler, effect, text)
#define KILN_LIBRARY_OPCODES(X) \
  X(str_sub,         128, 3, kw_strsub,        run,  "s start end -> str (bytes start .. end-1)", "@strsub") \
  X(str_from_char,   129, 1, kw_strfromchr,    run,  "c -> str (one byte)", "@strfromchr") \
  X(str_append,      130, 2, kw_strappend,     run,  "s t -> str", "@strappend") \
  X(str_compare,     131, 2, kw_strcmp,        run,  "s t -> number (<0, 0, >0)", "@strcmp") \
  X(str_list_join,   132, 2, kw_strlistjoin,   run,  "sep list -> str", "@strlistjoin") \
  X(str_lower,       133, 1, kw_strlower,      run,  "s -> str", "@strlower") \
  X(str_upper,       134, 1, kw_strupper,      run,  "s -> str", "@strupper") \
  X(str_reverse,     135, 1, kw_strreverse,    run,  "s -> str", "@strreverse") \
  X(str_find,        136, 2, kw_strstr,        run,  "s needle -> offset or nil", "@strstr") \
  X(str_replace_all, 137, 3, kw_strgsub,       run,  "s pattern repl -> str", "@strgsub") \
  X(str_repeat,      138, 2, kw_strrep,        run,  "s n -> str", "@strrep") \
  X(str_format,      139, 0, none,             none, "not run by the engine: error 14", "@strfmt") \
  X(str_set,         140, 3, kw_strset,        run,  "s i c -> str (byte i replaced)", "@strset") \
  X(str_strip,       141, 2, kw_strstrip,      run,  "s set -> str", "@strstrip") \
  X(str_word,        142, 3, kw_strword,       run,  "s seps n -> str (word n)", "@strword") \
  X(str_word_list,   143, 2, kw_strwordlist,   run,  "s seps -> array of words", "@strwordlist") \
  X(str_word_count,  144, 2, kw_strwordcnt,    run,  "s seps -> number of words", "@strwordcnt") \
  X(to_string,       145, 1, kw_tostring,      run,  "n -> str", "@tostring") \
  X(to_number,       146, 1, kw_tonumber,      run,  "s -> number", "@tonumber") \
  X(abs,             147, 1, kw_abs,           run,  "n -> number (int stays int)", "@abs") \
  X(acos,            148, 1, kw_acos,          run,  "n -> double", "@acos") \
  X(asin,            149, 1, kw_asin,          run,  "n -> double", "@asin") \
  X(atan,            150, 1, kw_atan,          run,  "n -> double", "@atan") \
  X(ceil,            151, 1, kw_ceil,          run,  "n -> number", "@ceil") \
  X(floor,           152, 1, kw_floor,         run,  "n -> number", "@floor") \
  X(cos,             153, 1, kw_cos,           run,  "n -> double", "@cos") \
  X(sin,             154, 1, kw_sin,           run,  "n -> double", "@sin") \
  X(tan,             155, 1, kw_tan,           run,  "n -> double", "@tan") \
  X(exp,             156, 1, kw_exp,           run,  "n -> double", "@exp") \
  X(log,             157, 1, kw_log,           run,  "n -> double", "@log") \
  X(sqrt,            158, 1, kw_sqrt,          run,  "n -> double", "@sqrt") \
  X(exit,            159, 0, none,             run,  "-> (the run ends; the top stays its result)", "@exit") \
  X(dump,            160, 1, none,             run,  "v -> (printed on standard output)", "@dump") \
  X(dupnonrec,       161, 1, kw_dupnonrec,     run,  "container -> shallow copy", "@dupnonrec") \
  X(error,           162, 1, none,             run,  "s -> (written to standard error; error 10)", "@error") \
  X(out,             163, 2, none,             run,  "s stream ->", "@out") \
  X(dict_iterate,    164, 3, none,             run,  "tree key backwards -> tree key' value'", "dictionary iteration") \
  X(trailer,         165, 0, none,             run,  "[imm cache index]; executing it: error 3", nullptr) \
  X(splice,          166, 3, kw_splice,        run,  "array start end -> array", "@splice") \
  X(unsupported,     169, 0, none,             run,  "error 2", nullptr) \
  X(scopenew,        171, 2, none,             run,  "parent holey -> object cache index of a new scope", "@scopenew") \
  X(fopen,           172, 2, kw_fopen,         run,  "name mode -> ios or nil", "@fopen") \
  X(fclose,          173, 1, kw_fclose,        run,  "ios -> nil", "@fclose") \
  X(fread,           174, 4, kw_fread,         run,  "ios pb off len -> count", "@fread") \
  X(fseek,           175, 3, kw_fseek,         run,  "ios off whence -> position", "@fseek") \
  X(fflush,          176, 1, kw_fflush,        run,  "ios -> nil", "@fflush") \
  X(fwrite,          177, 4, kw_fwrite,        run,  "ios pb off len -> count", "@fwrite") \
  X(fpclassify,      179, 1, kw_fpclassify,    run,  "n -> class (0 zero .. 4 NaN)", "@fpclassify") \
  X(json_encode,     180, 1, kw_jsonenc,       none, "v -> str (JSON library)", "@jsonenc") \
  X(json_decode,     181, 1, kw_jsondec,       none, "s -> v (JSON library)", "@jsondec") \
  X(new_array,       182, 0, none,             run,  "-> array", "creating new array") \
  X(new_dict,        183, 0, none,             run,  "-> tree", "creating new tree/dictionary") \
  X(embed_list,      184, 2, none,             run,  "dst src -> dst (src appended)", "embedding contents of a list into another list") \
  X(pb_new,          185, 0, kw_pbnew,         run,  "-> pb", "@pbnew") \
  X(scope_parent,    186, 1, kw_scopeparent,   run,  "sc -> sc or nil", "@scopeparent") \
  X(scope_get_here,  187, 2, none,             run,  "sc name -> v (this scope only)", "accessing scope variable nonrecursively, @LPO/@LO/@DO/@DPO/@SCO($SCOPE)") \
  X(scope_has_here,  188, 2, none,             run,  "sc name -> bool (this scope only)", "checking existence of a  scope variable nonrecursively") \
  X(lua_call,        189, 0, none,             none, "not run by the engine: error 14", "@dynluacall/@lexluacall") \
  X(round,           190, 1, kw_round,         run,  "n -> number", "@round") \
  X(trunc,           191, 1, kw_trunc,         run,  "n -> number", "@trunc") \
  X(getenv,          192, 1, kw_getenv,        run,  "name -> str or nil", "@getenv") \
  X(chomp,           193, 1, kw_chomp,         run,  "s -> str (one final newline removed)", "@chomp") \
  X(pb_to_str,       194, 3, kw_pb2str,        run,  "pb off len -> str", "@pb2str") \
  X(str_to_pb,       195, 1, kw_str2pb,        run,  "s -> pb", "@str2pb") \
  X(fgetdelim,       196, 5, kw_fgetdelim,     run,  "ios delim pb off max -> bytes stored", "@fgetdelim") \
  X(gettime,         197, 0, kw_gettime,       run,  "-> microseconds since the epoch", nullptr) \
  X(localtime,       198, 1, kw_localtime,     run,  "usec -> tree", "@localtime") \
  X(gmtime,          199, 1, kw_gmtime,        run,  "usec -> tree", "@gmtime") \
  X(mktime,          200, 1, kw_mktime,        run,  "tree -> usec or nil", "@mktime") \
  X(array_delete,    201, 2, none,             run,  "array i -> (element i removed)", "array deletion, $array[5]\xC2\xA0= -") \
  X(insert,          202, 3, none,             run,  "array i v -> (v inserted before element i)", "@insert") \
  X(json_test,       203, 1, kw_jsontest,      none, "s -> bool (JSON library)", "@jsontest") \
  X(logical_and,     204, 2, none,             run,  "a b -> bool", nullptr) \
  X(logical_or,      205, 2, none,             run,  "a b -> bool", nullptr) \
  X(str_list_unique, 206, 1, kw_strlistrmdupes, run, "list -> array without repeats", nullptr) \
  /* end of library opcodes */

#define KILN_OPCODE_ENUM(name, number, ...) op_##name = number,

enum core_opcode : uint16_t { KILN_CORE_OPCODES(KILN_OPCODE_ENUM) };

enum library_opcode : uint16_t { KILN_LIBRARY_OPCODES(KILN_OPCODE_ENUM) };

#undef KILN_OPCODE_ENUM

// Where the interpreter hands opcodes on: the core set ends below the
// first extension block (64-127), the library (128-1023) is followed by
// the second extension block (1024-2047), and everything from 32768 up is
// the extension's again; the rest is unknown.
constexpr unsigned k_first_extension_opcode = 64;
constexpr unsigned k_first_library_opcode = 128;
constexpr unsigned k_end_library_opcode = 1024;
constexpr unsigned k_end_extension_block = 2048;
constexpr unsigned k_first_high_extension_opcode = 32768;

// Addresses of a temporary fragment of n bytes end at this address.
constexpr int64_t k_fragment_end = -100;

// Writes an opcode in its one-to-three-byte form at out; returns the
// number of bytes written.
size_t encode_opcode(unsigned opcode, uint8_t out[3]);

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
