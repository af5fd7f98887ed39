// cinder, kiln's script engine: the value type, the heap objects, the
// engine record and its hooks.
//
// This is the engine's chief header. Everything that runs script code or
// handles script values includes it. The engine knows nothing of builds;
// the build tool plugs in through the extension hook and the opaque
// pointers below.
//
// Ownership in one paragraph: a `value` of an object type (8 to 13) holds
// one reference. Storing it anywhere (stack, C stack, array element, tree
// entry, scope variable, object cache, error slot, backtrace) takes a
// reference, overwriting or clearing releases one, and an object whose
// count drops to zero is destroyed at once, iteratively. Cycles are
// reclaimed by the collector, which runs only while byte code runs
// (`gc_permitted`). Functions return 0 (or a non-negative result) on
// success and a negative result code on failure, with the engine's error
// slot filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// ---------------------------------------------------------------------------
// Objects

// Header of every heap object.
struct object {
  uint64_t refcnt;
  int64_t locidx;  // index in the GC block; -1 while marked by the collector
};

// Entry of a red-black tree of a dictionary or of a scope bucket: one
// 64-byte block holding a reference to its key (a str) and to its value.
struct tree_entry {
  uint64_t colour;  // 0 red, 1 black
  tree_entry* left;
  tree_entry* right;
  tree_entry* parent;
  value key;
  value val;
};
static_assert(sizeof(tree_entry) == 64, "tree entries are 64-byte blocks");

struct tree_obj : object {
  tree_entry* root;
  size_t count;
};

struct array_obj : object {
  value* items;
  size_t capacity;  // elements
  size_t size;      // elements
};

// Immutable string; the tree fields link it into the string cache only.
struct str_obj : object {
  uint64_t colour;
  str_obj* left;
  str_obj* right;
  str_obj* parent;
  size_t length;
  int64_t cache_index;  // object cache index when interned, else -1
  char bytes[];         // length bytes and a NUL
};

struct pb_obj : object {
  size_t length;
  size_t capacity;
  uint8_t* data;  // initial capacity 128; zero-filled when grown
};

// A scope: hashed buckets of trees of variables, with an optional parent.
struct scope_obj : object {
  int holey;  // a recursive lookup ends at a holey scope
  size_t var_count;
  scope_obj* parent;  // a reference, or none
  size_t bucket_count;  // a power of two
  int64_t cache_index;  // every scope is kept alive by the object cache
  void* host_data;      // the embedding program's record (kiln: directory names)
  tree_entry* buckets[];
};

struct ios_obj : object {
  FILE* stream;  // none once closed
};

// ---------------------------------------------------------------------------
// The engine record

struct engine;

// Error slot: what the last failing instruction or function reported.
struct error_slot {
  int code = 0;         // 0 none, 1..69 the engine's, 4097 and up the extension's
  uint16_t opcode = 0;  // the opcode that was executing (the lead byte of
                        // one that could not be decoded)
  value info;           // additional information, usually the operand
  double number = 0;    // additional number: index, size or address
};

// Allocator for objects and their vectors, with the collection triggers
// and the byte limit: (engine, old block, old size, new size). A new block
// has old == nullptr and old size 0; new size 0 releases.
using alloc_hook_fn = void* (*)(engine* e, void* old_block, size_t old_size, size_t new_size);

// Allocator for the engine's own vectors: (old block, new size, old size).
using realloc_hook_fn = void* (*)(void* old_block, size_t new_size, size_t old_size);

// Executes opcodes 64-127, 1024-2047 and 32768-65535 for the embedding
// program. Returns 0 or a negative result code (error slot filled).
using extension_hook_fn = int (*)(engine* e, unsigned opcode, const uint8_t* fragment,
                                  size_t fragment_length);

// Called before every instruction when set; non-zero stops the run.
using trap_hook_fn = int (*)(void* data, unsigned opcode);

struct alloc_state {
  size_t bytes_in_use = 0;
  size_t byte_limit = SIZE_MAX;  // unlimited
  size_t bytes_at_last_gc = 0;
  size_t objects_at_last_gc = 0;
  void* userdata = nullptr;  // the embedding program's, handed to the hooks
};

