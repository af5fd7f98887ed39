// The Kilnfile lexer: turns the bytes of one Kilnfile into tokens.
//
// One lexer per Kilnfile being parsed; it keeps no global state. It is a
// longest-match scanner: at each point the longest matching token wins, and
// between equally long matches the earlier rule wins (keywords beat `@word`,
// numbers beat free-form words, punctuation `.` beats the free-form `.`).
//
// Start conditions:
//   normal      rule syntax and script code (the initial condition)
//   strict      normal without free-form words; entered by `@strict` for the
//               rest of the file (a switch, not a push)
//   shell_line  a tab-started recipe line: one shell_text token, then the
//               newline that ends the line pops the condition
//   lua_block   after `%lua{`: text up to `%}` is one lua_text token
//
// Position: the line starts at 1; the column starts at 0 on the first line
// and is 1 after any newline. Every token adds its length to the column
// before its action runs, so the column is the 1-based position just after
// the last token (one less on the first line).
//
// Input: the stream is read in blocks into a 16 KiB buffer; the buffer
// doubles whenever a single token does not fit, so tokens of any length
// work. Read errors other than EINTR, bad `\u`/`\x` escapes and internal
// failures print their message on standard error and exit with status 2.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "front/tokens.h"

namespace kiln::front {

// Bits of lexer_flags, shared with the parser.
// Set by the parser once a rule header has been read to its end of line;
// cleared when the rule's recipe ends. Tab-started lines are recipe lines
// only while it is set.
constexpr int k_in_recipe_context = 1;
// Set by a backslash-newline outside strings, cleared by every newline
// token. While set, a tab never starts a recipe line and a `#` comment in
// column 1 still ends the statement.
constexpr int k_line_continued = 2;
// The flags of a new lexer: the first line behaves as a continued line.
constexpr int k_initial_lexer_flags = k_line_continued;

// Size of the input buffer before any growth.
constexpr size_t k_input_buffer_size = 16384;

// The semantic value of a token. The parser owns it once next_token
// returns.
struct token_value {
  // string: the unescaped bytes (may hold NUL); freeform, at_word,
  // shell_text, lua_text: the text; varref: the name without `$` and
  // brackets. Empty for every other kind.
  std::string text;
  // number: the value as converted by atof.
  double number = 0;
  // number: true when the text holds none of `.`, `e`, `E`.
  bool is_integer = false;
};

class lexer {
 public:
  // A lexer reading `in` (not closed by the lexer) with the given
  // lexer_flags.
  explicit lexer(FILE* in, int flags = k_initial_lexer_flags);
  ~lexer();
  lexer(const lexer&) = delete;
  lexer& operator=(const lexer&) = delete;

  // Scans the next token, fills `out` and returns its kind; tok::end at the
  // end of input in every start condition.
  tok next_token(token_value& out);

  // Current line; 0 before the first token was asked for.
  int get_line() const { return buf_ ? line_ : 0; }
  // Current column; 0 before the first token was asked for.
  int get_column() const { return buf_ ? column_ : 0; }
  // The spaces that start the current line; 0 when it starts otherwise.
  int get_leading_spaces() const { return leading_spaces_; }
  // lexer_flags (k_in_recipe_context, k_line_continued).
  int get_flags() const { return flags_; }
  void set_flags(int flags) { flags_ = flags; }

  // True when every byte of the stream has been read and consumed.
  bool at_end() const { return eof_ && pos_ == lim_; }

 private:
  enum class start_cond : unsigned char { normal, strict, shell_line, lua_block };

  // Byte `i` past the current position, or -1 beyond the end of input.
  int peek(size_t i) {
    if (pos_ + i < lim_) return static_cast<unsigned char>(buf_[pos_ + i]);
    return peek_slow(i);
  }
  int peek_slow(size_t i);
  // Makes at least `n` bytes from the current position available; false
  // when the input ends first.
  bool fill(size_t n);
  void read_block();
  void create_buffer();
  // Consumes `n` bytes as one token: the column advances by `n`.
  void advance(size_t n) {
    pos_ += n;
    offset_ += n;
    column_ += static_cast<int>(n);
  }
  void count_newline() {
    ++line_;
    column_ = 1;
    leading_spaces_ = 0;
  }
  void push_cond(start_cond c);
  void pop_cond();
  std::string text_at(size_t n) const { return std::string(buf_ + pos_, n); }

  // One scanning step per start condition; tok::n_kinds means "no token,
  // scan on".
  tok scan_code(token_value& out, bool is_strict);
  tok scan_shell_line(token_value& out);
  tok scan_lua_block(token_value& out);

  tok scan_at(token_value& out);
  tok scan_varref(token_value& out);
  tok scan_string(token_value& out, int quote);
  tok scan_number_or_word(token_value& out, bool is_strict);
  tok scan_comment();
  tok scan_punctuation(int c);
  size_t word_length(size_t from);
  void unescape(size_t len, std::string& bytes);
  int hex_value(size_t i, int n_digits);
  [[noreturn]] void bad_escape(size_t after, char kind, int n_shown);

  FILE* in_;
  char* buf_ = nullptr;   // input buffer of cap_ bytes
  size_t cap_ = 0;
  size_t pos_ = 0;        // start of the next token
  size_t lim_ = 0;        // end of the bytes read so far
  size_t offset_ = 0;     // offset of pos_ in the whole input
  bool eof_ = false;      // the stream has no more bytes
  int line_ = 1;
  int column_ = 0;
  int leading_spaces_ = 0;
  int flags_;
  start_cond cond_ = start_cond::normal;
  // Saved start conditions; the capacity grows in steps of 25 entries.
  std::vector<start_cond> cond_stack_;
  // Where the last unterminated string of each quote kind ('"', '\'')
  // started and where its scan stopped (SIZE_MAX: at the end of input). A
  // quote of the same kind inside that span was escaped in it, so a string
  // starting there stops at the same place: it is rejected without a
  // rescan, which keeps runs of escaped quotes linear.
  size_t unterminated_from_[2] = {SIZE_MAX, SIZE_MAX};
  size_t unterminated_to_[2] = {0, 0};
  // Text of the Lua block being collected.
  std::string lua_text_;
};

}  // namespace kiln::front
