// File-system built-ins of the extension: @glob and @jsonin run in the
// current scope's directory; @abspath and @access resolve against kiln's
// working directory, the top directory. Also the regular-expression
// filters.
#include <fcntl.h>
#include <glob.h>
#include <regex.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/result_codes.h"
#include "engine/operands.h"
#include "ext/builtins.h"
#include "ext/extension.h"
#include "json/reader.h"

namespace kiln::ext {

using namespace kiln::engine;
using kiln::engine::lib::operand;
using kiln::engine::lib::string_arg;

namespace {

// Runs fn in the current scope's directory and comes back; error 4099
// when either change of directory fails.
template <typename function>
int in_scope_directory(kiln::engine::engine* e, function fn) {
  int saved = open(".", O_RDONLY | O_CLOEXEC);
  if (saved < 0) return set_error(e, err_directory_not_found, make_nil(), errno, base::rc_not_found);
  std::string dir = current_directory(e);
  if (chdir(dir.c_str()) != 0) {
    close(saved);
    return set_error(e, err_directory_not_found, make_nil(), errno, base::rc_not_found);
  }
  int rc = fn();
  int back = fchdir(saved);
  close(saved);
  if (back != 0) return set_error(e, err_directory_not_found, make_nil(), errno, base::rc_not_found);
  return rc;
}

// The string operand as a C string; false when it holds a NUL byte.
bool c_string(kiln::engine::engine* e, size_t i, std::string* out) {
  std::string_view s;
  if (string_arg(e, i, &s) != 0) return false;
  if (memchr(s.data(), '\0', s.size())) return false;
  out->assign(s);
  return true;
}

int glob_builtin(kiln::engine::engine* e) {
  std::string pattern;
  if (!c_string(e, 1, &pattern)) {
    if (e->err.code) return base::rc_invalid;
    return set_error(e, err_glob_failed, operand(e, 1), -1, base::rc_invalid);
  }
  std::vector<std::string> found;
  int rc = in_scope_directory(e, [&] {
    glob_t g;
    memset(&g, 0, sizeof g);
    int r = glob(pattern.c_str(), 0, nullptr, &g);
    if (r == 0) {
      for (size_t i = 0; i < g.gl_pathc; i++) found.emplace_back(g.gl_pathv[i]);
    }
    globfree(&g);
    if (r != 0 && r != GLOB_NOMATCH) return set_error(e, err_glob_failed, operand(e, 1), r, base::rc_invalid);
    return 0;
  });
  if (rc) return rc;
  return strings_result(e, 1, found);
}

int jsonin_builtin(kiln::engine::engine* e) {
  std::string name;
  if (!c_string(e, 1, &name)) {
    if (e->err.code) return base::rc_invalid;
    return set_error(e, err_bad_json, operand(e, 1), -1, base::rc_invalid);
  }
  int rc = in_scope_directory(e, [&] {
    if (json::json_read_file(e, name.c_str()) != 0) {
      return set_error(e, err_bad_json, operand(e, 1), -1, base::rc_invalid);
    }
    return 0;
  });
  if (rc) return rc;
  // The value lies on top of the file name, which it replaces.
  return replace_top(e, 2, operand(e, 1));
}

int abspath_builtin(kiln::engine::engine* e) {
  std::string path;
  if (!c_string(e, 1, &path)) {
    if (e->err.code) return base::rc_invalid;
    return set_error(e, err_file_open_error, operand(e, 1), EINVAL, -EINVAL);
  }
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return set_error(e, err_file_open_error, operand(e, 1), errno, -errno);
  int rc = string_result(e, 1, real);
  free(real);
  return rc;
}

int access_builtin(kiln::engine::engine* e) {
  std::string path;
  std::string_view given;
  std::string_view mode;
  if (int rc = string_arg(e, 2, &given)) return rc;
  if (int rc = string_arg(e, 1, &mode)) return rc;
  int how = -1;
  if (mode == "f") how = F_OK;
  if (mode == "r") how = R_OK;
  if (mode == "w") how = W_OK;
  if (mode == "x") how = X_OK;
  if (how < 0) return set_error(e, err_invalid_mode, operand(e, 1), -1, base::rc_invalid);
  bool ok = c_string(e, 2, &path) && access(path.c_str(), how) == 0;
  return kiln::engine::lib::result(e, 2, make_bool(ok));
}

int regex_filter(kiln::engine::engine* e, bool extended) {
  std::vector<std::string_view> items;
  if (int rc = list_arg(e, 3, &items)) return rc;
  const value& keep_value = operand(e, 2);
  if (!is_number_type(keep_value.type)) return set_error(e, err_expected_boolean, keep_value, -2, base::rc_invalid);
  bool keep = keep_value.num != 0;
  std::string pattern;
  if (!c_string(e, 1, &pattern)) {
    if (e->err.code) return base::rc_invalid;
    return set_error(e, err_invalid_regex, operand(e, 1), -1, base::rc_invalid);
  }
  regex_t re;
  if (regcomp(&re, pattern.c_str(), REG_NOSUB | (extended ? REG_EXTENDED : 0)) != 0) {
    return set_error(e, err_invalid_regex, operand(e, 1), -1, base::rc_invalid);
  }
  std::vector<std::string> out;
  for (std::string_view s : items) {
    bool match = false;
    if (!memchr(s.data(), '\0', s.size())) {
      std::string text(s);
      match = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    }
    if (match == keep) out.emplace_back(s);
  }
  regfree(&re);
  return strings_result(e, 3, out);
}

}  // namespace

int run_glob(kiln::engine::engine* e) { return glob_builtin(e); }
int run_jsonin(kiln::engine::engine* e) { return jsonin_builtin(e); }
int run_abspath(kiln::engine::engine* e) { return abspath_builtin(e); }
int run_regfilter(kiln::engine::engine* e) { return regex_filter(e, false); }
int run_eregfilter(kiln::engine::engine* e) { return regex_filter(e, true); }
int run_access(kiln::engine::engine* e) { return access_builtin(e); }

}  // namespace kiln::ext
