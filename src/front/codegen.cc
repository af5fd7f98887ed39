#include "front/codegen.h"

#include <cstring>

#include "base/result_codes.h"

namespace kiln::front {

namespace eng = kiln::engine;

int codegen::op(unsigned opcode) {
  if (!enabled_) return 0;
  uint8_t bytes[3];
  size_t n = eng::encode_opcode(opcode, bytes);
  return eng::bytecode_append(e_, bytes, n);
}

int codegen::op_imm(unsigned opcode, double x) {
  if (!enabled_) return 0;
  uint8_t bytes[11];
  size_t n = eng::encode_opcode(opcode, bytes);
  eng::store_immediate(bytes + n, x);
  return eng::bytecode_append(e_, bytes, n + 8);
}

int codegen::push_double(double x) { return op_imm(eng::op_push_double, x); }

int codegen::push_number(double x) { return op_imm(eng::op_push_number, x); }

int64_t codegen::constant(const std::string& bytes) {
  if (!enabled_) return 0;
  int64_t index = eng::cache_add_string(e_, bytes.data(), bytes.size());
  if (index < 0) return index;
  int rc = push_double(static_cast<double>(index));
  if (rc == 0) rc = op(eng::op_cache_get);
  return rc < 0 ? rc : index;
}

int64_t codegen::placeholder(unsigned jump_opcode) {
  if (!enabled_) return -1;
  int64_t at = here() + 1;
  if (push_double(0) < 0 || op(jump_opcode) < 0) return base::rc_no_memory;
  return at;
}

void codegen::patch(int64_t at, int64_t target) {
  if (!enabled_ || at < 0) return;
  if (static_cast<uint64_t>(at) + 8 > e_->bytecode.length) return;
  eng::store_immediate(e_->bytecode.bytes + at, static_cast<double>(target));
}

int codegen::open_function() {
  tables_.clear();
  tables_.emplace_back();
  n_params_ = 0;
  params_done_ = false;
  return 0;
}

int codegen::add_local(const std::string& name) {
  if (!enabled_ || tables_.empty()) return 0;
  local_table& t = tables_.back();
  for (const std::string& n : t.names) {
    if (n == name) return base::rc_exists;
  }
  t.names.push_back(name);
  t.slots.push_back(t.end_slot++);
  if (tables_.size() == 1 && !params_done_) n_params_++;
  return 0;
}

void codegen::end_parameters() {
  params_done_ = true;
  if (!tables_.empty()) tables_.front().end_slot += 2;  // saved bp and ip
}

int codegen::n_locals() const {
  if (tables_.empty()) return 0;
  return static_cast<int>(tables_.front().names.size()) - n_params_;
}

int codegen::n_slots_in_use() const {
  int n = n_locals();
  for (size_t i = 1; i < tables_.size(); i++) n += tables_[i].n_state;
  return n;
}

void codegen::open_loop(int n_state) {
  local_table t;
  t.is_loop = true;
  t.n_state = n_state;
  t.end_slot = tables_.empty() ? 0 : tables_.back().end_slot + n_state;
  tables_.push_back(std::move(t));
}

local_table* codegen::loop(int n) {
  for (size_t i = tables_.size(); i-- > 0;) {
    if (tables_[i].is_loop && --n == 0) return &tables_[i];
  }
  return nullptr;
}

int codegen::find_local(const std::string& name) const {
  for (size_t i = tables_.size(); i-- > 0;) {
    const local_table& t = tables_[i];
    for (size_t j = 0; j < t.names.size(); j++) {
      if (t.names[j] == name) return t.slots[j];
    }
  }
  return base::rc_not_found;
}

}  // namespace kiln::front
