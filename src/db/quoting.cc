#include "db/quoting.h"

#include <cstdint>

namespace kiln::db {

namespace {

// The written form of one byte: one to four characters.
struct escape {
  char text[4];
  uint8_t length;
};

escape g_escapes[256];
bool g_plain[256];  // the byte is written as itself
bool g_escapes_ready = false;

// Bytes that end a plain run inside a quoted string being read.
struct stop_table {
  bool stop[256] = {};
  constexpr stop_table() {
    stop[static_cast<unsigned char>('"')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
    stop[static_cast<unsigned char>('\n')] = true;
  }
};
constexpr stop_table k_read_stops;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses exactly n hexadecimal digits at line[pos]; -1 when they are not
// all there.
long parse_hex(const char* line, size_t length, size_t pos, size_t n) {
  if (length - pos < n) return -1;
  long v = 0;
  for (size_t i = 0; i < n; i++) {
    int d = hex_value(line[pos + i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// The characters after a malformed \u or \x escape, for the message: at
// most n, stopping at the end of the line.
std::string offending(const char* line, size_t length, size_t pos, size_t n) {
  std::string s;
  for (size_t i = pos; i < length && i < pos + n && line[i] != '\n'; i++) s += line[i];
  return s;
}

}  // namespace

void db_init_escapes() {
  static const char hex[] = "0123456789abcdef";
  for (int c = 0; c < 256; c++) {
    escape& e = g_escapes[c];
    if (c == '"' || c == '\'' || c == '\\') {
      e = {{'\\', static_cast<char>(c)}, 2};
    } else if (c == '\n') {
      e = {{'\\', 'n'}, 2};
    } else if (c == '\r') {
      e = {{'\\', 'r'}, 2};
    } else if (c == '\t') {
      e = {{'\\', 't'}, 2};
    } else if (c >= 32 && c <= 126) {
      e = {{static_cast<char>(c)}, 1};
    } else {
      e = {{'\\', 'x', hex[c >> 4], hex[c & 15]}, 4};
    }
    g_plain[c] = e.length == 1;
  }
  g_escapes_ready = true;
}

void append_quoted(std::string& out, const char* text, size_t length) {
  if (!g_escapes_ready) db_init_escapes();
  out += '"';
  size_t i = 0;
  while (i < length) {
    // Copy a run of bytes that stand for themselves in one piece.
    size_t run = i;
    while (run < length && g_plain[static_cast<unsigned char>(text[run])]) run++;
    out.append(text + i, run - i);
    if (run == length) break;
    const escape& e = g_escapes[static_cast<unsigned char>(text[run])];
    out.append(e.text, e.length);
    i = run + 1;
  }
  out += '"';
}

void append_utf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t plain_run_end(const char* line, size_t length, size_t pos) {
  while (pos < length && !k_read_stops.stop[static_cast<unsigned char>(line[pos])]) pos++;
  return pos;
}

long read_quoted(const char* line, size_t length, size_t pos, std::string& out,
                 std::string& bad_escape) {
  pos++;  // the opening quote
  while (pos < length) {
    // Copy the plain run up to the next quote, backslash or line end.
    size_t run = plain_run_end(line, length, pos);
    out.append(line + pos, run - pos);
    pos = run;
    if (pos >= length || line[pos] == '\n') break;
    if (line[pos] == '"') return static_cast<long>(pos + 1);
    // A backslash escape.
    if (pos + 1 >= length) break;
    char c = line[pos + 1];
    pos += 2;
    switch (c) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        long v = parse_hex(line, length, pos, 4);
        if (v < 0) {
          bad_escape = offending(line, length, pos, 4);
          return k_quoted_bad_u;
        }
        append_utf8(out, static_cast<unsigned>(v));
        pos += 4;
        break;
      }
      case 'x': {
        long v = parse_hex(line, length, pos, 2);
        if (v < 0) {
          bad_escape = offending(line, length, pos, 2);
          return k_quoted_bad_x;
        }
        out += static_cast<char>(v);
        pos += 2;
        break;
      }
      default: out += c; break;
    }
  }
  return k_quoted_unterminated;
}

}  // namespace kiln::db
