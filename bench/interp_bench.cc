// Interpreter speed: a counted loop (load slot, add, store, compare,
// conditional jump) of ten million iterations, and a recursive fib(27) in
// byte code. Reports nanoseconds per instruction and per call, minimum and
// median of several runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/bytecode.h"
#include "engine/engine.h"

using namespace kiln::engine;

namespace {

struct code_builder {
  std::vector<uint8_t> code;
  int64_t origin;
  code_builder& op(unsigned o) {
    emit_opcode(code, o);
    return *this;
  }
  code_builder& num(double x) {
    op(op_push_number);
    emit_immediate(code, x);
    return *this;
  }
  code_builder& dbl(double x) {
    op(op_push_double);
    emit_immediate(code, x);
    return *this;
  }
  int64_t here() const { return origin + static_cast<int64_t>(code.size()); }
  size_t placeholder() {
    op(op_push_double);
    size_t at = code.size();
    emit_immediate(code, 0);
    return at;
  }
  void patch(size_t at, int64_t target) { store_immediate(code.data() + at, static_cast<double>(target)); }
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int run_at(engine* e, int64_t address) {
  std::vector<uint8_t> frag;
  emit_opcode(frag, op_push_double);
  emit_immediate(frag, static_cast<double>(address));
  emit_opcode(frag, op_jump);
  return engine_run(e, frag.data(), frag.size());
}

constexpr double k_iterations = 10000000;
constexpr int k_instructions_per_iteration = 12;

double counted_loop(engine* e) {
  code_builder b{{}, static_cast<int64_t>(e->bytecode.length)};
  int64_t start = b.here();
  b.num(0);  // slot 0: the counter
  int64_t loop = b.here();
  b.dbl(0).dbl(0).op(op_load_slot).num(1).op(op_add).op(op_store_slot);
  b.dbl(0).op(op_load_slot).num(k_iterations).op(op_ge).dbl(static_cast<double>(loop)).op(op_jump_false);
  bytecode_append(e, b.code.data(), b.code.size());
  auto t0 = std::chrono::steady_clock::now();
  if (run_at(e, start) != 0 || e->stack.items[0].num != k_iterations) {
    fprintf(stderr, "counted loop failed\n");
    exit(1);
  }
  double s = seconds_since(t0);
  pop_n(e, e->stack.length);
  return s;
}

double fib_calls(double n) { return n < 2 ? 1 : 1 + fib_calls(n - 1) + fib_calls(n - 2); }

double recursive_fib(engine* e, double n) {
  code_builder b{{}, static_cast<int64_t>(e->bytecode.length)};
  int64_t fib = b.here();
  b.op(op_function);
  emit_immediate(b.code, 1);
  b.dbl(0).op(op_load_slot).num(2).op(op_lt);
  size_t to_else = b.placeholder();
  b.op(op_jump_false);
  b.dbl(0).op(op_load_slot).num(1).num(0).op(op_return_counts);
  b.patch(to_else, b.here());
  b.dbl(static_cast<double>(fib)).op(op_make_fun).dbl(0).op(op_load_slot).num(1).op(op_sub).num(1).op(op_call);
  b.dbl(static_cast<double>(fib)).op(op_make_fun).dbl(0).op(op_load_slot).num(2).op(op_sub).num(1).op(op_call);
  b.op(op_add).num(1).num(0).op(op_return_counts);
  int64_t name = cache_add_string(e, "fib", 3);
  b.op(op_trailer);
  emit_immediate(b.code, static_cast<double>(name));
  int64_t entry = b.here();
  b.dbl(static_cast<double>(fib)).op(op_make_fun).num(n).num(1).op(op_call).dbl(-100).op(op_jump);
  bytecode_append(e, b.code.data(), b.code.size());
  auto t0 = std::chrono::steady_clock::now();
  if (run_at(e, entry) != 0) {
    fprintf(stderr, "fib failed: %s\n", error_message(e->err.code));
    exit(1);
  }
  double s = seconds_since(t0);
  pop_n(e, e->stack.length);
  return s;
}

void report(const char* what, std::vector<double> times, double units, const char* unit) {
  std::sort(times.begin(), times.end());
  printf("%-28s min %7.3f s  median %7.3f s  = %6.2f ns per %s (min)\n", what, times.front(),
         times[times.size() / 2], times.front() / units * 1e9, unit);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 5;
  std::vector<double> loop_times;
  std::vector<double> fib_times;
  for (int r = 0; r < rounds; r++) {
    engine e;
    engine_init(&e, 1);
    loop_times.push_back(counted_loop(&e));
    fib_times.push_back(recursive_fib(&e, 27));
    engine_free(&e);
  }
  report("counted loop (10M iter.)", loop_times, k_iterations * k_instructions_per_iteration,
         "instruction");
  report("recursive fib(27)", fib_times, fib_calls(27), "call");
  return 0;
}
