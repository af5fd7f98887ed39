#include "graph/path.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/diag.h"

namespace kiln::graph {

namespace {

// True when simplifying leaves the relative path as it is: no empty, "."
// or (unless leading and dotdot_ok) ".." component.
bool is_simple(std::string_view path, bool dotdot_ok) {
  if (path.empty() || path[0] == '/') return false;
  const char* p = path.data();
  const char* end = p + path.size();
  for (;;) {
    const char* slash = static_cast<const char*>(memchr(p, '/', static_cast<size_t>(end - p)));
    const char* e = slash ? slash : end;
    if (e == p) return false;
    if (*p == '.' && (e - p == 1 || (e - p == 2 && p[1] == '.'))) {
      if (e - p == 1 || !dotdot_ok) return false;
    } else {
      dotdot_ok = false;
    }
    if (!slash) return true;
    p = slash + 1;
  }
}

// The component of the simple path starting at *at; advances past it.
bool next_component(std::string_view path, size_t* at, std::string_view* part) {
  if (*at >= path.size()) return false;
  size_t j = path.find('/', *at);
  if (j == std::string_view::npos) j = path.size();
  *part = path.substr(*at, j - *at);
  *at = j + 1;
  return true;
}

// Appends the components of `path` to the simplified text out[0, *len),
// which starts with "/" when absolute. Never grows past the input lengths.
void fold_components(std::string_view path, bool absolute, char* out, size_t* len) {
  size_t root = absolute ? 1 : 0;  // out[0, root) is never removed
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    i = j + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      // The last kept component starts after the last "/" beyond the root.
      size_t at = *len;
      while (at > root && out[at - 1] != '/') at--;
      std::string_view last(out + at, *len - at);
      if (*len > root && last != "..") {
        *len = at > root ? at - 1 : root;  // drop it with its separator
        continue;
      }
      if (absolute) continue;  // nothing above the root
    }
    if (*len > root) out[(*len)++] = '/';
    memcpy(out + *len, part.data(), part.size());
    *len += part.size();
  }
}

// Joins a relative name after a prefix that is empty, "." or simple, when
// nothing but the name's leading ".." needs folding: writes the rest of the
// prefix, the ".." left over and the rest of the name. SIZE_MAX when the
// name needs the full fold.
size_t join_after_simple(std::string_view prefix, std::string_view name, char* buf) {
  if (!is_simple(name, true)) return SIZE_MAX;
  // Nothing to fold but the name's leading ".." against the prefix's last
  // components: write the rest of the prefix, the ".." left over and the
  // rest of the name.
  std::string_view head = prefix == "." ? std::string_view() : prefix;
  std::string_view rest = name;
  size_t up = 0;
  while (rest.starts_with("..") && (rest.size() == 2 || rest[2] == '/')) {
    up++;
    rest.remove_prefix(rest.size() == 2 ? 2 : 3);
  }
  while (up > 0 && !head.empty()) {
    size_t slash = head.rfind('/');
    size_t at = slash == std::string_view::npos ? 0 : slash + 1;
    if (head.substr(at) == "..") break;  // only ".." remain in the prefix
    head = head.substr(0, at == 0 ? 0 : at - 1);
    up--;
  }
  size_t len = 0;
  auto put = [&](std::string_view part) {
    if (len > 0) buf[len++] = '/';
    memcpy(buf + len, part.data(), part.size());
    len += part.size();
  };
  if (!head.empty()) put(head);
  for (; up > 0; up--) put("..");
  if (!rest.empty()) put(rest);
  if (len == 0) buf[len++] = '.';
  buf[len] = '\0';
  return len;
}

}  // namespace

size_t join_simplify_into(std::string_view prefix, std::string_view name, char* buf, size_t cap) {
  bool name_absolute = !name.empty() && name[0] == '/';
  if (name_absolute) prefix = std::string_view();
  if (prefix.empty() && name.empty()) diag::internal_error("simplify: empty path");
  if (prefix.size() + name.size() + 2 > cap) return SIZE_MAX;
  if (!name_absolute && (prefix.empty() || prefix == "." || is_simple(prefix, true))) {
    size_t n = join_after_simple(prefix, name, buf);
    if (n != SIZE_MAX) return n;
  }
  bool absolute = name_absolute || (!prefix.empty() && prefix[0] == '/');
  size_t len = 0;
  if (absolute) buf[len++] = '/';
  fold_components(prefix, absolute, buf, &len);
  fold_components(name, absolute, buf, &len);
  if (len == 0) buf[len++] = '.';
  buf[len] = '\0';
  return len;
}

std::string simplify_path(std::string_view path) {
  if (path.empty()) diag::internal_error("simplify: empty path");
  std::string out(path.size() + 2, '\0');
  size_t n = join_simplify_into(std::string_view(), path, out.data(), out.size());
  out.resize(n);
  return out;
}

std::string relative_path(std::string_view directory, std::string_view path) {
  if ((!path.empty() && path[0] == '/') || directory == ".") return std::string(path);
  if (path.size() > directory.size() && path.substr(0, directory.size()) == directory &&
      path[directory.size()] == '/') {
    return std::string(path.substr(directory.size() + 1));
  }
  // Names from the string table are already simple: copy only the others.
  std::string dir_text, path_text;
  std::string_view dir = directory, target = path;
  if (dir != "." && !is_simple(dir, true)) dir = dir_text = simplify_path(directory);
  if (!is_simple(target, true)) target = path_text = simplify_path(path);
  if (dir[0] == '/' || dir == ".." || dir.starts_with("../")) {
    diag::internal_error("relative path: directory outside the top");
  }
  if (dir == ".") dir = std::string_view();
  if (target == ".") target = std::string_view();
  // Skip the common leading components.
  size_t di = 0, ti = 0;
  for (;;) {
    size_t dj = di, tj = ti;
    std::string_view a, b;
    if (!next_component(dir, &dj, &a) || !next_component(target, &tj, &b) || a != b) break;
    di = dj;
    ti = tj;
  }
  size_t up = 0;
  if (di < dir.size()) up = static_cast<size_t>(std::count(dir.begin() + di, dir.end(), '/')) + 1;
  std::string_view rest = ti < target.size() ? target.substr(ti) : std::string_view();
  if (up == 0) return rest.empty() ? std::string(".") : std::string(rest);
  std::string out;
  out.reserve(3 * up + rest.size());
  for (size_t i = 0; i < up; i++) out += i ? "/.." : "..";
  if (!rest.empty()) {
    out += '/';
    out += rest;
  }
  return out;
}

bool is_simple_prefix(std::string_view prefix) {
  return prefix.empty() || prefix == "." || is_simple(prefix, true);
}

size_t join_simple_prefix_into(std::string_view prefix, std::string_view name, char* buf,
                               size_t cap) {
  if (prefix.size() + name.size() + 2 <= cap && !name.empty() && name[0] != '/') {
    size_t n = join_after_simple(prefix, name, buf);
    if (n != SIZE_MAX) return n;
  }
  return join_simplify_into(prefix, name, buf, cap);
}

std::string join_simplify(std::string_view prefix, std::string_view name) {
  std::string out(prefix.size() + name.size() + 2, '\0');
  size_t n = join_simplify_into(prefix, name, out.data(), out.size());
  out.resize(n);
  return out;
}

}  // namespace kiln::graph
