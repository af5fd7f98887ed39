// String built-ins, number text, output to the two streams, and the
// string/buffer conversions.
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/result_codes.h"
#include "engine/operands.h"

namespace kiln::engine::lib {

namespace {

// A new string built on the C stack replaces the top n operands.
int string_result(engine* e, size_t n, const char* bytes, size_t length) {
  int64_t slot = cstack_string_new(e, bytes, length);
  if (slot < 0) return static_cast<int>(slot);
  return cstack_result(e, n);
}

// 256-bit membership set of the bytes of a separator string.
struct byte_set {
  uint64_t bits[4] = {};
  explicit byte_set(std::string_view s) {
    for (unsigned char c : s) bits[c >> 6] |= uint64_t{1} << (c & 63);
  }
  bool has(unsigned char c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
};

// Calls visit(word) for each maximal run of bytes outside the set.
template <typename visitor>
void for_each_word(std::string_view s, const byte_set& seps, visitor visit) {
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && seps.has(static_cast<unsigned char>(s[i]))) i++;
    size_t start = i;
    while (i < s.size() && !seps.has(static_cast<unsigned char>(s[i]))) i++;
    if (i > start && !visit(s.substr(start, i - start))) return;
  }
}

}  // namespace

int run_str_sub(engine* e) {
  std::string_view s;
  double start = 0;
  double end = 0;
  if (int rc = string_arg(e, 3, &s)) return rc;
  if (int rc = int_arg(e, 2, &start)) return rc;
  if (int rc = int_arg(e, 1, &end)) return rc;
  if (start < 0 || start > end) return out_of_range(e, 2);
  if (end > static_cast<double>(s.size())) return out_of_range(e, 1);
  auto a = static_cast<size_t>(start);
  return string_result(e, 3, s.data() + a, static_cast<size_t>(end) - a);
}

int run_str_compare(engine* e) {
  std::string_view s;
  std::string_view t;
  if (int rc = string_arg(e, 2, &s)) return rc;
  if (int rc = string_arg(e, 1, &t)) return rc;
  return number_result(e, 2, key_compare(s.data(), s.size(), t.data(), t.size()));
}

int run_str_list_join(engine* e) {
  std::string_view sep;
  value* list = nullptr;
  if (int rc = string_arg(e, 2, &sep)) return rc;
  if (int rc = typed_arg(e, 1, t_array, &list)) return rc;
  std::string out;
  for (size_t i = 0; i < list->array->size; i++) {
    const value& v = list->array->items[i];
    if (v.type != t_str) return set_error(e, err_expected_string, v, -1, base::rc_invalid);
    if (i) out.append(sep);
    out.append(v.str->bytes, v.str->length);
  }
  return string_result(e, 2, out.data(), out.size());
}

namespace {

int map_bytes(engine* e, int (*f)(int)) {
  std::string_view s;
  if (int rc = string_arg(e, 1, &s)) return rc;
  std::string out(s);
  for (char& c : out) c = static_cast<char>(f(static_cast<unsigned char>(c)));
  return string_result(e, 1, out.data(), out.size());
}

}  // namespace

int run_str_from_char(engine* e) {
  unsigned char c = 0;
  if (int rc = byte_arg(e, 1, &c)) return rc;
  return string_result(e, 1, reinterpret_cast<const char*>(&c), 1);
}

int run_str_append(engine* e) {
  value* a = nullptr;
  value* b = nullptr;
  if (int rc = typed_arg(e, 2, t_str, &a)) return rc;
  if (int rc = typed_arg(e, 1, t_str, &b)) return rc;
  int64_t slot =
      cstack_string_new_concat(e, a->str->bytes, a->str->length, b->str->bytes, b->str->length);
  if (slot < 0) return static_cast<int>(slot);
  return cstack_result(e, 2);
}

int run_str_lower(engine* e) { return map_bytes(e, tolower); }
int run_str_upper(engine* e) { return map_bytes(e, toupper); }

int run_str_reverse(engine* e) {
  std::string_view s;
  if (int rc = string_arg(e, 1, &s)) return rc;
  std::string out(s.rbegin(), s.rend());
  return string_result(e, 1, out.data(), out.size());
}

int run_str_find(engine* e) {
  std::string_view s;
  std::string_view needle;
  if (int rc = string_arg(e, 2, &s)) return rc;
  if (int rc = string_arg(e, 1, &needle)) return rc;
  size_t at = s.find(needle);
  if (at == std::string_view::npos) return result(e, 2, make_nil());
  return number_result(e, 2, static_cast<double>(at));
}

