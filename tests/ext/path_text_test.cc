#include "ext/path_text.h"

#include <gtest/gtest.h>

namespace kiln::ext {
namespace {

TEST(PathText, SuffixOnlyAfterTheLastSlash) {
  EXPECT_EQ(path_suffix("dir.d/file"), "");
  EXPECT_EQ(path_suffix("a.tar.gz"), ".gz");
  EXPECT_EQ(path_suffix("src/a.c"), ".c");
  EXPECT_EQ(path_suffix("noext"), "");
  EXPECT_EQ(path_suffix(".hidden"), ".hidden");
  EXPECT_EQ(path_basename("a.tar.gz"), "a.tar");
  EXPECT_EQ(path_basename("dir.d/file"), "dir.d/file");
  EXPECT_EQ(path_basename("src/a.c"), "src/a");
}

TEST(PathText, DirAndNotdir) {
  EXPECT_EQ(path_dir("a.c"), "./");
  EXPECT_EQ(path_dir("src/lib/a.c"), "src/lib/");
  EXPECT_EQ(path_dir("/a"), "/");
  EXPECT_EQ(path_notdir("src/"), "");
  EXPECT_EQ(path_notdir("src/lib/a.c"), "a.c");
  EXPECT_EQ(path_notdir("a.c"), "a.c");
}

TEST(PathText, DirUpCountsComponents) {
  EXPECT_EQ(dir_up("."), ".");
  EXPECT_EQ(dir_up("lib"), "..");
  EXPECT_EQ(dir_up("lib/sub"), "../..");
  EXPECT_EQ(dir_up("lib/./sub//x/"), "../../..");
  EXPECT_EQ(dir_up("lib/sub/.."), "..");
}

}  // namespace
}  // namespace kiln::ext
