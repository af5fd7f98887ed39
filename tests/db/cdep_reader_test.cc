#include "db/cdep_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace kiln::db {
namespace {

using strings = std::vector<std::string>;

// Reads a dependency file held in memory with the given base directory.
int read_text(const std::string& text, cdep_context& ctx) {
  FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (text.empty()) f = fopen("/dev/null", "r");
  int r = read_cdep_file(f, ctx);
  fclose(f);
  return r;
}

std::vector<dep_rule_line> read_ok(const std::string& text, const std::string& base = ".") {
  cdep_context ctx;
  ctx.base = base;
  EXPECT_EQ(read_text(text, ctx), 0) << text;
  return ctx.lines;
}

int read_status(const std::string& text) {
  cdep_context ctx;
  return read_text(text, ctx);
}

TEST(CdepReader, CompilerLineWithContinuationResolvesAgainstTheBase) {
  auto lines = read_ok("obj/a.o: src/a.c src/a.h \\\n include/b.h\n", "sub");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].targets, strings{"sub/obj/a.o"});
  EXPECT_EQ(lines[0].deps, (strings{"sub/src/a.c", "sub/src/a.h", "sub/include/b.h"}));
}

TEST(CdepReader, EscapedBlanksAndDollarsInNames) {
  auto lines = read_ok("my\\ file.o: a$$b.h x\\#y.h\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].targets, strings{"my file.o"});
  EXPECT_EQ(lines[0].deps, (strings{"a$b.h", "x#y.h"}));
}

TEST(CdepReader, TwoTargetsShareTheDependencies) {
  auto lines = read_ok("a.o b.o: x.h\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].targets, (strings{"a.o", "b.o"}));
  EXPECT_EQ(lines[0].deps, strings{"x.h"});
}

TEST(CdepReader, PathsAreSimplifiedAndAbsoluteNamesKept) {
  auto lines = read_ok("./o/../a.o : /usr/include/x.h ../up.h .//b.h\n", "src/lib");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].targets, strings{"src/lib/a.o"});
  EXPECT_EQ(lines[0].deps, (strings{"/usr/include/x.h", "src/up.h", "src/lib/b.h"}));
}

TEST(CdepReader, EmptyAndBlankFilesAddNothing) {
  EXPECT_TRUE(read_ok("").empty());
  EXPECT_TRUE(read_ok("\n   \n\t\n \\\n  \n").empty());
}

TEST(CdepReader, TargetWithoutDependenciesAndLastLineWithoutNewline) {
  auto lines = read_ok("a.h:\n\nb.o: b.c");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].targets, strings{"a.h"});
  EXPECT_TRUE(lines[0].deps.empty());
  EXPECT_EQ(lines[1].deps, strings{"b.c"});
}

