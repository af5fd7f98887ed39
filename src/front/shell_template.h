// An old-style recipe line as its pieces: literal text, or a variable's
// value shell-quoted (a list's elements quoted and joined with single
// spaces). The pieces give the line's command directly; the line's byte
// code, which yields the same text, is compiled from them only when a
// value needs the code run to tell (a missing variable, a value that is
// no string).
//
// A large tree has a distinct line per rule, so the pieces are packed in
// one graph-arena block: per piece a kind byte, its length (7 bits per
// byte, low bits first) and its bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace kiln::front {

struct shell_piece {
  std::string_view text;  // the literal, or the variable's name
  bool is_variable = false;
  bool is_list = false;
};

struct shell_template {
  const uint8_t* packed = nullptr;
  uint32_t size = 0;
  // The line's code, compiled the first time it must run; -1 until then.
  mutable int64_t address = -1;
};

// Appends one piece to a packed text being built.
void pack_shell_piece(std::string* packed, const shell_piece& piece);

// The packed text copied into the graph arena.
shell_template keep_shell_template(const std::string& packed);

// Reads the pieces of a template in order.
class shell_pieces {
 public:
  explicit shell_pieces(const shell_template& t) : at_(t.packed), end_(t.packed + t.size) {}
  // The next piece; false after the last.
  bool next(shell_piece* out);

 private:
  const uint8_t* at_;
  const uint8_t* end_;
};

// The address of the line's code: ["sh", "-c", text] with the text made
// of the literals and the quoted variable values. Compiled into the
// engine's byte code at the first call; a negative code when memory runs
// out.
int64_t shell_template_code(engine::engine* e, const shell_template& t);

}  // namespace kiln::front
