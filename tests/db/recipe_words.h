// Command vectors laid out as a rule holds them, for tests.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kiln::db::testing {

// Command vectors of a rule, kept alive for the test.
struct recipe_words {
  std::vector<std::vector<char*>> words;
  std::vector<char**> commands;

  explicit recipe_words(std::vector<std::vector<std::string>> cmds) {
    for (auto& c : cmds) {
      std::vector<char*> w;
      for (auto& s : c) w.push_back(strdup(s.c_str()));
      w.push_back(nullptr);
      words.push_back(std::move(w));
    }
    for (auto& w : words) commands.push_back(w.data());
  }
  ~recipe_words() {
    for (auto& w : words)
      for (char* s : w) free(s);
  }
};

}  // namespace kiln::db::testing
