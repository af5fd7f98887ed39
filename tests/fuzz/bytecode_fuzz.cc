// Fuzz harness of the byte-code interpreter: the input is the engine's
// byte-code buffer and runs from address 0 on a fresh engine with the
// JSON built-ins, no build extension (its opcodes are unknown
// instructions), writing opens refused, an object byte limit and an
// instruction budget that ends endless loops. Whatever the code did, once
// the stack is emptied every reference count must be explained and every
// engine byte returned.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "engine/engine.h"
#include "fuzz/engine_teardown.h"
#include "fuzz/fuzz_common.h"
#include "json/reader.h"

namespace {

namespace eng = kiln::engine;

constexpr size_t k_max_input = 16384;
constexpr long k_instruction_budget = 10000;
constexpr size_t k_byte_limit = size_t{64} << 20;

// The trap hook: -4097 once the budget is spent.
int count_instruction(void* data, unsigned) {
  long* left = static_cast<long*>(data);
  return --*left < 0 ? -4097 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiln::json::register_builtins();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > k_max_input) return -1;
  eng::engine e;
  if (eng::engine_init(&e, 0) != 0) abort();
  e.no_side_effects = 1;
  e.alloc.byte_limit = k_byte_limit;
  long budget = k_instruction_budget;
  e.trap_hook = count_instruction;
  e.trap_data = &budget;
  if (eng::bytecode_append(&e, data, size) != 0) abort();
  eng::engine_run(&e, nullptr, 0);

  kiln::fuzz::free_engine_checked(&e);
  return 0;
}
