#include "json/reader.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/result_codes.h"
#include "json/writer.h"

namespace kiln::json {

using namespace kiln::engine;

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string* out, unsigned cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The length of the JSON number at the start of [p, end), or 0 when the
// text there is none: an optional minus, 0 or digits not starting with 0,
// then optionally "." and digits, then optionally "e" or "E", a sign and
// digits.
size_t number_length(const char* p, const char* end) {
  const char* q = p;
  if (q < end && *q == '-') q++;
  if (q == end || !is_digit(*q)) return 0;
  if (*q == '0') {
    q++;
  } else {
    while (q < end && is_digit(*q)) q++;
  }
  if (q < end && *q == '.') {
    const char* digits = ++q;
    while (q < end && is_digit(*q)) q++;
    if (q == digits) return 0;
  }
  if (q < end && (*q == 'e' || *q == 'E')) {
    q++;
    if (q < end && (*q == '+' || *q == '-')) q++;
    const char* digits = q;
    while (q < end && is_digit(*q)) q++;
    if (q == digits) return 0;
  }
  return static_cast<size_t>(q - p);
}

}  // namespace

void json_pull::skip_blanks() {
  while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) p_++;
}

int json_pull::read_string(std::string* out) {
  out->clear();
  p_++;  // the opening quote
  while (p_ < end_) {
    char c = *p_++;
    if (c == '"') return 0;
    if (static_cast<unsigned char>(c) < 0x20) return -1;  // raw control bytes must be escaped
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (p_ >= end_) return -1;
    char esc = *p_++;
    switch (esc) {
      case '"': *out += '"'; break;
      case '/': *out += '/'; break;
      case '\\': *out += '\\'; break;
      case 'b': *out += '\b'; break;
      case 'f': *out += '\f'; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case 'u': {
        if (end_ - p_ < 4) return -1;
        unsigned cp = 0;
        for (int i = 0; i < 4; i++) {
          int d = hex_digit(p_[i]);
          if (d < 0) return -1;
          cp = cp * 16 + static_cast<unsigned>(d);
        }
        p_ += 4;
        append_utf8(out, cp);
        break;
      }
      default: return -1;
    }
  }
  return -1;  // the text ended inside the string
}

// A value starts at p_; fills the event (containers open here).
int json_pull::read_value(json_event* ev) {
  ev->has_key = has_key_;
  if (has_key_) ev->key = pending_key_;
  has_key_ = false;
  char c = *p_;
  if (c == '{' || c == '[') {
    p_++;
    open_.push_back(c);
    ev->kind = c == '{' ? ev_object_start : ev_array_start;
    state_ = c == '{' ? key_or_close : value_or_close;
    return 1;
  }
  if (c == '"') {
    if (read_string(&ev->text) < 0) return -1;
    ev->kind = ev_string;
    return after_value();
  }
  if (c == 't' || c == 'f' || c == 'n') {
    const char* word = c == 't' ? "true" : c == 'f' ? "false" : "null";
    size_t n = strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || memcmp(p_, word, n) != 0) return -1;
    p_ += n;
    ev->kind = c == 'n' ? ev_null : ev_boolean;
    ev->boolean = c == 't';
    return after_value();
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    const char* start = p_;
    bool integer = true;
    while (p_ < end_ && (strchr("+-0123456789.eE", *p_) != nullptr)) {
      if (*p_ == '.' || *p_ == 'e' || *p_ == 'E') integer = false;
      p_++;
    }
    // The characters that may continue a number must form exactly one.
    if (number_length(start, p_) != static_cast<size_t>(p_ - start)) return -1;
    std::string digits(start, p_);
    double x = strtod(digits.c_str(), nullptr);
    ev->kind = ev_number;
    ev->number = x;
    ev->is_integer = integer;
    return after_value();
  }
  return -1;
}

int json_pull::after_value() {
  state_ = open_.empty() ? done : comma_or_close;
  return 1;
}

int json_pull::next(json_event* ev) {
  skip_blanks();
  switch (state_) {
    case done:
      return p_ == end_ ? 0 : -1;
    case value_expected:
      if (p_ >= end_) return -1;
      return read_value(ev);
    case value_or_close:
      if (p_ >= end_) return -1;
      if (*p_ == ']') break;
      return read_value(ev);
    case key_or_close:
    case key_expected:
      if (p_ >= end_) return -1;
      if (state_ == key_or_close && *p_ == '}') break;
      if (*p_ != '"') return -1;
      if (read_string(&pending_key_) < 0) return -1;
      has_key_ = true;
      state_ = colon;
      skip_blanks();
      if (p_ >= end_ || *p_ != ':') return -1;
      p_++;
      state_ = value_expected;
      return next(ev);
    case colon:
      return -1;
    case comma_or_close:
      if (p_ >= end_) return -1;
      if (*p_ == ',') {
        p_++;
        state_ = open_.back() == '{' ? key_expected : value_expected;
        return next(ev);
      }
      break;
  }
  // A closing bracket must match the innermost open container.
  char want = open_.empty() ? 0 : (open_.back() == '{' ? '}' : ']');
  if (p_ >= end_ || *p_ != want) return -1;
  p_++;
  open_.pop_back();
  ev->kind = want == '}' ? ev_object_end : ev_array_end;
  ev->has_key = false;
  return after_value();
}

