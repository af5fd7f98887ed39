#include "db/quoting.h"

#include <gtest/gtest.h>

#include <string>

namespace kiln::db {
namespace {

std::string quote(const std::string& s) {
  std::string out;
  append_quoted(out, s.data(), s.size());
  return out;
}

// Reads a quoted string; the error code on failure.
long unquote(const std::string& line, std::string* out, std::string* bad = nullptr) {
  std::string scratch;
  return read_quoted(line.data(), line.size(), 0, *out, bad ? *bad : scratch);
}

TEST(Quoting, WritesEachByteClassAsDocumented) {
  db_init_escapes();
  EXPECT_EQ(quote("cc -c a.c"), "\"cc -c a.c\"");
  EXPECT_EQ(quote("\"'\\"), "\"\\\"\\'\\\\\"");
  EXPECT_EQ(quote("\n\r\t"), "\"\\n\\r\\t\"");
  EXPECT_EQ(quote(std::string("\0\x1f\x7f", 3)), "\"\\x00\\x1f\\x7f\"");
  EXPECT_EQ(quote("\xc8"), "\"\\xc8\"");
  EXPECT_EQ(quote("~ "), "\"~ \"");
}

TEST(Quoting, EveryByteSurvivesAWriteAndARead) {
  std::string all;
  for (int c = 0; c < 256; c++) all += static_cast<char>(c);
  std::string line = quote(all) + " tail";
  std::string back;
  long end = unquote(line, &back);
  ASSERT_GT(end, 0);
  EXPECT_EQ(back, all);
  EXPECT_EQ(line.substr(static_cast<size_t>(end)), " tail");
}

TEST(Quoting, ReadsUnicodeEscapesAsUtf8) {
  std::string out;
  ASSERT_GT(unquote("\"\\u0041\\u00e9\\u20AC\\u0000\"", &out), 0);
  EXPECT_EQ(out, std::string("A\xc3\xa9\xe2\x82\xac\0", 7));
}

TEST(Quoting, OtherBackslashPairsStandForTheCharacter) {
  std::string out;
  ASSERT_GT(unquote("\"\\a\\ \\:\\x41\\X\"", &out), 0);
  EXPECT_EQ(out, "a :AX");
}

TEST(Quoting, MalformedEscapesReportTheOffendingCharacters) {
  std::string out, bad;
  EXPECT_EQ(unquote("\"\\u12g4\"", &out, &bad), k_quoted_bad_u);
  EXPECT_EQ(bad, "12g4");
  EXPECT_EQ(unquote("\"\\u12\n", &out, &bad), k_quoted_bad_u);
  EXPECT_EQ(bad, "12");
  EXPECT_EQ(unquote("\"\\xz1\"", &out, &bad), k_quoted_bad_x);
  EXPECT_EQ(bad, "z1");
  EXPECT_EQ(unquote("\"\\x4", &out, &bad), k_quoted_bad_x);
  EXPECT_EQ(bad, "4");
}

TEST(Quoting, UnterminatedStrings) {
  std::string out;
  EXPECT_EQ(unquote("\"abc", &out), k_quoted_unterminated);
  EXPECT_EQ(unquote("\"abc\n\"", &out), k_quoted_unterminated);
  EXPECT_EQ(unquote("\"abc\\", &out), k_quoted_unterminated);
  EXPECT_EQ(unquote("\"abc\\\"", &out), k_quoted_unterminated);
}

}  // namespace
}  // namespace kiln::db
