// The textual path functions behind @pathsuffix, @pathbasename, @pathdir,
// @pathnotdir, @pathsimplify and @dirup: pure string work, no file system.
#pragma once

#include <string>
#include <string_view>

namespace kiln::ext {

// From the last "." to the end when that "." comes after the last "/";
// otherwise "". "dir.d/file" has no suffix; "a.tar.gz" has ".gz".
std::string_view path_suffix(std::string_view path);

// The path without its suffix; the path itself when it has none.
std::string_view path_basename(std::string_view path);

// Up to and including the last "/"; "./" when there is no "/".
std::string path_dir(std::string_view path);

// After the last "/"; the path itself when there is no "/".
std::string_view path_notdir(std::string_view path);

// The way back up from a directory: "." for "."; n components give n ".."
// joined by "/" (the directory is simplified first).
std::string dir_up(std::string_view directory);

}  // namespace kiln::ext
