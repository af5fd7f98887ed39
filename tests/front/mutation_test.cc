// Randomised robustness test of the lexer and parser: mutated versions of
// the valid Kilnfiles in the corpus must parse or fail cleanly, never
// crash, and leave the engine stack empty.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "front_harness.h"

#ifndef KILN_FRONT_CORPUS
#define KILN_FRONT_CORPUS "tests/front/corpus"
#endif

namespace kiln::front {
namespace {

std::vector<std::string> load_corpus() {
  std::vector<std::string> files;
  for (const char* name : {"functions.kiln", "scopes.kiln", "loops.kiln"}) {
    std::ifstream in(std::string(KILN_FRONT_CORPUS) + "/" + name);
    std::stringstream ss;
    ss << in.rdbuf();
    files.push_back(ss.str());
  }
  return files;
}

// One random edit: delete, duplicate, replace a byte, or splice a token.
std::string mutate(const std::string& s, std::mt19937& rng) {
  static const char* const pieces[] = {"(", ")", "[", "]", "{", "}", "$", "@", "\n", "\t",
                                       "\"", "@endif", "@break", "=", "<>", ",", "#", "\\\n",
                                       "@return", "@endfor", "@function $z()\n", "-"};
  std::string out = s;
  int edits = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < edits && !out.empty(); i++) {
    size_t at = rng() % out.size();
    switch (rng() % 4) {
      case 0: out.erase(at, 1 + rng() % 3); break;
      case 1: out.insert(at, out.substr(at, 1 + rng() % 8)); break;
      case 2: out[at] = static_cast<char>(32 + rng() % 95); break;
      default: out.insert(at, pieces[rng() % (sizeof pieces / sizeof *pieces)]); break;
    }
  }
  return out;
}

TEST(Mutation, CorpusParsesCleanly) {
  for (const std::string& text : load_corpus()) {
    ASSERT_FALSE(text.empty()) << "corpus missing";
    testing::kilnfile_runner k;
    auto r = k.parse(text);
    EXPECT_EQ(r.rc, 0) << r.err;
  }
}

TEST(Mutation, MutatedFilesNeverCrash) {
  std::vector<std::string> corpus = load_corpus();
  std::mt19937 rng(12345);
  int failures = 0;
  for (int round = 0; round < 600; round++) {
    std::string text = mutate(corpus[round % corpus.size()], rng);
    // Bad escapes in strings end the process by design; keep them out.
    if (text.find("\\u") != std::string::npos || text.find("\\x") != std::string::npos) continue;
    testing::kilnfile_runner k;
    auto r = k.parse(text);
    if (r.rc != 0) failures++;
    ASSERT_EQ(k.eng()->stack.length, 0u) << text;
  }
  EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace kiln::front
