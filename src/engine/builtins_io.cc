// File streams and time.
#include <sys/time.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/result_codes.h"
#include "engine/operands.h"

namespace kiln::engine::lib {

namespace {

// An open stream operand (error 46, or 63 "File is closed").
int stream_arg(engine* e, size_t i, FILE** out) {
  value* v = nullptr;
  if (int rc = typed_arg(e, i, t_ios, &v)) return rc;
  if (!v->ios->stream) return set_error(e, err_file_is_closed, *v, -static_cast<double>(i), base::rc_invalid);
  *out = v->ios->stream;
  return 0;
}

// An unsigned offset or length (error 5, or 62 "Negative").
int uint_arg(engine* e, size_t i, size_t* out) {
  double x = 0;
  if (int rc = int_arg(e, i, &x)) return rc;
  if (x < 0) return set_error(e, err_negative, operand(e, i), -static_cast<double>(i), base::rc_invalid);
  // Values beyond the address space are clamped; the bounds checks refuse them.
  *out = x >= 18446744073709551616.0 ? SIZE_MAX : static_cast<size_t>(x);
  return 0;
}

}  // namespace

int run_fopen(engine* e) {
  std::string_view name;
  std::string_view mode;
  if (int rc = string_arg(e, 2, &name)) return rc;
  if (int rc = string_arg(e, 1, &mode)) return rc;
  static const char* const k_modes[] = {"r", "r+", "w", "w+", "a", "a+",
                                        "rb", "wb", "ab", "r+b", "w+b", "a+b"};
  bool known = false;
  for (const char* m : k_modes) known = known || mode == m;
  if (!known) return set_error(e, err_invalid_mode, operand(e, 1), -1, base::rc_invalid);
  if (memchr(name.data(), '\0', name.size())) return result(e, 2, make_nil());
  // Refused like a failed open.
  if (e->no_side_effects && mode != "r" && mode != "rb") return result(e, 2, make_nil());
  FILE* f = fopen(operand(e, 2).str->bytes, operand(e, 1).str->bytes);
  if (!f) return result(e, 2, make_nil());
  int64_t slot = cstack_ios_new(e, f);
  if (slot < 0) return static_cast<int>(slot);
  return cstack_result(e, 2);
}

namespace {

// ios pb off len -> count.
int transfer(engine* e, bool reading) {
  FILE* f = nullptr;
  value* p = nullptr;
  size_t off = 0;
  size_t len = 0;
  if (int rc = stream_arg(e, 4, &f)) return rc;
  if (int rc = typed_arg(e, 3, t_pb, &p)) return rc;
  if (int rc = uint_arg(e, 2, &off)) return rc;
  if (int rc = uint_arg(e, 1, &len)) return rc;
  if (off + len > p->pb->length || off + len < off) {
    return set_error(e, err_pb_set_out_of_bounds, operand(e, 1), static_cast<double>(off + len), base::rc_out_of_bounds);
  }
  size_t n = reading ? fread(p->pb->data + off, 1, len, f) : fwrite(p->pb->data + off, 1, len, f);
  return number_result(e, 4, static_cast<double>(n));
}

}  // namespace

int run_fread(engine* e) { return transfer(e, true); }
int run_fwrite(engine* e) { return transfer(e, false); }

int run_fclose(engine* e) {
  value* v = nullptr;
  if (int rc = typed_arg(e, 1, t_ios, &v)) return rc;
  if (v->ios->stream) {
    fclose(v->ios->stream);
    v->ios->stream = nullptr;
  }
  return result(e, 1, make_nil());
}

int run_fflush(engine* e) {
  value* v = nullptr;
  if (int rc = typed_arg(e, 1, t_ios, &v)) return rc;
  if (!v->ios->stream) return set_error(e, err_file_is_closed, *v, -1, base::rc_invalid);
  fflush(v->ios->stream);
  return result(e, 1, make_nil());
}

int run_fseek(engine* e) {
  FILE* f = nullptr;
  double off = 0;
  double whence = 0;
  if (int rc = stream_arg(e, 3, &f)) return rc;
  if (int rc = int_arg(e, 2, &off)) return rc;
  if (int rc = number_arg(e, 1, &whence)) return rc;
  if (whence != 0 && whence != 1 && whence != 2) return set_error(e, err_invalid_whence, operand(e, 1), -1, base::rc_invalid);
  if (off < static_cast<double>(LONG_MIN) || off >= -static_cast<double>(LONG_MIN)) {
    return out_of_range(e, 2);
  }
  int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
  fseek(f, static_cast<long>(off), w);
  return number_result(e, 3, static_cast<double>(ftell(f)));
}

// ios delim pb off max -> bytes stored (the delimiter included).
int run_fgetdelim(engine* e) {
  FILE* f = nullptr;
  value* p = nullptr;
  size_t off = 0;
  if (int rc = stream_arg(e, 5, &f)) return rc;
  const value& delim = operand(e, 4);
  int stop = -1;
  if (delim.type == t_str) {
    if (delim.str->length != 1) return set_error(e, err_expect_character, delim, -4, base::rc_invalid);
    stop = static_cast<unsigned char>(delim.str->bytes[0]);
  } else if (delim.type != t_nil) {
    return set_error(e, err_expected_string, delim, -4, base::rc_invalid);
  }
  if (int rc = typed_arg(e, 3, t_pb, &p)) return rc;
  if (int rc = uint_arg(e, 2, &off)) return rc;
  // An offset of 2^64 or more arrives clamped; no byte can be stored there.
  if (off == SIZE_MAX) return set_error(e, err_pb_set_out_of_bounds, operand(e, 2), operand(e, 2).num, base::rc_out_of_bounds);
  size_t max = SIZE_MAX;
  const value& mv = operand(e, 1);
  if (mv.type != t_nil) {
    if (!is_number_type(mv.type)) return set_error(e, err_expected_double_precision_number, mv, -1, base::rc_invalid);
    if (int rc = uint_arg(e, 1, &max)) return rc;
  }
  size_t stored = 0;
  while (stored < max) {
    int c = fgetc(f);
    if (c == EOF) break;
    size_t at = off + stored;
    if (at >= p->pb->length) {
      if (at == SIZE_MAX) return set_error(e, err_pb_set_out_of_bounds, operand(e, 2), static_cast<double>(at), base::rc_out_of_bounds);
      if (int rc = pb_set_length(e, p->pb, at + 1)) return rc;
    }
    p->pb->data[at] = static_cast<uint8_t>(c);
    stored++;
    if (c == stop) break;
  }
  if (int rc = pb_set_length(e, p->pb, off + stored)) return rc;
  return number_result(e, 5, static_cast<double>(stored));
}

namespace {

// Stores a number under a key given as C text; the new key string stays
// rooted on the C stack while the tree allocates its entry.
int set_field(engine* e, tree_obj* t, const char* key, double x) {
  int64_t k = cstack_string_new(e, key, strlen(key));
  if (k < 0) return static_cast<int>(k);
  int rc = tree_set(e, t, e->cstack.items[k], make_number(x));
  cstack_pop(e);
  return rc;
}

// usec -> tree of the broken-down time.
int broken_down(engine* e, bool local) {
  double usec = 0;
  if (int rc = number_arg(e, 1, &usec)) return rc;
  if (!std::isfinite(usec) || std::fabs(usec) > 9.2e18) return set_error(e, err_number_overflow, operand(e, 1), -1, base::rc_invalid);
  auto seconds = static_cast<time_t>(std::trunc(usec / 1000000));
  double rest = std::fmod(usec, 1000000);
  struct tm tm;
  if (!(local ? localtime_r(&seconds, &tm) : gmtime_r(&seconds, &tm))) {
    return set_error(e, err_number_overflow, operand(e, 1), -1, base::rc_invalid);
  }
  int64_t slot = cstack_tree_new(e);
  if (slot < 0) return static_cast<int>(slot);
  tree_obj* t = e->cstack.items[slot].tree;
  const struct { const char* key; double v; } fields[] = {
      {"tm_usec", rest}, {"tm_sec", double(tm.tm_sec)}, {"tm_min", double(tm.tm_min)},
      {"tm_hour", double(tm.tm_hour)}, {"tm_mday", double(tm.tm_mday)},
      {"tm_mon", double(tm.tm_mon + 1)}, {"tm_year", double(tm.tm_year) + 1900},
      {"tm_wday", double(tm.tm_wday)}, {"tm_yday", double(tm.tm_yday + 1)},
      {"tm_isdst", double(tm.tm_isdst)},
  };
  for (const auto& f : fields) {
    if (int rc = set_field(e, t, f.key, f.v)) {
      cstack_pop(e);
      return rc;
    }
  }
  return cstack_result(e, 1);
}

// A field of the tree for @mktime: required ones fail with error 36.
int tm_field(engine* e, tree_obj* t, const char* key, bool required, int fallback, int* out) {
  value* v = tree_get(t, key, strlen(key));
  if (!v) {
    if (required) {
      str_obj* k = string_new(e, key, strlen(key));
      value kv = k ? make_object(t_str, k) : make_nil();
      int rc = set_error(e, err_tree_entry_not_found, kv, -1, base::rc_invalid);
      value_unref(e, kv);
      return rc;
    }
    *out = fallback;
    return 0;
  }
  if (v->type != t_int && v->type != t_double) return set_error(e, err_expected_double_precision_number, *v, -1, base::rc_invalid);
  double x = v->num;
  *out = (x >= INT_MIN && x <= INT_MAX) ? static_cast<int>(x) : INT_MIN;
  return 0;
}

}  // namespace

int run_localtime(engine* e) { return broken_down(e, true); }
int run_gmtime(engine* e) { return broken_down(e, false); }

int run_gettime(engine* e) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return push_number(e, static_cast<double>(tv.tv_sec) * 1000000 + tv.tv_usec);
}

