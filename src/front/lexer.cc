// The Kilnfile lexer, hand-written: each scan function matches the longest
// token that starts at the current position and applies the priorities of
// the token table (see lexer.h).
#include "front/lexer.h"

#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstring>

namespace kiln::front {

namespace {

// The longest keyword is shorter than this; longer `@` runs are never
// looked up as a whole.
constexpr size_t k_max_keyword_length = 32;

constexpr tok k_no_token = tok::n_kinds;

[[noreturn]] void scanner_fatal(const char* msg) {
  fflush(stdout);
  fprintf(stderr, "%s\n", msg);
  exit(2);
}

bool is_letter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_alnum(int c) { return is_letter(c) || is_digit(c); }
bool is_name_char(int c) { return is_alnum(c) || c == '_'; }
bool is_word_start(int c) { return is_name_char(c) || c == '.'; }
bool is_word_char(int c) { return is_word_start(c) || c == '/'; }

int hex_digit(int c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& s, unsigned cp) {
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

lexer::lexer(FILE* in, int flags) : in_(in), flags_(flags) {}

lexer::~lexer() { free(buf_); }

// ---- input buffer -------------------------------------------------------

void lexer::create_buffer() {
  buf_ = static_cast<char*>(malloc(k_input_buffer_size));
  if (!buf_) scanner_fatal("out of dynamic memory in yy_create_buffer()");
  cap_ = k_input_buffer_size;
}

// Reads one block into the free tail of the buffer. A read interrupted by
// a signal is retried; any other error is fatal.
void lexer::read_block() {
  for (;;) {
    size_t got = fread(buf_ + lim_, 1, cap_ - lim_, in_);
    if (got > 0) {
      lim_ += got;
      return;
    }
    if (!ferror(in_)) {
      eof_ = true;
      return;
    }
    if (errno != EINTR) scanner_fatal("input in flex scanner failed");
    errno = 0;
    clearerr(in_);
  }
}

// When the buffer is full, the unconsumed bytes slide to its front; when
// they fill the whole buffer (one token longer than it), it doubles.
bool lexer::fill(size_t n) {
  while (lim_ - pos_ < n) {
    if (eof_) return false;
    if (lim_ == cap_) {
      if (pos_ > 0) {
        memmove(buf_, buf_ + pos_, lim_ - pos_);
        lim_ -= pos_;
        pos_ = 0;
      } else {
        if (cap_ > SIZE_MAX / 2)
          scanner_fatal("fatal error - scanner input buffer overflow");
        char* grown = static_cast<char*>(realloc(buf_, cap_ * 2));
        if (!grown) scanner_fatal("out of dynamic memory in yy_get_next_buffer()");
        buf_ = grown;
        cap_ *= 2;
      }
    }
    read_block();
  }
  return true;
}

int lexer::peek_slow(size_t i) {
  if (!fill(i + 1)) return -1;
  return static_cast<unsigned char>(buf_[pos_ + i]);
}

// ---- start conditions ---------------------------------------------------

void lexer::push_cond(start_cond c) {
  if (cond_stack_.size() == cond_stack_.capacity())
    cond_stack_.reserve(cond_stack_.capacity() + 25);
  cond_stack_.push_back(cond_);
  cond_ = c;
}

void lexer::pop_cond() {
  if (cond_stack_.empty()) scanner_fatal("start-condition stack underflow");
  cond_ = cond_stack_.back();
  cond_stack_.pop_back();
}

// ---- the scanner --------------------------------------------------------

tok lexer::next_token(token_value& out) {
  if (!buf_) create_buffer();
  out.text.clear();
  out.number = 0;
  out.is_integer = false;
  for (;;) {
    tok t;
    switch (cond_) {
      case start_cond::normal: t = scan_code(out, false); break;
      case start_cond::strict: t = scan_code(out, true); break;
      case start_cond::shell_line: t = scan_shell_line(out); break;
      case start_cond::lua_block: t = scan_lua_block(out); break;
      default: scanner_fatal("fatal flex scanner internal error--no action found");
    }
    if (t != k_no_token) return t;
  }
}

tok lexer::scan_code(token_value& out, bool is_strict) {
  int c = peek(0);
  switch (c) {
    case -1:
      return tok::end;
    case ' ':
      if (column_ == leading_spaces_ + 1) ++leading_spaces_;
      advance(1);
      return k_no_token;
    case '\t':
      advance(1);
      if (column_ == 2 && (flags_ & k_in_recipe_context) && !(flags_ & k_line_continued))
        push_cond(start_cond::shell_line);
      return k_no_token;
    case '\n':
      advance(1);
      count_newline();
      flags_ &= ~k_line_continued;
      return tok::newline;
    case '\\':
      if (peek(1) != '\n') break;
      advance(2);
      count_newline();
      flags_ |= k_line_continued;
      return k_no_token;
    case '#':
      return scan_comment();
    case '%':
      if (peek(1) == 'l' && peek(2) == 'u' && peek(3) == 'a' && peek(4) == '{') {
        advance(5);
        lua_text_.clear();
        push_cond(start_cond::lua_block);
        return k_no_token;
      }
      break;
    case '@':
      return scan_at(out);
    case '$':
      return scan_varref(out);
    case '"':
    case '\'':
      return scan_string(out, c);
    default:
      if (is_word_start(c)) return scan_number_or_word(out, is_strict);
      break;
  }
  return scan_punctuation(c);
}

// Punctuation, longest spelling first; any other byte is an invalid
// character.
tok lexer::scan_punctuation(int c) {
  int c1 = peek(1);
  tok t = tok::invalid;
  size_t n = 1;
  auto two = [&](int second, tok pair, tok single) {
    if (c1 == second) {
      n = 2;
      t = pair;
    } else {
      t = single;
    }
  };
  switch (c) {
    case ':': t = tok::colon; break;
    case ',': t = tok::comma; break;
    case '(': t = tok::lparen; break;
    case ')': t = tok::rparen; break;
    case '[': t = tok::lbracket; break;
    case ']': t = tok::rbracket; break;
    case '{': t = tok::lbrace; break;
    case '}': t = tok::rbrace; break;
    case '/': t = tok::slash; break;
    case '*': t = tok::star; break;
    case '-': t = tok::minus; break;
    case '~': t = tok::tilde; break;
    case '^': t = tok::caret; break;
    case '%': t = tok::percent; break;
    case '.': t = tok::dot; break;
    case '=': two('=', tok::equal_equal, tok::assign); break;
    case '&': two('&', tok::and_and, tok::amp); break;
    case '|': two('|', tok::or_or, tok::pipe); break;
    case '!': two('=', tok::not_equal, tok::bang); break;
    case '+': two('=', tok::plus_assign, tok::plus); break;
    case '?': two('=', tok::default_assign, tok::invalid); break;
    case '`':
      if (c1 == '=') {
        n = 2;
        t = tok::shell_assign;
      } else if (c1 == '`' && peek(2) == '=') {
        n = 3;
        t = tok::shell_assign_split;
      }
      break;
    case '<':
      if (c1 == '<') n = 2, t = tok::shift_left;
      else if (c1 == '=') n = 2, t = tok::less_equal;
      else if (c1 == '>') n = 2, t = tok::call_if_fun;
      else t = tok::less;
      break;
    case '>':
      if (c1 == '>') n = 2, t = tok::shift_right;
      else if (c1 == '=') n = 2, t = tok::greater_equal;
      else t = tok::greater;
      break;
    default:
      break;
  }
  advance(n);
  return t;
}

// `#` to the end of the line. A comment that starts in column 1 of a line
// that does not continue another vanishes with its newline; any other one
// ends the statement like a newline. A comment that the end of input cuts
// off is ignored.
tok lexer::scan_comment() {
  size_t n = 1;
  for (;;) {
    int c = peek(n);
    if (c < 0) {
      advance(n);
      return k_no_token;
    }
    ++n;
    if (c == '\n') break;
  }
  advance(n);
  bool is_whole_line =
      column_ == static_cast<int>(n) + 1 && !(flags_ & k_line_continued);
  count_newline();
  if (is_whole_line) return k_no_token;
  flags_ &= ~k_line_continued;
  return tok::newline;
}

// Length of the run of [A-Za-z0-9_./] starting at offset `from`.
size_t lexer::word_length(size_t from) {
  size_t n = from;
  while (is_word_char(peek(n))) ++n;
  return n;
}

// A number (digits[.digits][(e|E)[+|-]digits]) against a free-form word
// ([A-Za-z0-9_.][A-Za-z0-9_./]*): the longer wins, the number on a tie, and
// the punctuation `.` beats a one-byte word ".". Strict mode has no words.
tok lexer::scan_number_or_word(token_value& out, bool is_strict) {
  size_t num = 0;
  while (is_digit(peek(num))) ++num;
  if (num > 0) {
    if (peek(num) == '.' && is_digit(peek(num + 1))) {
      num += 2;
      while (is_digit(peek(num))) ++num;
    }
    int e = peek(num);
    if (e == 'e' || e == 'E') {
      size_t j = num + 1;
      if (peek(j) == '+' || peek(j) == '-') ++j;
      if (is_digit(peek(j))) {
        num = j + 1;
        while (is_digit(peek(num))) ++num;
      }
    }
  }
  size_t word = is_strict ? 0 : word_length(1);
  if (num == 0 && word <= 1 && (is_strict || peek(0) == '.'))
    return scan_punctuation(peek(0));
  if (word > num) {
    out.text = text_at(word);
    advance(word);
    return tok::freeform;
  }
  char small[64];
  std::string large;
  const char* text = small;
  if (num < sizeof small) {
    memcpy(small, buf_ + pos_, num);
    small[num] = '\0';
  } else {
    large = text_at(num);
    text = large.c_str();
  }
  out.number = strtod(text, nullptr);
  out.is_integer = memchr(text, '.', num) == nullptr &&
                   memchr(text, 'e', num) == nullptr &&
                   memchr(text, 'E', num) == nullptr;
  advance(num);
  return tok::number;
}

// `@` forms: `@` tab and `@@` tab (recipe lines in column 1 of a recipe),
// keywords (including `@strict`, which only switches to strict mode),
// `@word`, and the lone `@`.
tok lexer::scan_at(token_value& out) {
  int c1 = peek(1);
  bool is_recipe_start =
      (flags_ & k_in_recipe_context) && !(flags_ & k_line_continued);
  if (c1 == '\t') {
    advance(2);
    return column_ == 3 && is_recipe_start ? tok::recipe_expr : tok::at;
  }
  if (c1 == '@' && peek(2) == '\t') {
    advance(3);
    return column_ == 4 && is_recipe_start ? tok::recipe_expr_list : tok::invalid;
  }
  if (c1 == '?') {
    advance(2);
    return tok::kw_exists;
  }
  // The `@word` match and the longest keyword that is a prefix of the
  // `@` run; a keyword wins unless the `@word` is longer.
  size_t word = 0;
  if (is_letter(c1)) {
    word = 2;
    while (is_alnum(peek(word))) ++word;
  }
  size_t run = 1;
  while (run < k_max_keyword_length && is_name_char(peek(run))) ++run;
  for (size_t len = run; len >= 2 && len >= word; --len) {
    std::string_view candidate(buf_ + pos_, len);
    if (candidate == "@strict") {
      advance(len);
      cond_ = start_cond::strict;
      return k_no_token;
    }
    tok kw = keyword_kind(candidate);
    if (kw != tok::end) {
      advance(len);
      return kw;
    }
  }
  if (word >= 2) {
    out.text = text_at(word);
    advance(word);
    return tok::at_word;
  }
  advance(1);
  return tok::at;
}

// $^ $+ $| $< $@ $*, $NAME, $(NAME), ${NAME}; a `$` that starts none of
// them is an invalid character.
tok lexer::scan_varref(token_value& out) {
  int c1 = peek(1);
  if (c1 == '^' || c1 == '+' || c1 == '|' || c1 == '<' || c1 == '@' || c1 == '*') {
    out.text.assign(1, static_cast<char>(c1));
    advance(2);
    return tok::varref;
  }
  if (is_name_char(c1)) {
    size_t n = 2;
    while (is_name_char(peek(n))) ++n;
    out.text.assign(buf_ + pos_ + 1, n - 1);
    advance(n);
    return tok::varref;
  }
  if (c1 == '(' || c1 == '{') {
    int close = c1 == '(' ? ')' : '}';
    size_t n = 2;
    while (is_name_char(peek(n))) ++n;
    if (n > 2 && peek(n) == close) {
      out.text.assign(buf_ + pos_ + 2, n - 2);
      advance(n + 1);
      return tok::varref;
    }
  }
  advance(1);
  return tok::invalid;
}

// A quoted string: any bytes but the backslash and the quote, or a
// backslash and any byte but a newline, up to the closing quote. Without
// its closing quote the quote is an invalid character. Newlines inside the
// string advance the line counter.
tok lexer::scan_string(token_value& out, int quote) {
  const int kind = quote == '"' ? 0 : 1;
  if (offset_ > unterminated_from_[kind] && offset_ < unterminated_to_[kind]) {
    advance(1);
    return tok::invalid;
  }
  auto unterminated = [&](size_t stop) {
    unterminated_from_[kind] = offset_;
    unterminated_to_[kind] = stop;
    advance(1);
    return tok::invalid;
  };
  size_t n = 1;
  int n_newlines = 0;
  size_t last_newline = 0;
  for (;;) {
    int c = peek(n);
    if (c < 0) return unterminated(SIZE_MAX);
    if (c == quote) break;
    if (c == '\\') {
      int c2 = peek(n + 1);
      if (c2 < 0) return unterminated(SIZE_MAX);
      if (c2 == '\n') return unterminated(offset_ + n);
      n += 2;
      continue;
    }
    if (c == '\n') {
      ++n_newlines;
      last_newline = n;
    }
    ++n;
  }
  ++n;
  unescape(n, out.text);
  advance(n);
  if (n_newlines > 0) {
    line_ += n_newlines;
    column_ = 1 + static_cast<int>(n - last_newline - 1);
    leading_spaces_ = 0;
  }
  return tok::string;
}

// Value of the `n_digits` hex digits at offset `i`, or -1.
int lexer::hex_value(size_t i, int n_digits) {
  int v = 0;
  for (int k = 0; k < n_digits; ++k) {
    int d = hex_digit(peek(i + k));
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// Prints the bad escape with the bytes that followed it (as far as the
// input goes) and exits.
void lexer::bad_escape(size_t after, char kind, int n_shown) {
  char shown[8] = {};
  for (int k = 0; k < n_shown; ++k) {
    int c = peek(after + k);
    if (c < 0) break;
    shown[k] = static_cast<char>(c);
  }
  fflush(stdout);
  fprintf(stderr, "Invalid string unicode escape: \\%c%s\n", kind, shown);
  exit(2);
}

// Unescapes the string token of `len` bytes (quotes included) into
// `bytes`: \n \r \t, \uXXXX as UTF-8, \xXX as one byte, and any other
// escaped byte as itself.
void lexer::unescape(size_t len, std::string& bytes) {
  bytes.clear();
  bytes.reserve(len);
  const size_t end = len - 1;
  size_t i = 1;
  while (i < end) {
    size_t run = i;
    while (run < end && buf_[pos_ + run] != '\\') ++run;
    bytes.append(buf_ + pos_ + i, run - i);
    i = run;
    if (i >= end) break;
    char e = buf_[pos_ + i + 1];
    i += 2;
    switch (e) {
      case 'n': bytes.push_back('\n'); break;
      case 'r': bytes.push_back('\r'); break;
      case 't': bytes.push_back('\t'); break;
      case 'u': {
        int cp = hex_value(i, 4);
        if (cp < 0) bad_escape(i, 'u', 4);
        append_utf8(bytes, static_cast<unsigned>(cp));
        i += 4;
        break;
      }
      case 'x': {
        int b = hex_value(i, 2);
        if (b < 0) bad_escape(i, 'x', 2);
        bytes.push_back(static_cast<char>(b));
        i += 2;
        break;
      }
      default: bytes.push_back(e); break;
    }
  }
}

// A tab-started recipe line: the text up to the newline, backslash-newline
// pairs included, is one token; the newline itself ends the condition.
tok lexer::scan_shell_line(token_value& out) {
  size_t n = 0;
  int n_newlines = 0;
  size_t after_last_newline = 0;
  for (;;) {
    int c = peek(n);
    if (c < 0 || c == '\n') break;
    if (c == '\\') {
      int c2 = peek(n + 1);
      if (c2 < 0) {
        ++n;
        break;
      }
      n += 2;
      if (c2 == '\n') {
        ++n_newlines;
        after_last_newline = n;
      }
      continue;
    }
    ++n;
  }
  if (n > 0) {
    out.text = text_at(n);
    advance(n);
    if (n_newlines > 0) {
      line_ += n_newlines;
      column_ = 2 + static_cast<int>(n - after_last_newline);
      leading_spaces_ = 0;
    }
    return tok::shell_text;
  }
  if (peek(0) < 0) return tok::end;
  advance(1);
  count_newline();
  pop_cond();
  flags_ &= ~k_line_continued;
  return tok::newline;
}

// Inside `%lua{`: everything up to `%}` is collected verbatim.
tok lexer::scan_lua_block(token_value& out) {
  int c = peek(0);
  if (c < 0) return tok::end;
  if (c == '%' && peek(1) == '}') {
    advance(2);
    pop_cond();
    out.text.swap(lua_text_);
    lua_text_.clear();
    return tok::lua_text;
  }
  if (c == '\n') {
    lua_text_.push_back('\n');
    advance(1);
    count_newline();
    return k_no_token;
  }
  size_t n = 1;
  for (;;) {
    int d = peek(n);
    if (d < 0 || d == '\n' || d == '%') break;
    ++n;
  }
  lua_text_.append(buf_ + pos_, n);
  advance(n);
  return k_no_token;
}

}  // namespace kiln::front
