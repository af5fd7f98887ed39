// Textual path operations: no file-system access.
#pragma once

#include <string>
#include <string_view>

namespace kiln::graph {

// Simplifies a path: empty and "." components dropped, ".." folded into
// the previous component (kept at the start of a relative path, dropped at
// the root of an absolute one); "." for an empty relative result, "/" for
// an empty absolute one. An empty text is internal error.
std::string simplify_path(std::string_view path);

// The path, both given relative to the top directory, as seen from the
// directory: src/include/a.h from src/lib is ../include/a.h.
std::string relative_path(std::string_view directory, std::string_view path);

// Joins name after prefix ("%s/%s") unless name is absolute, then
// simplifies; the way every target and dependency name is made.
std::string join_simplify(std::string_view prefix, std::string_view name);

// The same without allocating: writes the NUL-terminated result into buf
// and returns its length, or SIZE_MAX (buf untouched) when cap is below
// prefix + name + 2 bytes. An empty prefix stands for no prefix.
size_t join_simplify_into(std::string_view prefix, std::string_view name, char* buf, size_t cap);

// True when the prefix is empty, "." or already simple (relative, no empty
// or "." component, ".." only leading).
bool is_simple_prefix(std::string_view prefix);

// join_simplify_into for a prefix that is_simple_prefix: the same result,
// only the name is checked.
size_t join_simple_prefix_into(std::string_view prefix, std::string_view name, char* buf,
                               size_t cap);

}  // namespace kiln::graph