int run_mktime(engine* e) {
  value* tv = nullptr;
  if (int rc = typed_arg(e, 1, t_tree, &tv)) return rc;
  tree_obj* t = tv->tree;
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  int usec = 0;
  if (int rc = tm_field(e, t, "tm_usec", false, 0, &usec)) return rc;
  if (int rc = tm_field(e, t, "tm_sec", false, 0, &tm.tm_sec)) return rc;
  if (int rc = tm_field(e, t, "tm_min", true, 0, &tm.tm_min)) return rc;
  if (int rc = tm_field(e, t, "tm_hour", true, 0, &tm.tm_hour)) return rc;
  if (int rc = tm_field(e, t, "tm_mday", true, 0, &tm.tm_mday)) return rc;
  if (int rc = tm_field(e, t, "tm_mon", true, 0, &tm.tm_mon)) return rc;
  if (int rc = tm_field(e, t, "tm_year", true, 0, &tm.tm_year)) return rc;
  if (int rc = tm_field(e, t, "tm_isdst", false, -1, &tm.tm_isdst)) return rc;
  tm.tm_mon -= 1;
  tm.tm_year -= 1900;
  time_t seconds = mktime(&tm);
  if (seconds == static_cast<time_t>(-1)) return result(e, 1, make_nil());
  if (int rc = set_field(e, t, "tm_wday", tm.tm_wday)) return rc;
  if (int rc = set_field(e, t, "tm_yday", tm.tm_yday + 1)) return rc;
  if (int rc = set_field(e, t, "tm_isdst", tm.tm_isdst)) return rc;
  return number_result(e, 1, static_cast<double>(seconds) * 1000000 + usec);
}

}  // namespace kiln::engine::lib
