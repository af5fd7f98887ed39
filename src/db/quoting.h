// Quoted strings of the build database file.
//
// A string is written between double quotes, byte by byte: printable ASCII
// (32 to 126) other than the double quote, the apostrophe and the
// backslash as itself; those three as backslash + character; newline,
// carriage return and TAB as \n, \r and \t; every other byte as \x and two
// lower-case hexadecimal digits.
//
// The reader accepts more: \n, \r, \t; \uXXXX (exactly four hexadecimal
// digits, stored as UTF-8 in one to three bytes); \xXX (exactly two); and a
// backslash before any other character stands for that character.
#pragma once

#include <cstddef>
#include <string>

namespace kiln::db {

// Fills the byte-to-escape table. Called once at start-up, before the
// first write; calling it again is harmless.
void db_init_escapes();

// Appends the text in double quotes, escaped, to out.
void append_quoted(std::string& out, const char* text, size_t length);

// Result of read_quoted other than a success.
enum quoted_error : int {
  k_quoted_unterminated = -1,  // the line ended before the closing quote
  k_quoted_bad_u = -2,         // malformed \u escape; bad_escape holds it
  k_quoted_bad_x = -3,         // malformed \x escape; bad_escape holds it
};

// Reads a quoted string starting at line[pos] (which must be a double
// quote) and appends it to out. Returns the position just after
// the closing quote, or a quoted_error. For a malformed escape, bad_escape
// receives the characters that follow the "u" or "x" (at most four or two,
// not past the end of the line).
long read_quoted(const char* line, size_t length, size_t pos, std::string& out,
                 std::string& bad_escape);

// The end of the run of bytes from pos that a reader copies unchanged:
// the position of the first double quote, backslash or newline, or length.
size_t plain_run_end(const char* line, size_t length, size_t pos);

// Appends the UTF-8 form of a code point below 0x10000 (one to three
// bytes).
void append_utf8(std::string& out, unsigned code_point);

}  // namespace kiln::db
