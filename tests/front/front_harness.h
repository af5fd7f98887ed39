// Test harness of the Kilnfile reader: parses a Kilnfile held in a string
// with a fresh engine and captures what it prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "front/parser.h"

namespace kiln::front::testing {

struct parse_result {
  int rc = 0;
  std::string out;  // standard output during the parse
  std::string err;  // standard error during the parse
};

// One engine per fixture instance; each parse runs in its root scope.
class kilnfile_runner {
 public:
  kilnfile_runner();
  ~kilnfile_runner();
  kilnfile_runner(const kilnfile_runner&) = delete;
  kilnfile_runner& operator=(const kilnfile_runner&) = delete;

  // Parses text as the top-level Kilnfile "Kilnfile".
  parse_result parse(const std::string& text);
  // The same with a custom context (file name, prefixes, declaration).
  parse_result parse(const std::string& text, parse_context& ctx);

  engine::engine* eng() { return &e_; }
  rule_list& rules() { return rules_; }
  // The value bound to name in the root scope (nil when absent).
  engine::value var(const char* name);
  // The byte code from `from` to the end of the buffer.
  std::vector<uint8_t> code_from(size_t from) const;

 private:
  engine::engine e_;
  rule_list rules_;
};

// Runs fn(data) with standard output and standard error captured.
parse_result capture_calls(int (*fn)(void*), void* data);

// The byte code of a little assembler program: the helpers mirror the
// compiler's own sequences.
struct code {
  std::vector<uint8_t> bytes;
  code& op(unsigned opcode);
  code& d(double x);  // opcode 1 with x
  code& n(double x);  // opcode 9 with x
  code& imm(unsigned opcode, double x);
};

}  // namespace kiln::front::testing
