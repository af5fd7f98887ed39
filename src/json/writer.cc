#include "json/writer.h"

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/result_codes.h"

namespace kiln::json {

using namespace kiln::engine;

namespace {

constexpr int k_depth_budget = 2048;

int put(json_writer* w, const char* bytes, size_t length) {
  return length ? w->sink(w, bytes, length) : 0;
}

int put(json_writer* w, const char* text) { return put(w, text, strlen(text)); }

int indent(json_writer* w, int levels) {
  static const std::string blanks(70, ' ');
  static const std::string tabs(35, '\t');
  const std::string& piece = w->indent_char == '\t' ? tabs : blanks;
  size_t total = static_cast<size_t>(w->unit) * static_cast<size_t>(levels);
  while (total > 0) {
    size_t n = total < w->indent_length ? total : w->indent_length;
    if (int rc = put(w, piece.data(), n)) return rc;
    total -= n;
  }
  return 0;
}

// The line break and indentation before an item.
int begin_item(json_writer* w) {
  if (w->top) {
    w->top = false;
    return 0;
  }
  if (int rc = put(w, w->first ? "\n" : ",\n")) return rc;
  w->first = false;
  return indent(w, w->depth);
}

int write_string(json_writer* w, const char* s, size_t length) {
  if (int rc = put(w, "\"")) return rc;
  size_t run = 0;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    const char* escape = nullptr;
    char hex[8];
    switch (c) {
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      case 8: escape = "\\b"; break;
      case 9: escape = "\\t"; break;
      case 10: escape = "\\n"; break;
      case 12: escape = "\\f"; break;
      case 13: escape = "\\r"; break;
      default:
        if (c < 32) {
          snprintf(hex, sizeof hex, "\\u%04x", c);
          escape = hex;
        }
    }
    if (!escape) continue;
    if (int rc = put(w, s + run, i - run)) return rc;
    if (int rc = put(w, escape)) return rc;
    run = i + 1;
  }
  if (int rc = put(w, s + run, length - run)) return rc;
  return put(w, "\"");
}

int open_container(json_writer* w, const char* bracket) {
  if (int rc = put(w, bracket)) return rc;
  w->depth++;
  w->first = true;
  return 0;
}

int close_container(json_writer* w, const char* bracket) {
  w->depth--;
  if (w->first) {  // empty: closed at once
    w->first = false;
    return put(w, bracket);
  }
  if (int rc = put(w, "\n")) return rc;
  if (int rc = indent(w, w->depth)) return rc;
  return put(w, bracket);
}

int encode(kiln::engine::engine* e, value v, json_writer* w, int budget);

int encode_members(kiln::engine::engine* e, value v, json_writer* w, int budget) {
  for (tree_entry* n = tree_next(v.tree, nullptr); n; n = tree_next(v.tree, n->key.str)) {
    if (int rc = begin_item(w)) return rc;
    if (int rc = write_string(w, n->key.str->bytes, n->key.str->length)) return rc;
    if (int rc = put(w, ": ")) return rc;
    w->first = false;
    bool saved_top = w->top;
    w->top = true;  // the value follows on the same line
    int rc = encode(e, n->val, w, budget);
    w->top = saved_top;
    if (rc) return rc;
  }
  return 0;
}

int encode(kiln::engine::engine* e, value v, json_writer* w, int budget) {
  // Nesting beyond the budget (a cycle, or a value built too deep) counts
  // as exhausted memory and is recorded as such.
  if (budget <= 0) return set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(w->depth), base::rc_no_memory);
  char text[40];
  switch (v.type) {
    case t_int:
      snprintf(text, sizeof text, "%" PRId64, static_cast<int64_t>(v.num));
      if (int rc = begin_item(w)) return rc;
      return put(w, text);
    case t_double:
      json_number_text(v.num, text);
      if (int rc = begin_item(w)) return rc;
      return put(w, text);
    case t_bool:
      if (int rc = begin_item(w)) return rc;
      return put(w, v.num != 0 ? "true" : "false");
    case t_nil:
      if (int rc = begin_item(w)) return rc;
      return put(w, "null");
    case t_str:
      if (int rc = begin_item(w)) return rc;
      return write_string(w, v.str->bytes, v.str->length);
    case t_array:
      if (int rc = begin_item(w)) return rc;
      if (int rc = open_container(w, "[")) return rc;
      for (size_t i = 0; i < v.array->size; i++) {
        if (int rc = encode(e, v.array->items[i], w, budget - 1)) return rc;
      }
      return close_container(w, "]");
    case t_tree:
      if (int rc = begin_item(w)) return rc;
      if (int rc = open_container(w, "{")) return rc;
      if (int rc = encode_members(e, v, w, budget - 1)) return rc;
      return close_container(w, "}");
    default:
      return set_error(e, err_non_json_type, v, 0, base::rc_invalid);
  }
}

