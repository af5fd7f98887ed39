#include "ext/shell_quote.h"

namespace kiln::ext {

namespace {

// Bytes the shell treats specially: 32-42, 59-63, 91-94, 96, 123-126.
bool needs_backslash(unsigned char c) {
  return (c >= 32 && c <= 42) || (c >= 59 && c <= 63) || (c >= 91 && c <= 94) || c == 96 ||
         (c >= 123 && c <= 126);
}

}  // namespace

void shell_escape_append(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    if (c == '\t' || c == '\n') {
      out += '"';
      out += static_cast<char>(c);
      out += '"';
    } else {
      if (needs_backslash(c)) out += '\\';
      out += static_cast<char>(c);
    }
  }
}

std::string shell_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  shell_escape_append(out, text);
  return out;
}

}  // namespace kiln::ext