int run_str_replace_all(engine* e) {
  std::string_view s;
  std::string_view pattern;
  std::string_view repl;
  if (int rc = string_arg(e, 3, &s)) return rc;
  if (int rc = string_arg(e, 2, &pattern)) return rc;
  if (int rc = string_arg(e, 1, &repl)) return rc;
  if (pattern.empty()) return base::rc_invalid;
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    if (s.compare(i, pattern.size(), pattern) == 0 && i + pattern.size() <= s.size()) {
      out.append(repl);
      i += pattern.size();
    } else {
      out += s[i++];
    }
  }
  return string_result(e, 3, out.data(), out.size());
}

int run_str_repeat(engine* e) {
  std::string_view s;
  if (int rc = string_arg(e, 2, &s)) return rc;
  const value& n = operand(e, 1);
  if (!is_number_type(n.type) || n.num < 0 || n.num != std::trunc(n.num)) {
    return set_error(e, err_repeat_count_not_unsigned, n, -1, base::rc_invalid);
  }
  // Counts beyond the address space are clamped; the allocation refuses them.
  size_t count = n.num >= 18446744073709551616.0 ? SIZE_MAX : static_cast<size_t>(n.num);
  int64_t slot = cstack_string_new_repeat(e, s.data(), s.size(), count);
  if (slot < 0) return static_cast<int>(slot);
  return cstack_result(e, 2);
}

int run_str_set(engine* e) {
  std::string_view s;
  double i = 0;
  unsigned char c = 0;
  if (int rc = string_arg(e, 3, &s)) return rc;
  if (int rc = int_arg(e, 2, &i)) return rc;
  if (int rc = byte_arg(e, 1, &c)) return rc;
  if (i < 0 || i >= static_cast<double>(s.size())) return out_of_range(e, 2);
  std::string out(s);
  out[static_cast<size_t>(i)] = static_cast<char>(c);
  return string_result(e, 3, out.data(), out.size());
}

int run_str_strip(engine* e) {
  std::string_view s;
  std::string_view set;
  if (int rc = string_arg(e, 2, &s)) return rc;
  if (int rc = string_arg(e, 1, &set)) return rc;
  byte_set strip(set);
  size_t a = 0;
  size_t b = s.size();
  while (a < b && strip.has(static_cast<unsigned char>(s[a]))) a++;
  while (b > a && strip.has(static_cast<unsigned char>(s[b - 1]))) b--;
  return string_result(e, 2, s.data() + a, b - a);
}

int run_str_word(engine* e) {
  std::string_view s;
  std::string_view seps;
  double n = 0;
  if (int rc = string_arg(e, 3, &s)) return rc;
  if (int rc = string_arg(e, 2, &seps)) return rc;
  if (int rc = int_arg(e, 1, &n)) return rc;
  if (n < 0) return out_of_range(e, 1);
  double index = 0;
  std::string_view found;
  bool ok = false;
  for_each_word(s, byte_set(seps), [&](std::string_view w) {
    if (index++ == n) {
      found = w;
      ok = true;
      return false;
    }
    return true;
  });
  if (!ok) return out_of_range(e, 1);
  return string_result(e, 3, found.data(), found.size());
}

namespace {

// The words of s (which may be nil: no words), listed or counted.
int words(engine* e, bool as_list) {
  std::string_view s;
  std::string_view seps;
  if (operand(e, 2).type != t_nil) {
    if (int rc = string_arg(e, 2, &s)) return rc;
  }
  if (int rc = string_arg(e, 1, &seps)) return rc;
  byte_set set(seps);
  if (!as_list) {
    double count = 0;
    for_each_word(s, set, [&](std::string_view) { return ++count, true; });
    return number_result(e, 2, count);
  }
  int64_t slot = cstack_array_new(e);
  if (slot < 0) return static_cast<int>(slot);
  array_obj* out = e->cstack.items[slot].array;
  int failed = 0;
  for_each_word(s, set, [&](std::string_view w) {
    // The word stays rooted on the C stack while the array grows.
    int64_t word = cstack_string_new(e, w.data(), w.size());
    if (word < 0) {
      failed = static_cast<int>(word);
      return false;
    }
    failed = array_push(e, out, e->cstack.items[word]);
    cstack_pop(e);
    return failed == 0;
  });
  if (failed) {
    cstack_pop(e);
    return failed;
  }
  return cstack_result(e, 2);
}

}  // namespace

int run_str_word_list(engine* e) { return words(e, true); }
int run_str_word_count(engine* e) { return words(e, false); }

