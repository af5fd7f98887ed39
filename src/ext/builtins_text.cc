// Text built-ins of the extension: directories of the current scope,
// suffix and prefix substitution, filters, path functions and shell
// quoting. Arguments come in call order: the first is the deepest.
#include <cstdio>
#include <string>
#include <unordered_set>

#include "engine/operands.h"
#include "ext/builtins.h"
#include "ext/extension.h"
#include "ext/path_text.h"
#include "ext/shell_quote.h"
#include "graph/path.h"

namespace kiln::ext {

using namespace kiln::engine;
using kiln::engine::lib::need;
using kiln::engine::lib::operand;
using kiln::engine::lib::string_arg;

int list_arg(kiln::engine::engine* e, size_t i, std::vector<std::string_view>* out) {
  value* a = nullptr;
  if (int rc = kiln::engine::lib::typed_arg(e, i, t_array, &a)) return rc;
  out->clear();
  for (size_t k = 0; k < a->array->size; k++) {
    const value& v = a->array->items[k];
    if (v.type != t_str) return set_error(e, err_expected_string, v, -static_cast<double>(i), -22);
    out->emplace_back(v.str->bytes, v.str->length);
  }
  return 0;
}

int strings_result(kiln::engine::engine* e, size_t n, const std::vector<std::string>& items) {
  int64_t slot = cstack_array_new(e);
  if (slot < 0) return static_cast<int>(slot);
  array_obj* out = e->cstack.items[slot].array;
  for (const std::string& s : items) {
    // Each string stays rooted on the C stack while the array grows.
    int64_t item = cstack_string_new(e, s.data(), s.size());
    int rc = item < 0 ? static_cast<int>(item) : array_push(e, out, e->cstack.items[item]);
    if (item >= 0) cstack_pop(e);
    if (rc) {
      cstack_pop(e);
      return rc;
    }
  }
  return kiln::engine::lib::cstack_result(e, n);
}

int string_result(kiln::engine::engine* e, size_t n, std::string_view s) {
  int64_t slot = cstack_string_new(e, s.data(), s.size());
  if (slot < 0) return static_cast<int>(slot);
  return kiln::engine::lib::cstack_result(e, n);
}

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// @sufsubone/@presubone and their "all" forms. Every element is checked
// before any result is built.
int substitute(kiln::engine::engine* e, bool suffix, bool all) {
  if (int rc = need(e, 3)) return rc;
  std::string_view old_part;
  std::string_view new_part;
  if (int rc = string_arg(e, 2, &old_part)) return rc;
  if (int rc = string_arg(e, 1, &new_part)) return rc;
  std::vector<std::string_view> items;
  std::string_view one;
  if (all) {
    if (int rc = list_arg(e, 3, &items)) return rc;
  } else {
    if (int rc = string_arg(e, 3, &one)) return rc;
    items.push_back(one);
  }
  for (std::string_view s : items) {
    bool ok = suffix ? ends_with(s, old_part) : starts_with(s, old_part);
    if (!ok) {
      std::string text(s);
      std::string part(old_part);
      fprintf(stderr, suffix ? "kiln: %s does not end with %s\n" : "kiln: %s does not begin with %s\n",
              text.c_str(), part.c_str());
      str_obj* info = string_new(e, s.data(), s.size());
      value iv = info ? make_object(t_str, info) : make_nil();
      int rc = set_error(e, err_suffix_not_found, iv, -3, -22);
      value_unref(e, iv);
      return rc;
    }
  }
  std::vector<std::string> out;
  for (std::string_view s : items) {
    std::string r = suffix ? std::string(s.substr(0, s.size() - old_part.size())) + std::string(new_part)
                           : std::string(new_part) + std::string(s.substr(old_part.size()));
    out.push_back(std::move(r));
  }
  if (all) return strings_result(e, 3, out);
  return string_result(e, 3, out[0]);
}

// The suffix, prefix and word filters.
int filter(kiln::engine::engine* e, unsigned op) {
  if (int rc = need(e, 2)) return rc;
  std::vector<std::string_view> items;
  if (int rc = list_arg(e, 2, &items)) return rc;
  std::vector<std::string> out;
  if (op == 94 || op == 95) {  // @filter, @filterout
    std::vector<std::string_view> words;
    if (int rc = list_arg(e, 1, &words)) return rc;
    std::unordered_set<std::string_view> set(words.begin(), words.end());
    for (std::string_view s : items) {
      if ((set.count(s) > 0) == (op == 94)) out.emplace_back(s);
    }
    return strings_result(e, 2, out);
  }
  std::string_view part;
  if (int rc = string_arg(e, 1, &part)) return rc;
  for (std::string_view s : items) {
    bool match = (op == 70 || op == 83) ? ends_with(s, part) : starts_with(s, part);
    bool keep = (op == 70 || op == 92) ? match : !match;
    if (keep) out.emplace_back(s);
  }
  return strings_result(e, 2, out);
}

std::string apply_path_function(unsigned op, std::string_view path) {
  switch (op) {
    case 71: case 76: return std::string(path_suffix(path));
    case 72: case 77: return std::string(path_basename(path));
    case 73: case 78: return path_dir(path);
    case 74: case 79: return std::string(path_notdir(path));
    default: return path.empty() ? std::string() : graph::simplify_path(path);  // 75, 80
  }
}

int path_function(kiln::engine::engine* e, unsigned op) {
  if (int rc = need(e, 1)) return rc;
  if (op <= 75) {
    std::string_view path;
    if (int rc = string_arg(e, 1, &path)) return rc;
    return string_result(e, 1, apply_path_function(op, path));
  }
  std::vector<std::string_view> items;
  if (int rc = list_arg(e, 1, &items)) return rc;
  std::vector<std::string> out;
  for (std::string_view s : items) out.push_back(apply_path_function(op, s));
  return strings_result(e, 1, out);
}

int directories(kiln::engine::engine* e, unsigned op) {
  std::string top;
  std::string project;
  scope_directories_of(e, &top, &project);
  std::string r;
  switch (op) {
    case 64: r = dir_up(project); break;
    case 65: r = project; break;
    case 85: r = dir_up(top); break;
    default: r = top; break;  // 86
  }
  int64_t slot = cstack_string_new(e, r.data(), r.size());
  if (slot < 0) return static_cast<int>(slot);
  return kiln::engine::lib::cstack_result(e, 0);
}

int quote(kiln::engine::engine* e, bool multi) {
  if (int rc = need(e, 1)) return rc;
  if (!multi) {
    std::string_view s;
    if (int rc = string_arg(e, 1, &s)) return rc;
    return string_result(e, 1, shell_escape(s));
  }
  std::vector<std::string_view> items;
  if (int rc = list_arg(e, 1, &items)) return rc;
  std::vector<std::string> out;
  for (std::string_view s : items) out.push_back(shell_escape(s));
  return strings_result(e, 1, out);
}

}  // namespace

int run_builtin(kiln::engine::engine* e, unsigned op) {
  switch (op) {
    case 64: case 65: case 85: case 86: return directories(e, op);
    case 68: return substitute(e, true, true);
    case 69: return substitute(e, true, false);
    case 87: return substitute(e, false, true);
    case 88: return substitute(e, false, false);
    case 70: case 83: case 92: case 93: case 94: case 95: return filter(e, op);
    case 71: case 72: case 73: case 74: case 75: case 76: case 77: case 78: case 79: case 80:
      return path_function(e, op);
    case 84: return quote(e, false);
    case 97: return quote(e, true);
  }
  int rc = file_builtin(e, op);
  if (rc != 1) return rc;
  return set_error(e, err_unknown_instruction, make_nil(), op, -86);
}

}  // namespace kiln::ext
