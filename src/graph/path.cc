#include "graph/path.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/diag.h"

namespace kiln::graph {

namespace {

// Splits a path at "/" into its non-empty components other than ".".
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (!part.empty() && part != ".") parts.push_back(part);
    i = j + 1;
  }
  return parts;
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

}  // namespace

size_t join_simplify_into(std::string_view prefix, std::string_view name, char* buf, size_t cap) {
  bool name_absolute = !name.empty() && name[0] == '/';
  if (name_absolute) prefix = std::string_view();
  if (prefix.empty() && name.empty()) diag::internal_error("simplify: empty path");
  if (prefix.size() + name.size() + 2 > cap) return SIZE_MAX;
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
  std::string dir = simplify_path(directory);
  std::string target = simplify_path(path);
  if (dir[0] == '/' || dir == ".." || dir.starts_with("../")) {
    diag::internal_error("relative path: directory outside the top");
  }
  std::vector<std::string_view> dparts = components(dir);
  std::vector<std::string_view> pparts = components(target);
  size_t common = 0;
  while (common < dparts.size() && common < pparts.size() && dparts[common] == pparts[common]) {
    common++;
  }
  std::string out;
  for (size_t i = common; i < dparts.size(); i++) {
    if (!out.empty()) out += '/';
    out += "..";
  }
  if (out.empty()) out.push_back('.');
  out += '/';
  size_t rest_start = out.size();
  for (size_t i = common; i < pparts.size(); i++) {
    if (out.size() > rest_start) out += '/';
    out += pparts[i];
  }
  if (out.size() == rest_start) out += '.';
  return simplify_path(out);
}

std::string join_simplify(std::string_view prefix, std::string_view name) {
  std::string out(prefix.size() + name.size() + 2, '\0');
  size_t n = join_simplify_into(prefix, name, out.data(), out.size());
  out.resize(n);
  return out;
}

}  // namespace kiln::graph
