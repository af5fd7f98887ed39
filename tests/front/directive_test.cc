// Tests of parse-time runs: directive results and their conversion,
// shell assignments and their failures.
#include "front/directive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "engine/bytecode.h"
#include "front_harness.h"

namespace kiln::front {
namespace {

using testing::kilnfile_runner;
using testing::parse_result;

// Appends `body` followed by 159 to the engine's code; its address.
int64_t append(kilnfile_runner& k, testing::code body) {
  int64_t address = static_cast<int64_t>(k.eng()->bytecode.length);
  body.op(engine::op_exit);
  engine::bytecode_append(k.eng(), body.bytes.data(), body.bytes.size());
  return address;
}

struct directive_run {
  kilnfile_runner* k;
  int64_t address;
  bool allow_nil;
  string_list result;
};

parse_result run(directive_run& d) {
  return testing::capture_calls(
      [](void* p) {
        auto* x = static_cast<directive_run*>(p);
        return run_directive(x->k->eng(), x->address, "target", x->allow_nil, &x->result);
      },
      &d);
}

int64_t string_constant(kilnfile_runner& k, const char* s) {
  return engine::cache_add_string(k.eng(), s, strlen(s));
}

TEST(RunDirective, StringAndArrayResults) {
  kilnfile_runner k;
  testing::code one;
  one.d(static_cast<double>(string_constant(k, "a"))).op(37);
  directive_run d{&k, append(k, one), false, {}};
  parse_result r = run(d);
  EXPECT_EQ(r.rc, 0);
  ASSERT_EQ(d.result.size(), 1u);
  EXPECT_EQ(*d.result[0], "a");

  testing::code two;
  two.op(182).d(static_cast<double>(string_constant(k, "a"))).op(37).op(42);
  two.op(4).op(42);
  d = directive_run{&k, append(k, two), true, {}};
  r = run(d);
  EXPECT_EQ(r.rc, 0);
  ASSERT_EQ(d.result.size(), 2u);
  EXPECT_FALSE(d.result[1].has_value());
  EXPECT_EQ(k.eng()->stack.length, 0u);
}

TEST(RunDirective, WrongResultsAreReported) {
  kilnfile_runner k;
  testing::code number;
  number.n(1);
  directive_run d{&k, append(k, number), false, {}};
  parse_result r = run(d);
  EXPECT_EQ(r.rc, -22);
  EXPECT_EQ(r.out, "expected str or array, got type 0 in target\n");

  testing::code with_nil;
  with_nil.op(182).op(4).op(42);
  d = directive_run{&k, append(k, with_nil), false, {}};
  r = run(d);
  EXPECT_EQ(r.out, "expected string or @nil, got type 7 for directive target\n");

  testing::code none;
  none.op(0);
  d = directive_run{&k, append(k, none), false, {}};
  r = run(d);
  EXPECT_EQ(r.out, "can't get item from stack in target\n");
  EXPECT_EQ(k.eng()->stack.length, 0u);
}

TEST(RunDirective, FailedRunPrintsTheReport) {
  kilnfile_runner k;
  testing::code bad;
  bad.n(1).d(static_cast<double>(string_constant(k, "a"))).op(37).op(22);
  directive_run d{&k, append(k, bad), false, {}};
  parse_result r = run(d);
  EXPECT_EQ(r.rc, -22);
  EXPECT_EQ(r.out.rfind("Error executing bytecode for target directive\nerror ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Backtrace:\n(-)\nAdditional information:\n\"a\"\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(k.eng()->stack.length, 0u);
}

TEST(ShellAssign, WholeOutputAndWords) {
  kilnfile_runner k;
  parse_result r = k.parse(
      "@toplevel\n"
      "$A `= [\"echo\", \"a b\"]\n"
      "$B ``= [\"printf\", \"  a \\t b\\n\\n\"]\n"
      "$C ``= [\"printf\", \"  \"]\n"
      "@call @dump([$A, $B, $C])\n");
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, "[\"a b\\n\", [\"a\", \"b\"], []]\n");
  EXPECT_EQ(k.eng()->stack.length, 0u);
}

// A sandboxed engine runs no command: the assignment fails as a failed
// command would.
TEST(ShellAssign, RefusedWithoutSideEffects) {
  char dir[] = "/tmp/kiln-sandbox-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/made";
  kilnfile_runner k;
  k.eng()->no_side_effects = 1;
  parse_result r = k.parse("@toplevel\n$A `= [\"touch\", \"" + path + "\"]\n");
  EXPECT_NE(r.rc, 0);
  EXPECT_EQ(r.err, "kiln: shell-assign failed at file Kilnfile line 3 col 1.\n");
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(k.eng()->stack.length, 0u);
  rmdir(dir);
}

TEST(ShellAssign, Failures) {
  kilnfile_runner k;
  parse_result r = k.parse("@toplevel\n$A `= [\"false\"]\n");
  EXPECT_NE(r.rc, 0);
  EXPECT_EQ(r.err, "kiln: shell-assign failed at file Kilnfile line 3 col 1.\n");
  r = k.parse("@toplevel\n$A `= [\"/nonexistent/program\"]\n");
  EXPECT_NE(r.err.find("shell-assign failed"), std::string::npos);
  r = k.parse("@toplevel\n$A `= []\n");
  EXPECT_NE(r.err.find("shell-assign supported only from non-empty array of strings"),
            std::string::npos);
  r = k.parse("@toplevel\n$A `= [\"echo\", 1]\n");
  EXPECT_NE(r.err.find("shell-assign supported only from non-empty array of strings"),
            std::string::npos);
  EXPECT_EQ(k.eng()->stack.length, 0u);
}

TEST(ShellAssign, LargeOutputGrowsTheBuffer) {
  kilnfile_runner k;
  parse_result r = k.parse(
      "@toplevel\n$A `= [\"head\", \"-c\", \"100000\", \"/dev/zero\"]\n@call @dump($A[@])\n");
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, "100000\n");
}

TEST(SplitWords, BlanksOfEveryKind) {
  EXPECT_EQ(split_words(" \t\r\na  b\n"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(split_words(" \n ").empty());
  EXPECT_TRUE(split_words("").empty());
}

}  // namespace
}  // namespace kiln::front