namespace {

// Stores a finished value, which the caller keeps rooted, into the
// innermost open container (a C stack slot) or into the result slot.
int place(kiln::engine::engine* e, const std::vector<int64_t>& open, size_t result_slot, value v,
          const json_event& ev) {
  if (open.empty()) {
    value_assign(e, &e->cstack.items[result_slot], v);
    return 0;
  }
  value parent = e->cstack.items[open.back()];
  if (parent.type == t_array) return array_push(e, parent.array, v);
  // The key stays rooted on the C stack while the tree allocates its entry.
  int64_t key = cstack_string_new(e, ev.key.data(), ev.key.size());
  if (key < 0) return static_cast<int>(key);
  int rc = tree_set(e, parent.tree, e->cstack.items[key], v);
  cstack_pop(e);
  return rc;
}

// Builds the value of a text on the C stack, where every object stays
// rooted until its container or the result slot holds it, and pushes it on
// the stack.
int build(kiln::engine::engine* e, const char* text, size_t length) {
  json_pull pull(text, length);
  json_event ev;
  std::vector<int64_t> open;  // C stack slots of the open containers
  std::vector<json_event> opened_by;
  size_t base = e->cstack.length;
  int rc = cstack_push(e, make_nil());  // the result slot
  if (rc) return rc;
  while ((rc = pull.next(&ev)) == 1) {
    rc = 0;
    switch (ev.kind) {
      case ev_object_start:
      case ev_array_start: {
        int64_t slot = ev.kind == ev_object_start ? cstack_tree_new(e) : cstack_array_new(e);
        if (slot < 0) {
          rc = static_cast<int>(slot);
          break;
        }
        open.push_back(slot);
        opened_by.push_back(ev);
        break;
      }
      case ev_object_end:
      case ev_array_end: {
        value done = e->cstack.items[open.back()];
        open.pop_back();
        rc = place(e, open, base, done, opened_by.back());
        opened_by.pop_back();
        cstack_pop(e);  // the container: now held by its parent or the result
        break;
      }
      case ev_string: {
        int64_t slot = cstack_string_new(e, ev.text.data(), ev.text.size());
        if (slot < 0) {
          rc = static_cast<int>(slot);
          break;
        }
        rc = place(e, open, base, e->cstack.items[slot], ev);
        cstack_pop(e);
        break;
      }
      case ev_null: rc = place(e, open, base, make_nil(), ev); break;
      case ev_boolean: rc = place(e, open, base, make_bool(ev.boolean), ev); break;
      case ev_number: {
        value v = ev.is_integer ? make_number(ev.number) : make_double(ev.number);
        rc = place(e, open, base, v, ev);
        break;
      }
    }
    if (rc) break;
  }
  if (rc == 0) rc = push_value(e, e->cstack.items[base]);
  while (e->cstack.length > base) cstack_pop(e);
  return rc;  // -1 from the parser, an engine status otherwise
}

bool read_whole_file(const char* path, std::string* out) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    fclose(f);
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

}  // namespace

int json_decode_text(kiln::engine::engine* e, const char* text, size_t length) {
  return build(e, text, length);
}

bool json_test_text(const char* text, size_t length) {
  json_pull pull(text, length);
  json_event ev;
  int depth = 0;
  bool seen = false;
  int rc;
  while ((rc = pull.next(&ev)) == 1) {
    seen = true;
    if (ev.kind == ev_object_start || ev.kind == ev_array_start) depth++;
    if (ev.kind == ev_object_end || ev.kind == ev_array_end) depth--;
  }
  return rc == 0 && seen && depth == 0;
}

int json_read_file(kiln::engine::engine* e, const char* path) {
  std::string text;
  if (!read_whole_file(path, &text)) return -1;
  return json_decode_text(e, text.data(), text.size());
}

int builtin_jsondec(kiln::engine::engine* e) {
  if (e->stack.length <= e->bp) return set_error(e, err_stack_index_out_of_bounds, make_nil(), -1, base::rc_out_of_bounds);
  value& s = e->stack.items[e->stack.length - 1];
  if (s.type != t_str) return set_error(e, err_expected_string, s, -1, base::rc_invalid);
  value text = s;  // the stack may move while the value is built
  value_ref(text);
  int rc = json_decode_text(e, text.str->bytes, text.str->length);
  if (rc == -1) rc = set_error(e, err_json_parse_error, text, -1, base::rc_invalid);
  value_unref(e, text);
  if (rc) return rc;
  // The value is on top of the text, which it replaces.
  return replace_top(e, 2, e->stack.items[e->stack.length - 1]);
}

int builtin_jsontest(kiln::engine::engine* e) {
  if (e->stack.length <= e->bp) return set_error(e, err_stack_index_out_of_bounds, make_nil(), -1, base::rc_out_of_bounds);
  value& s = e->stack.items[e->stack.length - 1];
  if (s.type != t_str) return set_error(e, err_expected_string, s, -1, base::rc_invalid);
  bool ok = json_test_text(s.str->bytes, s.str->length);
  return replace_top(e, 1, make_bool(ok));
}

void register_builtins() {
  json_builtins f;
  f.encode = builtin_jsonenc;
  f.decode = builtin_jsondec;
  f.test = builtin_jsontest;
  set_json_builtins(f);
}

}  // namespace kiln::json
