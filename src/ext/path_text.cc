#include "ext/path_text.h"

#include "graph/path.h"

namespace kiln::ext {

std::string_view path_suffix(std::string_view path) {
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  size_t slash = path.rfind('/');
  if (slash != std::string_view::npos && slash > dot) return {};
  return path.substr(dot);
}

std::string_view path_basename(std::string_view path) {
  return path.substr(0, path.size() - path_suffix(path).size());
}

std::string path_dir(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "./";
  return std::string(path.substr(0, slash + 1));
}

std::string_view path_notdir(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return path;
  return path.substr(slash + 1);
}

std::string dir_up(std::string_view directory) {
  if (directory.empty()) return ".";
  std::string simple = graph::simplify_path(directory);
  if (simple == ".") return simple;
  std::string up = "..";
  for (char c : simple) {
    if (c == '/') up += "/..";
  }
  return up;
}

}  // namespace kiln::ext
