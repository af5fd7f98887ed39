#include "db/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kiln::db {
namespace {

FILE* stream_of(const std::string& text) {
  FILE* f = tmpfile();
  fwrite(text.data(), 1, text.size(), f);
  rewind(f);
  return f;
}

TEST(LineReader, LinesAcrossReadBlocksComeBackWhole) {
  // Lines of growing length, so that many straddle the 64 KiB blocks and
  // some outgrow the line buffer several times.
  std::vector<std::string> lines;
  std::string text;
  for (int i = 0; i < 400; i++) {
    std::string line(static_cast<size_t>(i * i % 9000), static_cast<char>('a' + i % 26));
    line += '\n';
    lines.push_back(line);
    text += line;
  }
  text += "last without newline";
  FILE* f = stream_of(text);
  line_reader r(f);
  for (const std::string& want : lines) {
    ASSERT_EQ(r.next(), static_cast<long>(want.size()));
    ASSERT_EQ(std::string(r.data(), r.size()), want);
  }
  EXPECT_EQ(r.next(), 20);
  EXPECT_STREQ(r.data(), "last without newline");
  EXPECT_EQ(r.next(), 0);
  EXPECT_EQ(r.next(), 0);
  fclose(f);
}

TEST(LineReader, ViewedLinesAcrossReadBlocksComeBackWhole) {
  // Viewed lines point into the read-ahead block unless they straddle two
  // blocks, so both paths and the switch between them are exercised.
  std::string text;
  std::vector<std::string> lines;
  for (int i = 0; i < 3000; i++) {
    std::string line(static_cast<size_t>(i * 37 % 700), static_cast<char>('a' + i % 26));
    line += '\n';
    lines.push_back(line);
    text += line;
  }
  text += "tail";
  FILE* f = stream_of(text);
  line_reader r(f);
  const char* line = nullptr;
  for (const std::string& want : lines) {
    long n = r.next_view(&line);
    ASSERT_EQ(n, static_cast<long>(want.size()));
    ASSERT_EQ(std::string(line, static_cast<size_t>(n)), want);
  }
  ASSERT_EQ(r.next_view(&line), 4);
  EXPECT_EQ(std::string(line, 4), "tail");
  EXPECT_EQ(r.next_view(&line), 0);
  fclose(f);
}

TEST(LineReader, KeepsNulBytesAndAppendsContinuations) {
  FILE* f = stream_of(std::string("a\0b\\\nc\n\nd", 9));
  line_reader r(f);
  ASSERT_EQ(r.next(), 5);
  EXPECT_EQ(std::string(r.data(), r.size()), std::string("a\0b\\\n", 5));
  ASSERT_EQ(r.append_next(), 2);
  EXPECT_EQ(std::string(r.data(), r.size()), std::string("a\0b\\\nc\n", 7));
  EXPECT_EQ(r.next(), 1);
  EXPECT_EQ(r.next(), 1);
  EXPECT_EQ(r.append_next(), 0);
  EXPECT_EQ(std::string(r.data(), r.size()), "d");
  fclose(f);
}

}  // namespace
}  // namespace kiln::db
