#include "graph/path.h"

#include <vector>

#include "cli/diag.h"

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

}  // namespace

std::string simplify_path(std::string_view path) {
  if (path.empty()) diag::internal_error("simplify: empty path");
  bool absolute = path[0] == '/';
  std::vector<std::string_view> kept;
  for (std::string_view part : components(path)) {
    if (part == "..") {
      if (!kept.empty() && kept.back() != "..") {
        kept.pop_back();
      } else if (!absolute) {
        kept.push_back(part);
      }
    } else {
      kept.push_back(part);
    }
  }
  std::string out;
  out.reserve(path.size());
  if (absolute) out += '/';
  for (size_t i = 0; i < kept.size(); i++) {
    if (i) out += '/';
    out += kept[i];
  }
  if (out.empty()) out = ".";
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
  if (out.empty()) out = ".";
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
  if (!name.empty() && name[0] == '/') return simplify_path(name);
  std::string joined;
  joined.reserve(prefix.size() + 1 + name.size());
  joined += prefix;
  joined += '/';
  joined += name;
  return simplify_path(joined);
}

}  // namespace kiln::graph