int run_to_string(engine* e) {
  const value& v = operand(e, 1);
  if (!is_number_type(v.type)) return set_error(e, err_expected_double_precision_number, v, -1, base::rc_invalid);
  char text[64];
  double x = v.num;
  if (v.type == t_int && x >= -9223372036854775808.0 && x < 9223372036854775808.0 &&
      static_cast<double>(static_cast<long long>(x)) == x) {
    snprintf(text, sizeof text, "%lld", static_cast<long long>(x));
  } else if (v.type == t_int && x >= 0 && x < 18446744073709551616.0) {
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(x));
  } else {
    number_text(x, text);
  }
  return string_result(e, 1, text, strlen(text));
}

int run_to_number(engine* e) {
  std::string_view s;
  if (int rc = string_arg(e, 1, &s)) return rc;
  value& v = operand(e, 1);
  if (s.empty() || memchr(s.data(), '\0', s.size())) return set_error(e, err_string_is_not_numeric, v, -1, base::rc_invalid);
  char* end = nullptr;
  double x = strtod(v.str->bytes, &end);
  if (end != v.str->bytes + s.size()) return set_error(e, err_string_is_not_numeric, v, -1, base::rc_invalid);
  bool plain = s.find_first_of(".eE") == std::string_view::npos;
  return result(e, 1, plain ? make_number(x) : make_double(x));
}

namespace {

int write_text(engine* e, FILE* stream, std::string_view s) {
  fflush(stream);
  size_t written = fwrite(s.data(), 1, s.size(), stream);
  fflush(stream);
  if (written != s.size()) return set_error(e, err_i_o_error, make_nil(), static_cast<double>(written), base::rc_io_error);
  return 0;
}

}  // namespace

int run_out(engine* e) {
  std::string_view s;
  double stream = 0;
  if (int rc = string_arg(e, 2, &s)) return rc;
  if (int rc = number_arg(e, 1, &stream)) return rc;
  if (stream != 0 && stream != 1) return set_error(e, err_invalid_stream_index, operand(e, 1), -1, base::rc_invalid);
  if (int rc = write_text(e, stream == 0 ? stdout : stderr, s)) return rc;
  return pop_n(e, 2);
}

int run_error(engine* e) {
  std::string_view s;
  if (int rc = string_arg(e, 1, &s)) return rc;
  if (int rc = write_text(e, stderr, s)) return rc;
  return set_error(e, err_error_exit, operand(e, 1), -1, base::rc_error_exit);
}

int run_dump(engine* e) {
  value_dump(stdout, operand(e, 1));
  fputc('\n', stdout);
  fflush(stdout);
  return pop(e);
}

int run_getenv(engine* e) {
  std::string_view name;
  if (int rc = string_arg(e, 1, &name)) return rc;
  const char* v = getenv(operand(e, 1).str->bytes);
  if (!v || memchr(name.data(), '\0', name.size())) return result(e, 1, make_nil());
  return string_result(e, 1, v, strlen(v));
}

int run_chomp(engine* e) {
  std::string_view s;
  if (int rc = string_arg(e, 1, &s)) return rc;
  if (s.empty() || s.back() != '\n') return 0;  // unchanged: the operand stays
  return string_result(e, 1, s.data(), s.size() - 1);
}

int run_pb_to_str(engine* e) {
  value* p = nullptr;
  double off = 0;
  double len = 0;
  if (int rc = typed_arg(e, 3, t_pb, &p)) return rc;
  if (int rc = int_arg(e, 2, &off)) return rc;
  if (int rc = int_arg(e, 1, &len)) return rc;
  if (off < 0) return set_error(e, err_negative, operand(e, 2), -2, base::rc_invalid);
  if (len < 0) return set_error(e, err_negative, operand(e, 1), -1, base::rc_invalid);
  if (off + len > static_cast<double>(p->pb->length)) {
    return set_error(e, err_pb_set_out_of_bounds, operand(e, 1), off + len, base::rc_out_of_bounds);
  }
  return string_result(e, 3, reinterpret_cast<const char*>(p->pb->data) + static_cast<size_t>(off),
                       static_cast<size_t>(len));
}

int run_str_to_pb(engine* e) {
  std::string_view s;
  if (int rc = string_arg(e, 1, &s)) return rc;
  int64_t slot = cstack_pb_new(e);
  if (slot < 0) return static_cast<int>(slot);
  pb_obj* p = e->cstack.items[slot].pb;
  if (int rc = pb_set_length(e, p, s.size())) {
    cstack_pop(e);
    return rc;
  }
  if (!s.empty()) memcpy(p->data, s.data(), s.size());
  return cstack_result(e, 1);
}

}  // namespace kiln::engine::lib
