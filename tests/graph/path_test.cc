#include "graph/path.h"

#include <gtest/gtest.h>

namespace kiln::graph {
namespace {

TEST(SimplifyPath, DropsEmptyAndDotComponents) {
  EXPECT_EQ(simplify_path("."), ".");
  EXPECT_EQ(simplify_path("./a"), "a");
  EXPECT_EQ(simplify_path("a//b/./c/"), "a/b/c");
  EXPECT_EQ(simplify_path("././"), ".");
  EXPECT_EQ(simplify_path("a/."), "a");
}

TEST(SimplifyPath, FoldsDotDot) {
  EXPECT_EQ(simplify_path("a/b/../c"), "a/c");
  EXPECT_EQ(simplify_path("a/.."), ".");
  EXPECT_EQ(simplify_path("../a"), "../a");
  EXPECT_EQ(simplify_path("a/../../b"), "../b");
  EXPECT_EQ(simplify_path("../../x/../y"), "../../y");
  EXPECT_EQ(simplify_path(".."), "..");
  EXPECT_EQ(simplify_path("a/b/c/../../.."), ".");
}

TEST(SimplifyPath, AbsolutePaths) {
  EXPECT_EQ(simplify_path("/"), "/");
  EXPECT_EQ(simplify_path("/.."), "/");
  EXPECT_EQ(simplify_path("/../a"), "/a");
  EXPECT_EQ(simplify_path("//usr///include/./"), "/usr/include");
  EXPECT_EQ(simplify_path("/a/b/../../.."), "/");
}

TEST(SimplifyPath, EmptyTextIsInternalError) { EXPECT_DEATH(simplify_path(""), ""); }

TEST(JoinSimplify, PrefixesRelativeNamesOnly) {
  EXPECT_EQ(join_simplify(".", "a.o"), "a.o");
  EXPECT_EQ(join_simplify("src", "../include/a.h"), "include/a.h");
  EXPECT_EQ(join_simplify("src/lib", "/abs/x"), "/abs/x");
  EXPECT_EQ(join_simplify("src", "../../up"), "../up");
  EXPECT_EQ(join_simplify("src", "."), "src");
}

TEST(RelativePath, Examples) {
  EXPECT_EQ(relative_path("src/lib", "src/include/a.h"), "../include/a.h");
  EXPECT_EQ(relative_path("a", "b"), "../b");
  EXPECT_EQ(relative_path(".", "x/y"), "x/y");
  EXPECT_EQ(relative_path("src", "src/a.c"), "a.c");
  EXPECT_EQ(relative_path("src", "/usr/include/stdio.h"), "/usr/include/stdio.h");
}

TEST(RelativePath, Corners) {
  // The directory itself, and one of its parents.
  EXPECT_EQ(relative_path("a/b", "a/b"), ".");
  EXPECT_EQ(relative_path("a/b", "a"), "..");
  // A shared text prefix is not a shared component.
  EXPECT_EQ(relative_path("ab", "abc/x"), "../abc/x");
  // Unsimplified inputs are simplified first.
  EXPECT_EQ(relative_path("a/./b/", "a//c"), "../c");
  // The prefix fast path keeps the rest as it is.
  EXPECT_EQ(relative_path("a", "a/./x"), "./x");
  // A path above the top stays above it.
  EXPECT_EQ(relative_path("a", "../z"), "../../z");
}

TEST(RelativePath, DirectoryOutsideTheTopIsInternalError) {
  EXPECT_DEATH(relative_path("/abs", "x"), "");
  EXPECT_DEATH(relative_path("../up", "x"), "");
}

// Names that need no folding skip it; components that merely start with a
// dot are ordinary names, while trailing "." and ".." still fold.
TEST(JoinSimplify, SimpleAndDotLikeNamesJoinAsFolding) {
  EXPECT_EQ(join_simplify("..", "x"), "../x");
  EXPECT_EQ(join_simplify("d/.e", "..f/.g"), "d/.e/..f/.g");
  EXPECT_EQ(join_simplify("a", "b/.."), "a");
  EXPECT_EQ(join_simplify("a", "b/."), "a/b");
  EXPECT_EQ(join_simplify("a/../b", "c"), "b/c");
  EXPECT_EQ(join_simplify("d6", "../include/h.h"), "include/h.h");
  EXPECT_EQ(join_simplify("../a", "../../x"), "../../x");
  EXPECT_EQ(join_simplify("a/b", "../../.."), "..");
  EXPECT_EQ(relative_path("a/.b", "a/..c"), "../..c");
  EXPECT_EQ(relative_path("x/y/z", "q"), "../../../q");
  EXPECT_EQ(relative_path("a", "."), "..");
  EXPECT_EQ(relative_path("x/y", "x/../z"), "../../z");
}

}  // namespace
}  // namespace kiln::graph

namespace kiln::graph {
namespace {

TEST(JoinSimplifyInto, WritesIntoBufferOrRefuses) {
  char buf[16];
  size_t n = join_simplify_into("sub/dir", "../x.o", buf, sizeof(buf));
  EXPECT_EQ(n, 7u);
  EXPECT_STREQ(buf, "sub/x.o");
  EXPECT_EQ(join_simplify_into("", "./a//b", buf, sizeof(buf)), 3u);
  EXPECT_STREQ(buf, "a/b");
  EXPECT_EQ(join_simplify_into("a", "..", buf, sizeof(buf)), 1u);
  EXPECT_STREQ(buf, ".");
  EXPECT_EQ(join_simplify_into("/top", "../../..", buf, sizeof(buf)), 1u);
  EXPECT_STREQ(buf, "/");
  // prefix + name + 2 bytes are needed, whatever the simplified length.
  buf[0] = 'z';
  EXPECT_EQ(join_simplify_into("abcdefg", "hijklmno", buf, sizeof(buf)), SIZE_MAX);
  EXPECT_EQ(buf[0], 'z');
  EXPECT_EQ(join_simplify_into("abcdefg", "hijklmn", buf, sizeof(buf)), 15u);
  EXPECT_STREQ(buf, "abcdefg/hijklmn");
}

TEST(SimplifyPath, LongPathsNeedNoBuffer) {
  std::string deep;
  for (int i = 0; i < 600; i++) deep += "d/./";
  std::string expect;
  for (int i = 0; i < 600; i++) expect += i ? "/d" : "d";
  EXPECT_EQ(simplify_path(deep), expect);
  EXPECT_EQ(simplify_path(deep + std::string(1200, '/') + "x/.."), expect);
}

}  // namespace
}  // namespace kiln::graph

