// A small byte-code assembler for tests: builds code with labels and
// forward jumps, appends it to an engine's buffer or runs it as a
// temporary fragment.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/bytecode.h"
#include "engine/engine.h"

namespace kiln::engine::testing {

class assembler {
 public:
  // The address the code will start at once appended to the buffer.
  explicit assembler(int64_t origin = 0) : origin_(origin) {}

  assembler& op(unsigned opcode) {
    emit_opcode(code_, opcode);
    return *this;
  }
  // Opcode 9: a classified number.
  assembler& num(double x) {
    op(op_push_number);
    emit_immediate(code_, x);
    return *this;
  }
  // Opcode 1: a double, unclassified (addresses, slot numbers, counts).
  assembler& dbl(double x) {
    op(op_push_double);
    emit_immediate(code_, x);
    return *this;
  }
  assembler& header(int argc) {
    op(op_function);
    emit_immediate(code_, argc);
    return *this;
  }
  assembler& trailer(int64_t name_index) {
    op(op_trailer);
    emit_immediate(code_, static_cast<double>(name_index));
    return *this;
  }
  // Pushes the address of a label (resolved by finish()).
  assembler& addr(const std::string& label) {
    op(op_push_double);
    fixups_.push_back({code_.size(), label});
    emit_immediate(code_, 0);
    return *this;
  }
  assembler& label(const std::string& name) {
    labels_[name] = here();
    return *this;
  }
  int64_t here() const { return origin_ + static_cast<int64_t>(code_.size()); }
  int64_t at(const std::string& name) const { return labels_.at(name); }

  // Resolves the label fixups and returns the bytes.
  const std::vector<uint8_t>& finish() {
    for (const auto& f : fixups_) {
      store_immediate(code_.data() + f.first, static_cast<double>(labels_.at(f.second)));
    }
    fixups_.clear();
    return code_;
  }

  // Appends to the engine's byte-code buffer (origin must be its length).
  void append_to(engine* e) {
    finish();
    bytecode_append(e, code_.data(), code_.size());
  }

  // Runs the code as a temporary fragment (origin must be the fragment
  // start, -100 - size: use fragment_origin once the size is known, or
  // only relative jumps via labels of appended code).
  int run_fragment(engine* e) {
    finish();
    return engine_run(e, code_.data(), code_.size());
  }

 private:
  int64_t origin_;
  std::vector<uint8_t> code_;
  std::map<std::string, int64_t> labels_;
  std::vector<std::pair<size_t, std::string>> fixups_;
};

// A fragment that jumps to an address of the byte-code buffer.
inline int run_at(engine* e, int64_t address) {
  assembler a(-100 - 10);
  a.dbl(static_cast<double>(address)).op(op_jump);
  return a.run_fragment(e);
}

}  // namespace kiln::engine::testing
