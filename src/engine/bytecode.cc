#include "engine/bytecode.h"

#include <cstring>

namespace kiln::engine {

void emit_opcode(std::vector<uint8_t>& code, unsigned opcode) {
  if (opcode < 0x80) {
    code.push_back(static_cast<uint8_t>(opcode));
  } else if (opcode < 0x800) {
    code.push_back(static_cast<uint8_t>(0xC0 | (opcode >> 6)));
    code.push_back(static_cast<uint8_t>(0x80 | (opcode & 0x3F)));
  } else {
    code.push_back(static_cast<uint8_t>(0xE0 | ((opcode >> 12) & 0x0F)));
    code.push_back(static_cast<uint8_t>(0x80 | ((opcode >> 6) & 0x3F)));
    code.push_back(static_cast<uint8_t>(0x80 | (opcode & 0x3F)));
  }
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

struct description {
  uint16_t opcode;
  const char* text;
};

// Sorted by opcode.
constexpr description k_descriptions[] = {
    {7, "== operator"},
    {8, "== operator"},
    {11, "! operator"},
    {12, "& operator"},
    {13, "| operator"},
    {15, "~ operator"},
    {16, "< operator"},
    {17, "> operator"},
    {18, "<= operator"},
    {19, ">= operator"},
    {20, "<< operator"},
    {21, ">> operator"},
    {22, "+ operator"},
    {23, "binary - operator"},
    {24, "* operator"},
    {25, "/ operator"},
    {27, "unary - operator"},
    {30, "function call"},
    {40, "string character get, $str[@5]"},
    {41, "string length get, $str[@]"},
    {43, "packet buffer length set, $str{@} = 5"},
    {44, "dictionary set, $str{\"a\"} = @true"},
    {46, "array get, $ar[5]"},
    {47, "array get, $ar[5] = @true"},
    {48, "array length get, $ar[]"},
    {49, "dictionary delete, $str{\"a\"} = -"},
    {50, "dictionary get, $str{\"a\"}"},
    {52, "getting global variable"},
    {53, "setting global variable"},
    {55, "@type"},
    {56, "dictionary has query, $str{@?\"a\"}"},
    {57, "scope has query, @scope[$SC, @?\"foo\"]"},
    {58, "<> operator to call something that could be a function"},
    {59, "dictionary length get, $str{}"},
    {60, "protocol buffer get, $pb{@2,@be16}"},
    {61, "protocol buffer length, $pb{@}"},
    {62, "protocol buffer set, $pb{@2,@be16} = 5"},
    {128, "@strsub"},
    {129, "@strfromchr"},
    {130, "@strappend"},
    {131, "@strcmp"},
    {132, "@strlistjoin"},
    {133, "@strlower"},
    {134, "@strupper"},
    {135, "@strreverse"},
    {136, "@strstr"},
    {137, "@strgsub"},
    {138, "@strrep"},
    {139, "@strfmt"},
    {140, "@strset"},
    {141, "@strstrip"},
    {142, "@strword"},
    {143, "@strwordlist"},
    {144, "@strwordcnt"},
    {145, "@tostring"},
    {146, "@tonumber"},
    {147, "@abs"},
    {148, "@acos"},
    {149, "@asin"},
    {150, "@atan"},
    {151, "@ceil"},
    {152, "@floor"},
    {153, "@cos"},
    {154, "@sin"},
    {155, "@tan"},
    {156, "@exp"},
    {157, "@log"},
    {158, "@sqrt"},
    {159, "@exit"},
    {160, "@dump"},
    {161, "@dupnonrec"},
    {162, "@error"},
    {163, "@out"},
    {164, "dictionary iteration"},
    {166, "@splice"},
    {171, "@scopenew"},
    {172, "@fopen"},
    {173, "@fclose"},
    {174, "@fread"},
    {175, "@fseek"},
    {176, "@fflush"},
    {177, "@fwrite"},
    {179, "@fpclassify"},
    {180, "@jsonenc"},
    {181, "@jsondec"},
    {182, "creating new array"},
    {183, "creating new tree/dictionary"},
    {184, "embedding contents of a list into another list"},
    {185, "@pbnew"},
    {186, "@scopeparent"},
    {187, "accessing scope variable nonrecursively, @LPO/@LO/@DO/@DPO/@SCO($SCOPE)"},
    {188, "checking existence of a  scope variable nonrecursively"},
    {189, "@dynluacall/@lexluacall"},
    {190, "@round"},
    {191, "@trunc"},
    {192, "@getenv"},
    {193, "@chomp"},
    {194, "@pb2str"},
    {195, "@str2pb"},
    {196, "@fgetdelim"},
    {198, "@localtime"},
    {199, "@gmtime"},
    {200, "@mktime"},
    {201, "array deletion, $array[5]\xC2\xA0= -"},
    {202, "@insert"},
    {203, "@jsontest"},
};

}  // namespace

const char* opcode_description(unsigned opcode) {
  size_t lo = 0;
  size_t hi = sizeof k_descriptions / sizeof k_descriptions[0];
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (k_descriptions[mid].opcode < opcode) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo < sizeof k_descriptions / sizeof k_descriptions[0] && k_descriptions[lo].opcode == opcode) {
    return k_descriptions[lo].text;
  }
  return "Unknown opcode";
}

}  // namespace kiln::engine
