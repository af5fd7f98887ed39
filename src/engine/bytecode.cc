#include "engine/bytecode.h"

#include <cstring>

#include "engine/opcode_table.h"

namespace kiln::engine {

size_t encode_opcode(unsigned opcode, uint8_t out[3]) {
  if (opcode < 0x80) {
    out[0] = static_cast<uint8_t>(opcode);
    return 1;
  }
  if (opcode < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (opcode >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (opcode & 0x3F));
    return 2;
  }
  out[0] = static_cast<uint8_t>(0xE0 | ((opcode >> 12) & 0x0F));
  out[1] = static_cast<uint8_t>(0x80 | ((opcode >> 6) & 0x3F));
  out[2] = static_cast<uint8_t>(0x80 | (opcode & 0x3F));
  return 3;
}

void emit_opcode(std::vector<uint8_t>& code, unsigned opcode) {
  uint8_t bytes[3];
  size_t n = encode_opcode(opcode, bytes);
  code.insert(code.end(), bytes, bytes + n);
}

void store_immediate(uint8_t* p, double x) {
  uint64_t bits;
  memcpy(&bits, &x, 8);
  for (int i = 7; i >= 0; i--) {
    p[i] = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
}


void emit_immediate(std::vector<uint8_t>& code, double x) {
  size_t at = code.size();
  code.resize(at + 8);
  store_immediate(code.data() + at, x);
}

int decode_opcode(const uint8_t* code, size_t available, unsigned* opcode, unsigned* illegal) {
  if (available < 1) return -1;
  unsigned lead = code[0];
  if (lead < 0x80) {
    *opcode = lead;
    return 1;
  }
  if (lead < 0xC0) {
    *illegal = 0x10000 + lead;
    return 0;
  }
  if (lead < 0xE0) {
    if (available < 2) return -1;
    if ((code[1] & 0xC0) != 0x80) {
      *illegal = 0x20000 + lead;
      return 0;
    }
    unsigned op = ((lead & 0x1F) << 6) | (code[1] & 0x3F);
    if (op < 0x80) {
      *illegal = 0x30000 + op;
      return 0;
    }
    *opcode = op;
    return 2;
  }
  if (lead < 0xF0) {
    if (available < 2) return -1;
    if ((code[1] & 0xC0) != 0x80) {
      *illegal = 0x40000 + code[1];
      return 0;
    }
    if (available < 3) return -1;
    if ((code[2] & 0xC0) != 0x80) {
      *illegal = 0x50000 + code[1];
      return 0;
    }
    unsigned op = ((lead & 0x0F) << 12) | ((code[1] & 0x3F) << 6) | (code[2] & 0x3F);
    if (op < 0x800) {
      *illegal = 0x60000 + op;
      return 0;
    }
    *opcode = op;
    return 3;
  }
  *illegal = 0x70000 + lead;
  return 0;
}

namespace {

// Each core opcode is given once, below the first extension block (the
// library's table checks its own range).
#define KILN_CORE_ROW(name, number, arity, keyword, handler, effect, text) {number, arity, nullptr, text},
constexpr opcode_row k_core_rows[] = {KILN_CORE_OPCODES(KILN_CORE_ROW)};
#undef KILN_CORE_ROW
static_assert(rows_fit<k_first_extension_opcode>(k_core_rows, 0),
              "a core opcode number is given twice or outside its range");

}  // namespace

const char* opcode_description(unsigned opcode) {
  const char* text = nullptr;
  switch (opcode) {
#define KILN_OPCODE_TEXT(name, number, arity, keyword, handler, effect, description) \
  case op_##name: text = description; break;
    KILN_CORE_OPCODES(KILN_OPCODE_TEXT)
    KILN_LIBRARY_OPCODES(KILN_OPCODE_TEXT)
#undef KILN_OPCODE_TEXT
  }
  return text ? text : "Unknown opcode";
}

}  // namespace kiln::engine