TEST(CdepReader, EscapedFinalBackslashDoesNotContinue) {
  // "a\\" ends in an escaped backslash: the next physical line is a new rule.
  auto lines = read_ok("t: a\\\\\nu: b\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].deps, strings{"a\\"});
  EXPECT_EQ(lines[1].targets, strings{"u"});
  // Three backslashes: one escaped pair, then a continuation.
  lines = read_ok("t: a\\\\\\\nb\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].deps, (strings{"a\\", "b"}));
}

TEST(CdepReader, ContinuationInsideTheTargetList) {
  auto lines = read_ok("a.o \\\n  b.o \\\n : c.h\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].targets, (strings{"a.o", "b.o"}));
  EXPECT_EQ(lines[0].deps, strings{"c.h"});
}

TEST(CdepReader, AutotargetAddsTheFileItselfFirst) {
  cdep_context ctx;
  ctx.base = "src";
  ctx.has_extra_target = true;
  ctx.extra_target = "a.d";
  ASSERT_EQ(read_text("a.o: a.c\nb.h:\n", ctx), 0);
  ASSERT_EQ(ctx.lines.size(), 2u);
  EXPECT_EQ(ctx.lines[0].targets, (strings{"src/a.d", "src/a.o"}));
  EXPECT_EQ(ctx.lines[1].targets, (strings{"src/a.d", "src/b.h"}));
}

TEST(CdepReader, FormatErrorsRejectTheWholeFile) {
  EXPECT_EQ(read_status("a.o b.o\n"), -1);          // no colon
  EXPECT_EQ(read_status("a.o\n"), -1);
  EXPECT_EQ(read_status("a.o: b: c\n"), -1);        // second colon
  EXPECT_EQ(read_status("a.o: b$c\n"), -1);         // "$" not doubled
  EXPECT_EQ(read_status("a.o: b$\n"), -1);          // lone "$" at the end
  EXPECT_EQ(read_status("a.o: b\\"), -1);           // lone backslash at the end
  EXPECT_EQ(read_status("a$x.o: b\n"), -1);
  // A good line before the bad one is not kept.
  cdep_context ctx;
  ctx.lines.push_back({{"old"}, {}});
  EXPECT_EQ(read_text("a.o: b.h\nbroken\n", ctx), -1);
  ASSERT_EQ(ctx.lines.size(), 1u);
  EXPECT_EQ(ctx.lines[0].targets, strings{"old"});
  EXPECT_EQ(ctx.error_line, 2u);
}

// No path holds a NUL byte: one in a name, plain or escaped, is a format
// error of the line that holds it (the line where its logical line
// begins), never a name handed on to the rule graph.
TEST(CdepReader, NulByteInANameIsAFormatErrorWithItsLine) {
  const std::string nul(1, '\0');
  struct {
    std::string text;
    size_t line;
  } cases[] = {
      {"a.o: a.c x" + nul + "y.h\n", 1},
      {"a.o: a.c\n\nb" + nul + ".o: b.c\n", 3},
      {"a.o: a.c \\\n  \\" + nul + "\n", 1},
      {"a.o: a.c\n" + nul + "\n", 2},
  };
  for (const auto& c : cases) {
    cdep_context ctx;
    EXPECT_EQ(read_text(c.text, ctx), -1) << c.line;
    EXPECT_EQ(ctx.error_line, c.line);
    EXPECT_TRUE(ctx.lines.empty());
  }
}

struct recorded {
  std::vector<std::string> events;
};

TEST(CdepReader, CallbacksSeeLinesTargetsAndDependenciesInOrder) {
  std::string text = "a.o b.o: x.h y.h\nc.o: z.h\n";
  FILE* f = fmemopen(text.data(), text.size(), "r");
  recorded rec;
  cdep_callbacks cb;
  cb.user = &rec;
  cb.on_new_line = [](void* u) { static_cast<recorded*>(u)->events.push_back("line"); };
  cb.on_target = [](const std::string& p, void* u) {
    static_cast<recorded*>(u)->events.push_back("t " + p);
  };
  cb.on_dependency = [](const std::string& p, void* u) {
    static_cast<recorded*>(u)->events.push_back("d " + p);
  };
  cdep_context ctx;
  ASSERT_EQ(read_cdep_file(f, ctx, &cb), 0);
  fclose(f);
  EXPECT_TRUE(ctx.lines.empty());
  EXPECT_EQ(rec.events,
            (strings{"line", "t a.o", "t b.o", "d x.h", "d y.h", "line", "t c.o", "d z.h"}));
}

TEST(CdepReader, CallbacksAreNotCalledForARejectedFile) {
  std::string text = "a.o: x.h\nbad line\n";
  FILE* f = fmemopen(text.data(), text.size(), "r");
  int calls = 0;
  cdep_callbacks cb;
  cb.user = &calls;
  cb.on_new_line = [](void* u) { ++*static_cast<int*>(u); };
  cdep_context ctx;
  EXPECT_EQ(read_cdep_file(f, ctx, &cb), -1);
  fclose(f);
  EXPECT_EQ(calls, 0);
}

TEST(CdepReader, LongLinesGrowTheBuffer) {
  std::string text = "t:";
  std::vector<std::string> want;
  for (int i = 0; i < 2000; i++) {
    std::string name = "dir/file" + std::to_string(i) + ".h";
    text += " " + name;
    if (i % 7 == 0) text += " \\\n";
    want.push_back(name);
  }
  text += "\n";
  auto lines = read_ok(text);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].deps, want);
}

// Real compiler output: a C file including two headers from
// sub-directories, one of them with a blank and a "$" in its path.
class CdepReaderGcc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (system("gcc --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no gcc";
    dir.write("main.c", "#include \"inc/a.h\"\n#include \"sub dir/b$.h\"\nint f(void){return A+B;}\n");
    system(("mkdir -p '" + dir.file("inc") + "' '" + dir.file("sub dir") + "'").c_str());
    dir.write("inc/a.h", "#define A 1\n");
    dir.write("sub dir/b$.h", "#define B 2\n");
  }

  std::vector<dep_rule_line> run(const std::string& flags, const std::string& dfile) {
    std::string cmd = "cd '" + dir.path() + "' && gcc " + flags + " -c main.c -o main.o";
    EXPECT_EQ(system(cmd.c_str()), 0);
    cdep_context ctx;
    ctx.base = "proj";
    FILE* f = fopen(dir.file(dfile).c_str(), "r");
    EXPECT_NE(f, nullptr);
    if (!f) return {};
    EXPECT_EQ(read_cdep_file(f, ctx), 0) << dir.read(dfile);
    fclose(f);
    return ctx.lines;
  }

  testing::temp_dir dir;
};

TEST_F(CdepReaderGcc, DashMD) {
  auto lines = run("-MD", "main.d");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].targets, strings{"proj/main.o"});
  std::vector<std::string> deps = lines[0].deps;
  // System headers the compiler adds are absolute and kept as they are.
  std::erase_if(deps, [](const std::string& d) { return d[0] == '/'; });
  EXPECT_EQ(deps, (strings{"proj/main.c", "proj/inc/a.h", "proj/sub dir/b$.h"}));
}

TEST_F(CdepReaderGcc, DashMMDWithPhonyHeaders) {
  auto lines = run("-MMD -MP -MF out.d", "out.d");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].targets, strings{"proj/main.o"});
  EXPECT_EQ(lines[0].deps, (strings{"proj/main.c", "proj/inc/a.h", "proj/sub dir/b$.h"}));
  EXPECT_EQ(lines[1].targets, strings{"proj/inc/a.h"});
  EXPECT_TRUE(lines[1].deps.empty());
  EXPECT_EQ(lines[2].targets, strings{"proj/sub dir/b$.h"});
}

}  // namespace
}  // namespace kiln::db