// A growable vector of values.
struct value_vec {
  value* items = nullptr;
  size_t length = 0;
  size_t capacity = 0;
};

// One GC block entry: the type and the object.
struct gc_entry {
  uint32_t type;
  object* obj;
};

constexpr size_t k_string_cache_buckets = 8192;
constexpr size_t k_initial_stack = 8192;     // stack, C stack, object cache, GC block
constexpr size_t k_initial_bytecode = 32768;
constexpr size_t k_backtrace_capacity = 1024;  // never grows
constexpr size_t k_root_scope_buckets = 128;

struct engine {
  int32_t arena_mode = 0;        // objects come from the size-class arena
  int32_t gc_permitted = 0;      // collections may run only while set
  int32_t verify_refcounts = 0;  // every collection verifies counts first
  error_slot err;
  alloc_hook_fn alloc_hook = nullptr;
  extension_hook_fn extension_hook = nullptr;
  realloc_hook_fn realloc_hook = nullptr;
  alloc_state alloc;
  trap_hook_fn trap_hook = nullptr;
  void* trap_data = nullptr;
  // Set by hosts that run untrusted scripts (the fuzzing harnesses):
  // @fopen opens for reading only, and the embedding program runs no
  // commands on a script's behalf.
  int32_t no_side_effects = 0;

  value_vec stack;
  size_t bp = 0;   // index of the first argument of the running function
  int64_t ip = 0;  // negative: inside the temporary fragment
  value extra_root;  // the embedding program's root; nil at engine_free

  value_vec cstack;  // roots objects that built-ins are building

  struct {
    uint8_t* bytes = nullptr;
    size_t length = 0;
    size_t capacity = 0;
  } bytecode;

  value_vec object_cache;  // constants, interned strings, scopes, recipe args

  str_obj* string_cache[k_string_cache_buckets] = {};  // tree roots

  // Every live object, with the pending-destruction stack growing down
  // from the end of the same vector.
  struct {
    gc_entry* items = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    size_t pending_start = 0;  // first used slot of the pending stack
    int draining = 0;          // set while the pending stack is being drained
  } gc_block;

  value current_scope;  // the dynamic scope opcode 51 pushes

  // Variables of one scope that no assignment changes (the embedding
  // program's overrides, such as kiln's NAME=value words): their names,
  // owned by the embedding program.
  scope_obj* pinned_scope = nullptr;
  const char* const* pinned_names = nullptr;
  size_t n_pinned = 0;
  value_vec backtrace;  // entries appended by failed runs; capacity 1024

  // The temporary fragment of the current run (addresses -100-n .. -101).
  const uint8_t* fragment = nullptr;
  size_t fragment_length = 0;
};

// ---------------------------------------------------------------------------
// Life cycle

// Creates the engine: vectors at their initial capacities, the allocator
// (size-class arena when arena_mode is non-zero, else malloc), the root
// dynamic scope (128 buckets). Aborts when the root scope cannot be made.
int engine_init(engine* e, int arena_mode);

// Releases everything: requires the extra root to be nil (aborts
// otherwise), drops all roots, collects (cycles included), frees vectors.
void engine_free(engine* e);

// Offers each vector to the realloc hook at its used size.
void engine_trim(engine* e);

// Runs one collection now (only when gc_permitted is set).
void engine_collect(engine* e);

// Checks every object's count against the references that explain it;
// prints "Explained refcnt %zu, actual %zu" and aborts on a mismatch.
void engine_verify_refcounts(engine* e);

// ---------------------------------------------------------------------------
// Errors

// Fills the error slot (taking a reference to info) and returns result.
int set_error(engine* e, int code, value info, double number, int result);

// Clears the error slot.
void clear_error(engine* e);

// ---------------------------------------------------------------------------
// Memory

// Object memory through the alloc hook (limit and collection triggers).
void* obj_alloc(engine* e, size_t size);
void* obj_realloc(engine* e, void* block, size_t old_size, size_t new_size);
void obj_free(engine* e, void* block, size_t size);

// Bytes obtained from malloc by the process-wide size-class arena.
size_t arena_total_bytes();