// The growable output buffer of @jsonenc; capacity doubles, at least to
// the needed size.
struct text_buffer {
  char* bytes = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  size_t refused = 0;  // the size a failed growth asked for, or 0
  text_buffer() = default;
  text_buffer(const text_buffer&) = delete;
  text_buffer& operator=(const text_buffer&) = delete;
  ~text_buffer() { free(bytes); }
};

int append_to_buffer(json_writer* w, const char* bytes, size_t length) {
  auto* b = static_cast<text_buffer*>(w->sink_data);
  if (length > SIZE_MAX - b->length) {
    b->refused = SIZE_MAX;
    return base::rc_no_memory;
  }
  size_t needed = b->length + length;
  if (needed > b->capacity) {
    size_t capacity = b->capacity <= SIZE_MAX / 2 ? 2 * b->capacity : SIZE_MAX;
    if (capacity < needed) capacity = needed;
    void* grown = realloc(b->bytes, capacity);
    if (!grown) {
      b->refused = capacity;
      return base::rc_no_memory;
    }
    b->bytes = static_cast<char*>(grown);
    b->capacity = capacity;
  }
  memcpy(b->bytes + b->length, bytes, length);
  b->length = needed;
  return 0;
}

}  // namespace

void json_writer_init(json_writer* w, bool use_tabs, int unit, json_sink sink, void* sink_data) {
  *w = json_writer();
  w->indent_char = use_tabs ? '\t' : ' ';
  w->indent_length = use_tabs ? 35 : 70;
  w->unit = unit;
  w->sink = sink;
  w->sink_data = sink_data;
}

int json_encode_value(kiln::engine::engine* e, value v, json_writer* w, int depth_budget) {
  return encode(e, v, w, depth_budget);
}

int json_number_text(double x, char* buffer) {
  if (!std::isfinite(x)) {
    memcpy(buffer, "null", 5);
    return 4;
  }
  // The plain and the exponent form are both the acceptable candidate of
  // the smallest precision, found by bisection (17 digits always fit), so
  // 100 becomes 1e2 and 12 becomes 12.0.
  int lo = 1;
  int hi = 17;
  size_t length = 0;
  bool exponent = false;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (number_candidate(x, mid, buffer, &length, &exponent)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  number_candidate(x, hi, buffer, &length, &exponent);
  return static_cast<int>(length);
}

int builtin_jsonenc(kiln::engine::engine* e) {
  if (e->stack.length <= e->bp) return set_error(e, err_stack_index_out_of_bounds, make_nil(), -1, base::rc_out_of_bounds);
  text_buffer out;
  json_writer w;
  json_writer_init(&w, false, 2, append_to_buffer, &out);
  int rc = json_encode_value(e, e->stack.items[e->stack.length - 1], &w, k_depth_budget);
  if (out.refused) return set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(out.refused), base::rc_no_memory);
  if (rc) return rc;
  int64_t slot = cstack_string_new(e, out.length ? out.bytes : "", out.length);
  if (slot < 0) return static_cast<int>(slot);
  rc = replace_top(e, 1, e->cstack.items[slot]);
  cstack_pop(e);
  return rc;
}

}  // namespace kiln::json
