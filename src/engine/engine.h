// cinder, kiln's script engine: the value type, the heap objects, the
// engine record and its hooks.
//
// This is the engine's chief header. Everything that runs script code or
// handles script values includes it. Its parts live in their own headers,
// included here: the value type (engine/value.h), the heap objects
// (engine/objects.h), memory, references and constructors (engine/gc.h),
// and trees and scopes (engine/scope.h). The engine knows nothing of builds;
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

#include "engine/error_codes.h"
#include "engine/gc.h"
#include "engine/objects.h"
#include "engine/scope.h"
#include "engine/value.h"

namespace kiln::engine {


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
// String cache and hash

// The 64-bit multiply-fold string hash.
uint64_t string_hash(const void* bytes, size_t length);

// Interns bytes: the object cache index of the one string with these
// bytes; -84 when the cache cannot grow, -12 on memory exhaustion.
int64_t cache_add_string(engine* e, const char* bytes, size_t length);

// Appends a value to the object cache (taking a reference); its index.
int64_t cache_add_value(engine* e, value v);

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
