// Text built-ins of the extension: directories of the current scope,
// suffix and prefix substitution, filters, path functions and shell
// quoting. Arguments come in call order: the first is the deepest.
#include <cstdio>
#include <string>
#include <unordered_set>

#include "base/result_codes.h"
#include "engine/operands.h"
#include "ext/builtins.h"
#include "ext/extension.h"
#include "ext/path_text.h"
#include "ext/shell_quote.h"
#include "graph/path.h"

namespace kiln::ext {

using namespace kiln::engine;
using kiln::engine::lib::operand;
using kiln::engine::lib::string_arg;

int list_arg(kiln::engine::engine* e, size_t i, std::vector<std::string_view>* out) {
  value* a = nullptr;
  if (int rc = kiln::engine::lib::typed_arg(e, i, t_array, &a)) return rc;
  out->clear();
  for (size_t k = 0; k < a->array->size; k++) {
    const value& v = a->array->items[k];
    if (v.type != t_str) return set_error(e, err_expected_string, v, -static_cast<double>(i), base::rc_invalid);
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
      int rc = set_error(e, err_suffix_not_found, iv, -3, base::rc_invalid);
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
// The elements of a list that are (keep) or are not among the words.
int word_filter(kiln::engine::engine* e, bool keep) {
  std::vector<std::string_view> items;
  if (int rc = list_arg(e, 2, &items)) return rc;
  std::vector<std::string_view> words;
  if (int rc = list_arg(e, 1, &words)) return rc;
  std::unordered_set<std::string_view> set(words.begin(), words.end());
  std::vector<std::string> out;
  for (std::string_view s : items) {
    if ((set.count(s) > 0) == keep) out.emplace_back(s);
  }
  return strings_result(e, 2, out);
}

// The elements of a list that end (suffix) or begin with the part, or
// (keep false) those that do not.
int part_filter(kiln::engine::engine* e, bool suffix, bool keep) {
  std::vector<std::string_view> items;
  if (int rc = list_arg(e, 2, &items)) return rc;
  std::string_view part;
  if (int rc = string_arg(e, 1, &part)) return rc;
  std::vector<std::string> out;
  for (std::string_view s : items) {
    bool match = suffix ? ends_with(s, part) : starts_with(s, part);
    if (match == keep) out.emplace_back(s);
  }
  return strings_result(e, 2, out);
}

std::string suffix_of(std::string_view path) { return std::string(path_suffix(path)); }
std::string basename_of(std::string_view path) { return std::string(path_basename(path)); }
std::string notdir_of(std::string_view path) { return std::string(path_notdir(path)); }
std::string simplified(std::string_view path) {
  return path.empty() ? std::string() : graph::simplify_path(path);
}

// A path function of the string operand, or (all) of each list element.
int path_function(kiln::engine::engine* e, std::string (*f)(std::string_view), bool all) {
  if (!all) {
    std::string_view path;
    if (int rc = string_arg(e, 1, &path)) return rc;
    return string_result(e, 1, f(path));
  }
  std::vector<std::string_view> items;
  if (int rc = list_arg(e, 1, &items)) return rc;
  std::vector<std::string> out;
  for (std::string_view s : items) out.push_back(f(s));
  return strings_result(e, 1, out);
}

// The scope's directory relative to the top (from_top) or to the project
// directory, or (up) the way back up from it.
int directory(kiln::engine::engine* e, bool from_top, bool up) {
  std::string top;
  std::string project;
  scope_directories_of(e, &top, &project);
  const std::string& dir = from_top ? top : project;
  std::string r = up ? dir_up(dir) : dir;
  int64_t slot = cstack_string_new(e, r.data(), r.size());
  if (slot < 0) return static_cast<int>(slot);
  return kiln::engine::lib::cstack_result(e, 0);
}

int quote(kiln::engine::engine* e, bool multi) {
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

int run_dirup(kiln::engine::engine* e) { return directory(e, false, true); }
int run_dirdown(kiln::engine::engine* e) { return directory(e, false, false); }
int run_dirupall(kiln::engine::engine* e) { return directory(e, true, true); }
int run_dirdownall(kiln::engine::engine* e) { return directory(e, true, false); }
int run_sufsuball(kiln::engine::engine* e) { return substitute(e, true, true); }
int run_sufsubone(kiln::engine::engine* e) { return substitute(e, true, false); }
int run_presuball(kiln::engine::engine* e) { return substitute(e, false, true); }
int run_presubone(kiln::engine::engine* e) { return substitute(e, false, false); }
int run_suffilter(kiln::engine::engine* e) { return part_filter(e, true, true); }
int run_suffilterout(kiln::engine::engine* e) { return part_filter(e, true, false); }
int run_prefilter(kiln::engine::engine* e) { return part_filter(e, false, true); }
int run_prefilterout(kiln::engine::engine* e) { return part_filter(e, false, false); }
int run_filter(kiln::engine::engine* e) { return word_filter(e, true); }
int run_filterout(kiln::engine::engine* e) { return word_filter(e, false); }
int run_pathsuffix(kiln::engine::engine* e) { return path_function(e, suffix_of, false); }
int run_pathbasename(kiln::engine::engine* e) { return path_function(e, basename_of, false); }
int run_pathdir(kiln::engine::engine* e) { return path_function(e, path_dir, false); }
int run_pathnotdir(kiln::engine::engine* e) { return path_function(e, notdir_of, false); }
int run_pathsimplify(kiln::engine::engine* e) { return path_function(e, simplified, false); }
int run_pathsuffixall(kiln::engine::engine* e) { return path_function(e, suffix_of, true); }
int run_pathbasenameall(kiln::engine::engine* e) { return path_function(e, basename_of, true); }
int run_pathdirall(kiln::engine::engine* e) { return path_function(e, path_dir, true); }
int run_pathnotdirall(kiln::engine::engine* e) { return path_function(e, notdir_of, true); }
int run_pathsimplifyall(kiln::engine::engine* e) { return path_function(e, simplified, true); }
int run_shellescape(kiln::engine::engine* e) { return quote(e, false); }
int run_shellescapemulti(kiln::engine::engine* e) { return quote(e, true); }

}  // namespace kiln::ext
