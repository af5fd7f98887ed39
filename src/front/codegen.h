// Code generation helpers of the Kilnfile compiler: appending opcodes,
// immediates and constants to the engine's one byte-code buffer, forward
// jump placeholders, and the chain of local-variable tables of the
// function being compiled.
//
// Code is only appended; the one in-place change is the patching of a
// jump placeholder (the 8-byte immediate of an opcode 1 that precedes a
// 28 or 29). While emission is switched off (a top-level @if branch that
// is not taken) nothing reaches the buffer and no table is built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/bytecode.h"
#include "engine/engine.h"

namespace kiln::front {

// One table of the local-variable chain: the function's own table
// (parameters from slot 0, then two slots for the saved bp and ip, then
// the @locvar locals) or a loop/@once table whose slots continue after
// the enclosing table's last slot.
struct local_table {
  std::vector<std::string> names;  // in declaration order
  std::vector<int> slots;          // the slot of each name
  int end_slot = 0;                // the next slot this table hands out
  int n_state = 0;                 // state slots held on the stack (loops)
  bool is_loop = false;            // has break and continue targets
  int64_t break_target = -2;
  int64_t continue_target = -2;
};

// The byte-code emitter of one parse.
class codegen {
 public:
  explicit codegen(engine::engine* e) : e_(e) {}

  // When off, emit calls do nothing (untaken top-level @if branches).
  void set_enabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }
  engine::engine* eng() const { return e_; }

  // The current address: the byte-code buffer's length.
  int64_t here() const { return static_cast<int64_t>(e_->bytecode.length); }

  // Appends an opcode (1 to 3 bytes); -12 when the buffer cannot grow.
  int op(unsigned opcode);
  // Opcode 1 with an 8-byte immediate (addresses, slots, counts).
  int push_double(double x);
  // Opcode 9 with an 8-byte immediate (integral literals).
  int push_number(double x);
  // Opcode `opcode` followed by an immediate (63, 165).
  int op_imm(unsigned opcode, double x);
  // Interns bytes in the object cache and emits 1 <index> 37. Returns the
  // index, or a negative code.
  int64_t constant(const std::string& bytes);
  // A forward jump: 1 <placeholder> then `jump_opcode` (28 or 29).
  // Returns the placeholder's address (-1 when emission is off).
  int64_t placeholder(unsigned jump_opcode);
  // Writes target into the placeholder at `at` when it lies wholly inside
  // the buffer.
  void patch(int64_t at, int64_t target);

  // Local tables. open_function starts the chain with the parameters.
  // Each returns 0, -17 for a repeated name or -12.
  int open_function();
  int add_local(const std::string& name);
  // The function's table gets the gap of two slots for the saved bp/ip
  // after its parameters.
  void end_parameters();
  void close_function() { tables_.clear(); }
  bool in_function() const { return !tables_.empty(); }
  int n_params() const { return n_params_; }
  // Number of @locvar locals of the function.
  int n_locals() const;
  // Locals plus the state slots of every enclosing loop.
  int n_slots_in_use() const;
  // Opens a loop table with n_state slots (named or not).
  void open_loop(int n_state);
  void close_loop() { tables_.pop_back(); }
  local_table* innermost() { return tables_.empty() ? nullptr : &tables_.back(); }
  // The n-th enclosing loop (1 = innermost), or nullptr.
  local_table* loop(int n);
  // The slot of a local, parameter or loop variable; -2 when absent.
  int find_local(const std::string& name) const;

 private:
  engine::engine* e_;
  bool enabled_ = true;
  std::vector<local_table> tables_;  // outermost (the function's) first
  int n_params_ = 0;
  bool params_done_ = false;
};

}  // namespace kiln::front
