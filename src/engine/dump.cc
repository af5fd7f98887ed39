// Printing values for @dump and diagnostics.
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <vector>

#include "engine/engine.h"

namespace kiln::engine {

namespace {

constexpr size_t k_max_dump_depth = 100;

void dump_string(FILE* out, const str_obj* s) {
  fputc('"', out);
  for (size_t i = 0; i < s->length; i++) {
    unsigned char c = static_cast<unsigned char>(s->bytes[i]);
    switch (c) {
      case '\b': fputs("\\b", out); break;
      case '\t': fputs("\\t", out); break;
      case '\n': fputs("\\n", out); break;
      case '\f': fputs("\\f", out); break;
      case '\r': fputs("\\r", out); break;
      case '"': fputs("\\\"", out); break;
      case '\\': fputs("\\\\", out); break;
      default:
        if (c < 32) {
          fprintf(out, "\\u%.4X", c);
        } else {
          fputc(c, out);
        }
    }
  }
  fputc('"', out);
}

// The integer an address-like payload (fun, bp, ip) prints as: any
// number can get there, so it is clamped to the range; NaN prints as 0.
long long address_number(double x) {
  if (x != x) return 0;
  if (x >= 9223372036854775808.0) return LLONG_MAX;
  if (x < -9223372036854775808.0) return LLONG_MIN;
  return static_cast<long long>(x);
}

void dump_number(FILE* out, const value& v) {
  char text[32];
  double x = v.num;
  if (v.type == t_int && x >= -9223372036854775808.0 && x < 9223372036854775808.0 &&
      static_cast<double>(static_cast<long long>(x)) == x) {
    fprintf(out, "%lld", static_cast<long long>(x));
  } else if (v.type == t_int && x >= 0 && x < 18446744073709551616.0 &&
             static_cast<double>(static_cast<unsigned long long>(x)) == x) {
    fprintf(out, "%llu", static_cast<unsigned long long>(x));
  } else {
    number_text(x, text);
    fputs(text, out);
  }
}

void dump_value(FILE* out, value v, std::vector<const object*>& path);

// Prints a tree's entries in key order as "key: value", separated by ", "
// from each other and from those printed before (*first false).
void dump_entries(FILE* out, tree_obj* t, std::vector<const object*>& path, bool* first) {
  for (tree_entry* e = tree_next(t, nullptr); e; e = tree_next(t, e->key.str)) {
    if (!*first) fputs(", ", out);
    *first = false;
    dump_value(out, e->key, path);
    fputs(": ", out);
    dump_value(out, e->val, path);
  }
}

// Prints containers recursively; `path` holds the containers being printed
// around this one, so that a container inside itself prints abbreviated.
void dump_value(FILE* out, value v, std::vector<const object*>& path) {
  bool abbreviate = path.size() >= k_max_dump_depth;
  if (is_object_type(v.type) && v.type != t_str) {
    for (const object* o : path) {
      if (o == v.obj) abbreviate = true;
    }
  }
  switch (v.type) {
    case t_int:
    case t_double: dump_number(out, v); return;
    case t_bool: fputs(v.num != 0 ? "true" : "false", out); return;
    case t_fun: fprintf(out, "fun(%lld)", address_number(v.num)); return;
    case t_bp: fprintf(out, "bp(%lld)", address_number(v.num)); return;
    case t_ip: fprintf(out, "ip(%lld)", address_number(v.num)); return;
    case t_rg: fputs("rg", out); return;
    case t_nil: fputs("null", out); return;
    case t_str: dump_string(out, v.str); return;
    case t_pb: fputs("pb", out); return;
    case t_ios: fprintf(out, "ios(%p)", static_cast<void*>(v.ios)); return;
    case t_array: {
      if (abbreviate) {
        fputs("[...]", out);
        return;
      }
      path.push_back(v.obj);
      fputc('[', out);
      for (size_t i = 0; i < v.array->size; i++) {
        if (i) fputs(", ", out);
        dump_value(out, v.array->items[i], path);
      }
      fputc(']', out);
      path.pop_back();
      return;
    }
    case t_tree: {
      if (abbreviate) {
        fputs("{...}", out);
        return;
      }
      path.push_back(v.obj);
      fputc('{', out);
      bool first = true;
      dump_entries(out, v.tree, path, &first);
      fputc('}', out);
      path.pop_back();
      return;
    }
    case t_sc: {
      fprintf(out, "sc(%zu){", v.scope->bucket_count);
      if (abbreviate) {
        fputs("...}", out);
        return;
      }
      path.push_back(v.obj);
      bool first = true;
      for (size_t b = 0; b < v.scope->bucket_count; b++) {
        // Each bucket is a tree of its own; walk it in key order.
        tree_obj bucket;
        bucket.root = v.scope->buckets[b];
        dump_entries(out, &bucket, path, &first);
      }
      fputc('}', out);
      path.pop_back();
      return;
    }
    default: fputs("?", out);
  }
}

}  // namespace

void value_dump(FILE* out, value v) {
  std::vector<const object*> path;
  dump_value(out, v, path);
}

}  // namespace kiln::engine
