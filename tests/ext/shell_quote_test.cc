#include "ext/shell_quote.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kiln::ext {
namespace {

TEST(ShellQuote, EscapesTheDesignatedBytes) {
  EXPECT_EQ(shell_escape("it's a file"), "it\\'s\\ a\\ file");
  EXPECT_EQ(shell_escape(""), "");
  EXPECT_EQ(shell_escape("plain-word_1.c/x+y,z:@"), "plain-word_1.c/x+y,z:@");
  EXPECT_EQ(shell_escape("a\tb\nc"), "a\"\t\"b\"\n\"c");
  EXPECT_EQ(shell_escape("$HOME*;<>?[]^`{}|~!\"#%&()="),
            "\\$HOME\\*\\;\\<\\>\\?\\[\\]\\^\\`\\{\\}\\|\\~\\!\\\"\\#\\%\\&\\(\\)\\=");
  EXPECT_EQ(shell_escape("\\"), "\\\\");
}

// The point of the quoting: the shell reads every byte back unchanged.
TEST(ShellQuote, RoundTripsThroughTheShell) {
  std::string nasty;
  for (int c = 1; c < 256; c++) nasty += static_cast<char>(c);
  std::string cmd = "printf '%s' " + shell_escape(nasty);
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, nasty);
}

}  // namespace
}  // namespace kiln::ext
