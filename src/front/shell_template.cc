#include "front/shell_template.h"

#include <cstring>

#include "base/result_codes.h"
#include "ext/opcodes.h"
#include "front/codegen.h"
#include "graph/arena.h"

namespace kiln::front {

namespace eng = kiln::engine;

namespace {

constexpr uint8_t k_literal = 0;
constexpr uint8_t k_variable = 1;
constexpr uint8_t k_list_variable = 2;

}  // namespace

void pack_shell_piece(std::string* packed, const shell_piece& piece) {
  packed->push_back(static_cast<char>(!piece.is_variable ? k_literal
                                      : piece.is_list    ? k_list_variable
                                                         : k_variable));
  size_t n = piece.text.size();
  do {
    uint8_t low = n & 0x7f;
    n >>= 7;
    packed->push_back(static_cast<char>(n ? low | 0x80 : low));
  } while (n);
  packed->append(piece.text);
}

shell_template keep_shell_template(const std::string& packed) {
  shell_template t;
  if (packed.empty()) return t;
  auto* bytes = static_cast<uint8_t*>(graph::my_malloc(packed.size(), 1));
  memcpy(bytes, packed.data(), packed.size());
  t.packed = bytes;
  t.size = static_cast<uint32_t>(packed.size());
  return t;
}

bool shell_pieces::next(shell_piece* out) {
  if (at_ >= end_) return false;
  uint8_t kind = *at_++;
  size_t n = 0;
  for (int shift = 0;; shift += 7) {
    uint8_t b = *at_++;
    n |= static_cast<size_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) break;
  }
  out->text = std::string_view(reinterpret_cast<const char*>(at_), n);
  out->is_variable = kind != k_literal;
  out->is_list = kind == k_list_variable;
  at_ += n;
  return true;
}

int64_t shell_template_code(eng::engine* e, const shell_template& t) {
  if (t.address >= 0) return t.address;
  codegen gen(e);
  int64_t address = gen.here();
  bool ok = true;
  auto op = [&](unsigned opcode) { ok = ok && gen.op(opcode) >= 0; };
  auto constant = [&](std::string_view text) { ok = ok && gen.constant(std::string(text)) >= 0; };
  op(eng::op_new_array);
  constant("sh");
  op(eng::op_array_append);
  constant("-c");
  op(eng::op_array_append);
  // The command text: the first piece as it is, each later one appended.
  bool has_piece = false;
  shell_pieces pieces(t);
  shell_piece p;
  while (pieces.next(&p)) {
    if (!p.is_variable) {
      constant(p.text);
    } else {
      if (p.is_list) constant(" ");
      op(eng::op_scope_current);
      constant(p.text);
      op(eng::op_scope_get);
      op(p.is_list ? unsigned{ext::op_shellescapemulti} : unsigned{ext::op_shellescape});
      if (p.is_list) op(eng::op_str_list_join);
    }
    if (has_piece) op(eng::op_str_append);
    has_piece = true;
  }
  if (!has_piece) constant("");
  op(eng::op_array_append);
  op(eng::op_exit);
  if (!ok) return base::rc_no_memory;
  t.address = address;
  return address;
}

}  // namespace kiln::front