// Prints the engine's four lines of the memory statistics: arena total,
// bytecode capacity, object cache and GC block capacities in bytes.
void engine_print_memory_stats(const engine* e, FILE* out);

// ---------------------------------------------------------------------------
// References

// Takes a reference when v is an object.
inline void value_ref(value v) {
  if (is_object_type(v.type)) v.obj->refcnt++;
}

// Releases a reference; destroys the object when it was the last.
void value_unref(engine* e, value v);

// Stores src into *dst: references src, releases the old content.
void value_assign(engine* e, value* dst, value src);

// Releases *slot and leaves it nil with payload 0.
void value_clear(engine* e, value* slot);

// ---------------------------------------------------------------------------
// Constructors: each returns the object with refcnt 1, registered in the GC
// block, or nullptr after setting error 6 "Not enough memory" with the
// requested size as additional number.

str_obj* string_new(engine* e, const char* bytes, size_t length);
str_obj* string_new_concat(engine* e, const char* a, size_t a_length, const char* b,
                           size_t b_length);
str_obj* string_new_repeat(engine* e, const char* bytes, size_t length, size_t count);
str_obj* string_new_empty(engine* e, size_t length);  // NUL-filled
array_obj* array_new(engine* e);
tree_obj* tree_new(engine* e);
pb_obj* pb_new(engine* e);
ios_obj* ios_new(engine* e, FILE* stream);
// Bucket count is rounded up to a power of two; the scope takes a
// reference to its parent and enters itself in the object cache.
scope_obj* scope_new(engine* e, size_t bucket_count, scope_obj* parent, bool holey);

// Twins: the same, pushing the new value on the C stack (which then holds
// the only reference). Return the C stack slot index, or a negative result
// (error 20 "Stack overflow" when the C stack is full).
int64_t cstack_string_new(engine* e, const char* bytes, size_t length);
int64_t cstack_string_new_concat(engine* e, const char* a, size_t a_length, const char* b,
                                 size_t b_length);
int64_t cstack_string_new_repeat(engine* e, const char* bytes, size_t length, size_t count);
int64_t cstack_string_new_empty(engine* e, size_t length);
int64_t cstack_array_new(engine* e);
int64_t cstack_tree_new(engine* e);
int64_t cstack_pb_new(engine* e);
int64_t cstack_ios_new(engine* e, FILE* stream);
int64_t cstack_scope_new(engine* e, size_t bucket_count, scope_obj* parent, bool holey);

// Arrays: append with a new reference (capacity grows to 2 * size + 1 or
// more); -12 on memory failure.
int array_push(engine* e, array_obj* a, value v);

// Protocol buffers: set the length, zero-filling growth.
int pb_set_length(engine* e, pb_obj* p, size_t length);

// ---------------------------------------------------------------------------
// String cache and hash

// The 64-bit multiply-fold string hash.
uint64_t string_hash(const void* bytes, size_t length);

// Interns bytes: the object cache index of the one string with these
// bytes; -84 when the cache cannot grow, -12 on memory exhaustion.
int64_t cache_add_string(engine* e, const char* bytes, size_t length);

// Appends a value to the object cache (taking a reference); its index.
int64_t cache_add_value(engine* e, value v);

// ---------------------------------------------------------------------------
// Trees (dictionaries). Keys are str values; order is memcmp over the
// shorter length, then the shorter first.

// Compares two byte strings in key order: negative, 0 or positive.
int key_compare(const char* a, size_t a_length, const char* b, size_t b_length);

// The stored value for key, or nullptr when absent.
value* tree_get(tree_obj* t, const char* key, size_t key_length);

// Replaces or inserts (error 6 with 64 on allocation failure, -12).
int tree_set(engine* e, tree_obj* t, value key, value v);

// Removes the entry; -2 when absent.
int tree_delete(engine* e, tree_obj* t, const char* key, size_t key_length);

// The entry with the smallest key above key (the smallest of all for
// nullptr), or nullptr at the end; tree_prev mirrors it.
tree_entry* tree_next(tree_obj* t, const str_obj* key);
tree_entry* tree_prev(tree_obj* t, const str_obj* key);

