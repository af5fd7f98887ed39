// A scratch directory for one test, removed with everything in it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kiln::db::testing {

class temp_dir {
 public:
  temp_dir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kiln_db_XXXXXX";
    path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~temp_dir() {
    if (!path_.empty()) system(("rm -rf '" + path_ + "'").c_str());
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  void write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary);
    out << content;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string path_;
};

}  // namespace kiln::db::testing
