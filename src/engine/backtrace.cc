// Backtraces of failed runs: the names of the functions the failure
// happened in, found by scanning the code forward for function trailers.
#include "engine/bytecode.h"
#include "engine/engine.h"
#include "engine/interp_internal.h"

namespace kiln::engine {

namespace {

// The function an address belongs to: the name (object cache entry) of
// the first trailer after it, or nil at a header, the end of the code or
// an undecodable opcode.
value location_of(const engine* e, int64_t address) {
  for (;;) {
    size_t available = 0;
    const uint8_t* code = code_at(e, address, &available);
    if (!code) return make_nil();
    unsigned op = 0;
    unsigned illegal = 0;
    int n = decode_opcode(code, available, &op, &illegal);
    if (n <= 0 || op == op_function) return make_nil();
    if (op == op_trailer) {
      if (available < static_cast<size_t>(n) + 8) return make_nil();
      double index = load_immediate(code + n);
      // A NaN fails both comparisons, so the test is written as the range.
      if (!(index >= 0 && index < static_cast<double>(e->object_cache.length))) return make_nil();
      return e->object_cache.items[static_cast<size_t>(index)];
    }
    address += n;
    if (op == op_push_double || op == op_push_number) address += 8;
  }
}

void append(engine* e, value v) {
  if (e->backtrace.length >= k_backtrace_capacity) return;
  if (e->backtrace.length == e->backtrace.capacity) return;
  value_ref(v);
  e->backtrace.items[e->backtrace.length++] = v;
}

}  // namespace

void collect_backtrace(engine* e) {
  append(e, location_of(e, e->ip));
  for (size_t i = e->stack.length; i-- > 0;) {
    const value& v = e->stack.items[i];
    if (v.type == t_rg) break;
    if (v.type == t_ip) append(e, location_of(e, static_cast<int64_t>(v.num)));
  }
}

void backtrace_clear(engine* e) {
  while (e->backtrace.length > 0) {
    value v = e->backtrace.items[--e->backtrace.length];
    value_unref(e, v);
  }
}

}  // namespace kiln::engine