// ---------------------------------------------------------------------------
// Scopes

// Looks a name up in this scope and, when recursive, through the parents
// up to and including the first holey scope. nullptr when absent.
value* scope_find(scope_obj* s, const char* name, size_t name_length, bool recursive);
value* scope_find_cstr(scope_obj* s, const char* name, bool recursive);

// Defines or overwrites in this scope only.
int scope_set(engine* e, scope_obj* s, value name, value v);

// Inserts a new variable; -17 when the name exists (scope unchanged).
int scope_add_cstr(engine* e, scope_obj* s, const char* name, value v);

// Removes from this scope only; -2 when absent.
int scope_delete(engine* e, scope_obj* s, const char* name, size_t name_length);

// ---------------------------------------------------------------------------
// Stack accessors. An index below 0 counts from the top (-1 is the top
// slot) and must stay at or above bp; an index of 0 or more counts from bp
// and must stay below the length. A violation is error 30 "Stack index out
// of bounds" (result -84); a type mismatch is the expected type's error
// (result -22).

int push_number(engine* e, double x);  // classified
int push_double(engine* e, double x);  // as double
int push_bool(engine* e, bool b);
int push_nil(engine* e);
int push_value(engine* e, value v);  // takes a reference
int pop(engine* e);                  // releases the top
int pop_n(engine* e, size_t n);

// Absolute slot of a stack index, or error 30.
int stack_slot(engine* e, int64_t index, size_t* slot);

// The value at an index, unchecked for type.
int peek(engine* e, int64_t index, value** out);

// The value at an index, which must have the given type.
int peek_type(engine* e, int64_t index, uint32_t type, value** out);

// A number operand (types 0 to 2), else error 39.
int peek_number(engine* e, int64_t index, double* out);

// Replaces the top n slots by one result (taking a reference to it).
int replace_top(engine* e, size_t n, value result);

// Exchanges the top two slots.
int swap_top(engine* e);

// C stack: push (taking a reference), pop (releasing), and moving the top
// C stack value onto the stack.
int cstack_push(engine* e, value v);
int cstack_pop(engine* e);
int cstack_move_to_stack(engine* e);

// ---------------------------------------------------------------------------
// Byte code

// Appends bytes to the byte-code buffer; -12 when it cannot grow.
int bytecode_append(engine* e, const void* bytes, size_t length);

// ---------------------------------------------------------------------------
// Running

// Runs byte code: from the fragment's first byte (address -100 - length)
// or, without a fragment, from address 0. Returns 0 or a negative result
// code; on failure the error slot holds code, opcode and information and
// the backtrace has the failing locations appended.
int engine_run(engine* e, const uint8_t* fragment, size_t fragment_length);

// The text of an engine error code ("Unknown error" for unknown ones).
const char* error_message(int code);

// Releases every backtrace entry.
void backtrace_clear(engine* e);

// Prints a value in the dump format (strings JSON-escaped, containers
// on the current path abbreviated) to the stream (standard output for
// @dump and diagnostics).
void value_dump(FILE* out, value v);

// Writes the shortest text that reads back to x (at most 24 characters
// plus NUL) and returns its length.
int number_text(double x, char* buffer);

// One candidate text of x with precision p ("%.<p>g", 1 to 17),
// normalised: "e" lower case, no "+" and no leading zeros in the exponent,
// ".0" added to a finite plain number without a point. Sets *exponent when
// the text has an exponent and returns whether it reads back to x.
bool number_candidate(double x, int precision, char* buffer, size_t* length, bool* exponent);

// Executes the built-in library opcodes 128 to 1023.
int builtin_run(engine* e, unsigned opcode);

// The JSON built-ins (@jsonenc 180, @jsondec 181, @jsontest 203) live in
// the JSON library, which builds on the engine; it registers them here.
// Until it does, the three opcodes are unknown instructions. Each works on
// the stack like any built-in.
struct json_builtins {
  int (*encode)(engine* e) = nullptr;
  int (*decode)(engine* e) = nullptr;
  int (*test)(engine* e) = nullptr;
};
void set_json_builtins(const json_builtins& functions);

}  // namespace kiln::engine
