// Tests of the Kilnfile reader through whole Kilnfiles: variables,
// functions, control flow, scopes, settings and the parse-error
// messages, checked through what @dump prints and what scopes hold.
#include <gtest/gtest.h>

#include <string>

#include "front_harness.h"

namespace kiln::front {
namespace {

using testing::kilnfile_runner;
using testing::parse_result;

// Parses "@toplevel\n" + body and returns the result.
parse_result run(kilnfile_runner& k, const std::string& body) {
  return k.parse("@toplevel\n" + body);
}

// Parses and expects success; returns standard output.
std::string dump(const std::string& body) {
  kilnfile_runner k;
  parse_result r = run(k, body);
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(k.eng()->stack.length, 0u);
  return r.out;
}

// Parses and expects failure; returns standard error.
std::string error(const std::string& body) {
  kilnfile_runner k;
  parse_result r = run(k, body);
  EXPECT_NE(r.rc, 0) << r.out;
  EXPECT_EQ(k.eng()->stack.length, 0u);
  return r.err;
}

TEST(Expressions, ArithmeticPrecedenceAndAssociativity) {
  EXPECT_EQ(dump("@call @dump(1 + 2 * 3)\n"), "7\n");
  EXPECT_EQ(dump("@call @dump(10 - 3 - 2)\n"), "5\n");
  EXPECT_EQ(dump("@call @dump((1 + 2) * 3)\n"), "9\n");
  EXPECT_EQ(dump("@call @dump(1 << 2 + 1)\n"), "8\n");
  EXPECT_EQ(dump("@call @dump(1 | 2 ^ 3 & 1)\n"), "3\n");
  EXPECT_EQ(dump("@call @dump(-2 * -3)\n"), "6\n");
  EXPECT_EQ(dump("@call @dump(!0)\n"), "true\n");
  EXPECT_EQ(dump("@call @dump(7 % 4 == 3)\n"), "true\n");
  EXPECT_EQ(dump("@call @dump(1 < 2 == 2 > 1)\n"), "true\n");
  EXPECT_EQ(dump("@call @dump(\"a\" . \"b\" . \"c\")\n"), "\"abc\"\n");
  EXPECT_EQ(dump("@call @dump(~0)\n"), "-1\n");
}

TEST(Expressions, ShortCircuitYieldsTheDecidingOperand) {
  EXPECT_EQ(dump("@call @dump(0 && @tonumber(\"x\"))\n"), "0\n");
  EXPECT_EQ(dump("@call @dump(1 && 5)\n"), "5\n");
  EXPECT_EQ(dump("@call @dump(3 || @tonumber(\"x\"))\n"), "3\n");
  EXPECT_EQ(dump("@call @dump(0 || 0 || 4)\n"), "4\n");
}

TEST(Expressions, ContainersAndPostfixes) {
  EXPECT_EQ(dump("$A = [1, 2, 3]\n@call @dump($A[1])\n@call @dump($A[])\n"), "2\n3\n");
  EXPECT_EQ(dump("$A = [1, @[2, 3], 4]\n@call @dump($A)\n"), "[1, 2, 3, 4]\n");
  EXPECT_EQ(dump("$D = {\"a\": 1, \"b\": 2}\n@call @dump($D{\"b\"})\n@call @dump($D{})\n"),
            "2\n2\n");
  EXPECT_EQ(dump("$D = {\"a\": 1}\n@call @dump($D{@? \"a\"})\n@call @dump($D{@? \"z\"})\n"),
            "true\nfalse\n");
  EXPECT_EQ(dump("$S = \"hello\"\n@call @dump($S[@])\n@call @dump($S[@1])\n"), "5\n101\n");
  EXPECT_EQ(dump("$A = [1, 2]\n@call @dump($A[-])\n"), "2\n");
}

TEST(Expressions, BuiltinsAndConstants) {
  EXPECT_EQ(dump("@call @dump(@strupper(\"ab\"))\n"), "\"AB\"\n");
  EXPECT_EQ(dump("@call @dump(@strsub(\"abc\", 1, 3))\n"), "\"bc\"\n");
  EXPECT_EQ(dump("@call @dump([@true, @false, @nil])\n"), "[true, false, null]\n");
  EXPECT_EQ(dump("@call @dump([@be8, @be16, @be32, @le16, @le32])\n"), "[0.0, 1.0, 2.0, -1.0, -2.0]\n");
  EXPECT_EQ(dump("@call @dump(@type(1) == @type(2))\n"), "true\n");
  EXPECT_EQ(dump("@call @dump(@dictnext({\"a\": 1, \"b\": 2}, \"a\"))\n"), "\"b\"\n");
  EXPECT_EQ(dump("@call @dump(@dictprev({\"a\": 1, \"b\": 2}, @nil))\n"), "\"b\"\n");
}

TEST(Variables, AssignDefaultAndAppend) {
  EXPECT_EQ(dump("$X = 1\n$X ?= 2\n$Y ?= 3\n@call @dump([$X, $Y])\n"), "[1, 3]\n");
  EXPECT_EQ(dump("$L = [1]\n$L += [2, 3]\n@call @dump($L)\n"), "[1, 2, 3]\n");
  // The old list is copied, not changed in place.
  EXPECT_EQ(dump("$L = [1]\n$M = $L\n$L += [2]\n@call @dump([$L, $M])\n"), "[[1, 2], [1]]\n");
  EXPECT_NE(error("$L += [2]\n").find("Can't find old symbol function for L"),
            std::string::npos);
}

TEST(Variables, LazyDefinitionsAreEvaluatedAtEachUse) {
  std::string body =
      "$N = 1\n"
      "$L<> = $N + 1\n"
      "@call @dump($L<>)\n"
      "$N = 10\n"
      "@call @dump($L<>)\n";
  EXPECT_EQ(dump(body), "2\n11\n");
  // ?= with <> keeps an existing binding of the scope.
  EXPECT_EQ(dump("$L<> = 1\n$L<> ?= 2\n@call @dump($L<>)\n"), "1\n");
}

TEST(Functions, ParametersLocalsAndRecursion) {
  std::string body =
      "@function $fact($n)\n"
      "  @if ($n <= 1)\n"
      "    @return 1\n"
      "  @endif\n"
      "  @return $n * @L $fact($n - 1)\n"
      "@endfunction\n"
      "@function $sum($a, $b)\n"
      "@locvar $t = $a + $b\n"
      "  $t = $t * 2\n"
      "  @return $t\n"
      "@endfunction\n"
      "@call @dump($fact(10))\n"
      "@call @dump($sum(2, 3))\n";
  EXPECT_EQ(dump(body), "3628800\n10\n");
}

TEST(Functions, ImplicitReturnIsNil) {
  EXPECT_EQ(dump("@function $f()\n@endfunction\n@call @dump($f())\n"), "null\n");
}

TEST(Functions, AssignmentsThroughPostfixesAndDeletion) {
  std::string body =
      "@function $f()\n"
      "@locvar $d = {}\n"
      "@locvar $a = [1, 2, 3]\n"
      "  $d{\"a\"} = 1\n"
      "  $d{\"b\"} = 2\n"
      "  $d{\"a\"} = -\n"
      "  $a[0] = 9\n"
      "  $a[1] = -\n"
      "  @D $G = 5\n"
      "  @return [$d, $a]\n"
      "@endfunction\n"
      "@call @dump($f())\n"
      "@call @dump($G)\n";
  EXPECT_EQ(dump(body), "[{\"b\": 2}, [9, 3]]\n5\n");
}

TEST(Functions, LocalsSurviveInsert) {
  std::string body =
      "@function $f()\n"
      "@locvar $a = [1, 3]\n"
      "@locvar $b = \"kept\"\n"
      "  @insert($a, 1, 2)\n"
      "  @insert($a, 0, 0)\n"
      "  @return [$a, $b]\n"
      "@endfunction\n"
      "@call @dump($f())\n"
      "$A = [5]\n"
      "@call @insert($A, 0, 4)\n"
      "@call @dump($A)\n";
  EXPECT_EQ(dump(body), "[[0, 1, 2, 3], \"kept\"]\n[4, 5]\n");
}

TEST(Functions, OutputStatementsKeepTheStack) {
  std::string body =
      "@function $f()\n"
      "@locvar $a = []\n"
      "@locvar $x = 7\n"
      "  @append($a, 1)\n"
      "  @appendlist($a, [2, 3])\n"
      "  @stdout(\"out\\n\")\n"
      "  @dump($a)\n"
      "  @return $x\n"
      "@endfunction\n"
      "@call @dump($f())\n";
  EXPECT_EQ(dump(body), "out\n[1, 2, 3]\n7\n");
}

// @exit ends the whole run where it stands, deep inside functions too;
// the value it gives is the run's result, and the frames it left are
// dropped so that the next directive finds an empty stack.
TEST(Functions, ExitInsideAFunctionEndsTheRunWithItsValue) {
  std::string body =
      "@function $inner()\n"
      "  @exit(5)\n"
      "  @dump(\"not reached\")\n"
      "@endfunction\n"
      "@function $outer($a, $b)\n"
      "@locvar $t = 1\n"
      "  @return $a + @L $inner()\n"
      "@endfunction\n"
      "@call $inner()\n"
      "@call @dump(3)\n"
      "$V = $outer(1, 2)\n"
      "@call @dump($V)\n"
      "@if ($outer(0, 0) == 0)\n"
      "@call @dump(\"taken\")\n"
      "@endif\n";
  EXPECT_EQ(dump(body), "3\n5\n\"taken\"\n");
}

TEST(Loops, WhileForAndCounts) {
  std::string body =
      "@function $f()\n"
      "@locvar $i = 0\n"
      "@locvar $s = 0\n"
      "  @while ($i < 10)\n"
      "    $i = $i + 1\n"
      "    @if ($i == 3)\n"
      "      @continue\n"
      "    @elseif ($i == 8)\n"
      "      @break\n"
      "    @endif\n"
      "    $s = $s + $i\n"
      "  @endwhile\n"
      "  @for ($i = 0, $i < 3, $i = $i + 1)\n"
      "    $s = $s + 100\n"
      "  @endfor\n"
      "  @return $s\n"
      "@endfunction\n"
      "@call @dump($f())\n";
  // 1+2+4+5+6+7 = 25, plus 300.
  EXPECT_EQ(dump(body), "325\n");
}

TEST(Loops, NestedBreakAndContinueCounts) {
  std::string body =
      "@function $f()\n"
      "@locvar $i = 0\n"
      "@locvar $j = 0\n"
      "@locvar $n = 0\n"
      "  @for ($i = 0, $i < 5, $i = $i + 1)\n"
      "    @for ($j = 0, $j < 5, $j = $j + 1)\n"
      "      @if ($j == 2)\n"
      "        @continue 2\n"
      "      @endif\n"
      "      @if ($i == 3)\n"
      "        @break 2\n"
      "      @endif\n"
      "      $n = $n + 1\n"
      "    @endfor\n"
      "  @endfor\n"
      "  @return [$i, $n]\n"
      "@endfunction\n"
      "@call @dump($f())\n";
  EXPECT_EQ(dump(body), "[3, 6]\n");
}

TEST(Loops, FordictBothWaysAndReturnInside) {
  std::string body =
      "@function $keys($d, $back)\n"
      "@locvar $k = @nil\n"
      "@locvar $v = @nil\n"
      "@locvar $r = []\n"
      "  @if ($back)\n"
      "    @fordictprev $k, $v ($d)\n"
      "      @append($r, $k . $v)\n"
      "    @endfor\n"
      "  @else\n"
      "    @fordict $k, $v ($d)\n"
      "      @if (@strcmp($k, \"c\") == 0)\n"
      "        @return $r\n"
      "      @endif\n"
      "      @append($r, $k . $v)\n"
      "    @endfor\n"
      "  @endif\n"
      "  @return $r\n"
      "@endfunction\n"
      "$D = {\"a\": \"1\", \"b\": \"2\", \"c\": \"3\"}\n"
      "@call @dump($keys($D, @false))\n"
      "@call @dump($keys($D, @true))\n";
  EXPECT_EQ(dump(body), "[\"a1\", \"b2\"]\n[\"c3\", \"b2\", \"a1\"]\n");
}

TEST(Loops, OnceWithBreakAndContinue) {
  std::string body =
      "@function $f()\n"
      "@locvar $n = 0\n"
      "  @once\n"
      "    $n = $n + 1\n"
      "    @if ($n < 3)\n"
      "      @continue\n"
      "    @endif\n"
      "    @break\n"
      "    $n = 100\n"
      "  @endonce\n"
      "  @return $n\n"
      "@endfunction\n"
      "@call @dump($f())\n";
  EXPECT_EQ(dump(body), "3\n");
}

TEST(Scopes, NamedScopesAndAccessPrefixes) {
  std::string body =
      "$X = \"top\"\n"
      "@beginscope $S\n"
      "$X = \"inner\"\n"
      "@call @dump([$X, @L $X, @LO $X, @LP $X, @LPO $X, @I $X, @IP $X])\n"
      "@call @dump([@D $X, @DP $X, @dyn[\"X\"], @lex[\"X\"], @lex[@? \"Y\"]])\n"
      "@endscope\n"
      "@call @dump([$X, @SC($S) $X, @SCO($S) $X, @scope[$S, \"X\"]])\n";
  EXPECT_EQ(dump(body),
            "[\"inner\", \"inner\", \"inner\", \"top\", \"top\", \"inner\", \"top\"]\n"
            "[\"inner\", \"top\", \"inner\", \"inner\", false]\n"
            "[\"top\", \"inner\", \"inner\", \"inner\"]\n");
}

TEST(Scopes, HoleyScopeStopsTheLookup) {
  std::string body =
      "$X = 1\n"
      "@beginholeyscope\n"
      "@call @dump(@dyn[@? \"X\"])\n"
      "@endscope\n"
      "@beginscope\n"
      "@call @dump(@dyn[@? \"X\"])\n"
      "@endscope\n";
  EXPECT_EQ(dump(body), "false\ntrue\n");
}

TEST(Scopes, ParentReferencesAtTheTopFail) {
  EXPECT_NE(error("@call @dump(@LP $X)\n").find("No parent scope, can't use lexical parent reference"),
            std::string::npos);
  EXPECT_NE(error("@call @dump(@IP $X)\n").find("No parent scope, can't use immediate parent reference"),
            std::string::npos);
  EXPECT_NE(error("@call @dump(@I $nope)\n").find("Variable nope not found"), std::string::npos);
}

TEST(Conditions, TopLevelIfTakesOneBranch) {
  std::string body =
      "$N = 2\n"
      "@if ($N == 1)\n"
      "@call @dump(\"one\")\n"
      "$R = 1\n"
      "@elseif ($N == 2)\n"
      "@call @dump(\"two\")\n"
      "@elseif (@true)\n"
      "@call @dump(\"three\")\n"
      "@else\n"
      "@call @dump(\"other\")\n"
      "@endif\n"
      "@call @dump(@dyn[@? \"R\"])\n";
  EXPECT_EQ(dump(body), "\"two\"\nfalse\n");
  EXPECT_EQ(dump("@if (0)\n@print 1\n@else\n@print 2\n@endif\n"), "2\n");
}

TEST(Conditions, NonBooleanConditionFails) {
  std::string err = error("@if (\"x\")\n@endif\n");
  EXPECT_NE(err.find("expected boolean, got type 10\n"), std::string::npos);
  EXPECT_NE(err.find("error in @if"), std::string::npos);
}

TEST(Directives, PrintVersionAndSettings) {
  EXPECT_EQ(dump("@print 2.5\n"), "2.5\n");
  EXPECT_EQ(dump("@call @dump(@version(\"0000000000000000000000000000000000000000x\"))\n"),
            "0\n");
  EXPECT_NE(error("@version(\"abc\")\n").find("incompatible version"), std::string::npos);
  EXPECT_NE(error("@call @outsync(4)\n").find("Output sync must be 0, 1, 2 or 3"),
            std::string::npos);
  EXPECT_NE(error("@call @expecteddeps(1000)\n").find("Expected deps must be a power of 2"),
            std::string::npos);
  EXPECT_NE(error("@call @statcachesize(0)\n").find("Stat cache size must be positive"),
            std::string::npos);
  kilnfile_runner k;
  parse_result r = run(k, "@call @expecteddeps(1024)\n");
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(k.rules().directives.expected_deps, 1024u);
}

// Table sizes are bounded: a size far above any real tree would overflow
// the tables' byte counts or fail their allocation at start-up.
TEST(Directives, TableSizesAboveTwoToTheThirtyAreRefused) {
  const char* const directives[][2] = {
      {"expecteddeps", "Expected deps"},       {"expectedtotaltargets", "Expected total targets"},
      {"expectedstrings", "Expected strings"}, {"statcachesize", "Stat cache size"},
      {"accesscachesize", "Access cache size"}, {"stathashsize", "Stat hash size"},
      {"accesshashsize", "Access hash size"},  {"dbhashsize", "DB hash size"},
      {"tsdbhashsize", "TSDB hash size"},
  };
  for (const auto& d : directives) {
    for (const char* n : {"2147483648", "4611686018427387904"}) {
      std::string call = std::string("@call @") + d[0] + "(" + n + ")\n";
      EXPECT_NE(error(call).find(std::string(d[1]) + " must be a power of 2 at file Kilnfile line 2"),
                std::string::npos)
          << call;
    }
  }
  kilnfile_runner k;
  parse_result r = run(k, "@call @dbhashsize(1073741824)\n");
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(k.rules().directives.db_hash_size, size_t{1} << 30);
}

TEST(Directives, SettingsIgnoredInSubfilesAndProbes) {
  kilnfile_runner k;
  parse_context ctx;
  ctx.file_name = "sub/Kilnfile";
  ctx.dir_prefix = "sub";
  ctx.expects_toplevel = false;
  parse_result r = k.parse("@subfile\n@call @dbhashsize(64)\n", ctx);
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(k.rules().directives.db_hash_size, 0u);
  k.rules().probe_mode = true;
  parse_context top;
  top.file_name = "Kilnfile";
  r = k.parse("@toplevel\n@call @dbhashsize(64)\n", top);
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(k.rules().directives.db_hash_size, 0u);
}

TEST(Directives, UnsupportedForms) {
  EXPECT_NE(error("@call @Foo(1)\n").find("Builtin @Foo not supported"), std::string::npos);
  EXPECT_NE(error("%lua{ x %}\n").find("Lua not compiled in"), std::string::npos);
  EXPECT_NE(error("@call @imm[\"x\"]\n").find("unsupported syntax"), std::string::npos);
  EXPECT_NE(error("@call @delayvar\n").find("syntax error"), std::string::npos);
}

TEST(Directives, CallFailureReportsTheRun) {
  std::string err = error("@function $f()\n  @return 1 + \"a\"\n@endfunction\n@call $f()\n");
  EXPECT_NE(err.find("Error executing bytecode for call directive\n"), std::string::npos);
  EXPECT_NE(err.find("Backtrace:\nf\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Additional information:\n"), std::string::npos);
  EXPECT_NE(err.find("kiln: error in @call at file Kilnfile line 6"), std::string::npos) << err;
}

TEST(Assignments, RefusedTargetsInFunctions) {
  auto in_function = [](const std::string& stmt) {
    return error("@function $f($s)\n  " + stmt + "\n@endfunction\n");
  };
  EXPECT_NE(in_function("$s[@0] = 1").find("Can't assign to string"), std::string::npos);
  EXPECT_NE(in_function("$s[] = 1").find("Can't assign to length query (except for PB)"),
            std::string::npos);
  EXPECT_NE(in_function("$s[-] = 1").find("Can't assign to pop query"), std::string::npos);
  EXPECT_NE(in_function("$s{@? 1} = 1").find("Can't assign to dictionary query"),
            std::string::npos);
  EXPECT_NE(in_function("@dyn[@? \"x\"] = 1").find("Can't assign to scope query"),
            std::string::npos);
  EXPECT_NE(in_function("$s{} = -").find("Can remove only from dict or list"), std::string::npos);
  EXPECT_NE(in_function("$t = 1").find("Variable t not found"), std::string::npos);
  EXPECT_NE(error("$G = 1\n@function $f()\n  @I $G = 2\n@endfunction\n")
                .find("Can't assign to immediate varref"),
            std::string::npos);
  EXPECT_NE(error("@function $f($a, $a)\n@endfunction\n").find("can't have two same names"),
            std::string::npos);
  EXPECT_NE(in_function("@break 0").find("Break count not positive integer"), std::string::npos);
  EXPECT_NE(in_function("@continue 1.5").find("Continue count not positive integer"),
            std::string::npos);
}

TEST(Assignments, ProtocolBufferLengthIsAssignable) {
  std::string body =
      "@function $f()\n"
      "@locvar $p = @pbnew()\n"
      "  $p{@} = 4\n"
      "  $p{@ 0, @be8} = 200\n"
      "  @return [$p{@}, $p{@ 0, @be8}]\n"
      "@endfunction\n"
      "@call @dump($f())\n";
  EXPECT_EQ(dump(body), "[4, 200]\n");
}

TEST(ParseErrors, DeclarationAndPositions) {
  kilnfile_runner k;
  EXPECT_EQ(k.parse("\n\n$X = 1\n").err, "kiln: syntax error at file Kilnfile line 3 col 3.\n");
  EXPECT_EQ(k.parse("@toplevel\n$X = )\n").err,
            "kiln: syntax error at file Kilnfile line 2 col 7.\n");
  EXPECT_EQ(k.parse("@toplevel\n# comment\n$X = 1 +\n").err,
            "kiln: syntax error at file Kilnfile line 4 col 1.\n");
  EXPECT_EQ(k.parse("@toplevel\n$X = [1, \\\n 2, ]\n").err,
            "kiln: syntax error at file Kilnfile line 3 col 6.\n");
  EXPECT_EQ(k.parse("@toplevel )\n").err, "kiln: syntax error at file Kilnfile line 1 col 11.\n");
}

// Every nested construct holds C stack while it is read: nesting far
// beyond any real Kilnfile ends in a parse error at the bound, not in a
// stack overflow.
TEST(ParseErrors, DeepNestingFailsAtTheBound) {
  auto times = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += s;
    return out;
  };
  struct {
    std::string body;
    const char* where;
  } cases[] = {
      {"$X = " + times("(", 200000) + "1" + times(")", 200000) + "\n", "line 2 col 1007"},
      {"$X = " + times("[", 200000) + "1" + times("]", 200000) + "\n", "line 2 col 1007"},
      {"$X = " + times("-", 200000) + "1\n", "line 2 col 1007"},
      {"$X = " + times("@strlower(", 200000) + "\"\"" + times(")", 200000) + "\n",
       "line 2 col 10015"},
      // The condition of the innermost block is the level too many.
      {times("@if (1)\n", 100000) + times("@endif\n", 100000), "line 1001 col 7"},
      {times("@beginscope\n", 100000) + times("@endscope\n", 100000), "line 1002 col 12"},
      {"@function $f()\n" + times("@while (0)\n", 100000) + times("@endwhile\n", 100000) +
           "@endfunction\n",
       "line 1002 col 10.\nkiln: note: in the body of the @function $f of line 2"},
  };
  for (const auto& c : cases) {
    std::string err = error(c.body);
    EXPECT_EQ(err, std::string("kiln: nesting deeper than 1000 levels at file Kilnfile ") +
                       c.where + ".\n")
        << c.body.substr(0, 40);
  }
  // Up to the bound, nesting is read as usual.
  EXPECT_EQ(dump("@call @dump(" + times("[", 999) + "1" + times("]", 999) + "[])\n"), "1\n");
}

TEST(ParseErrors, WrongDeclarationAndLeadingPath) {
  kilnfile_runner k;
  parse_context ctx;
  ctx.file_name = "sub/Kilnfile";
  ctx.expects_toplevel = false;
  EXPECT_EQ(k.parse("@toplevel\n", ctx).err,
            "kiln: Expected @subfile, got @toplevel. Exiting.\n at file sub/Kilnfile line 2 col 1.\n");
  parse_context top;
  top.file_name = "Kilnfile";
  top.leading_path = "/src";
  EXPECT_EQ(k.parse("@subfile\n", top).err,
            "kiln: Expected @toplevel, got @subfile. Exiting.\n at file /src/Kilnfile line 2 col 1\n");
  k.rules().probe_mode = true;
  parse_context probe;
  probe.file_name = "Kilnfile";
  parse_result r = k.parse("@subfile\n", probe);
  EXPECT_NE(r.rc, 0);
  EXPECT_EQ(r.err, "");
}

TEST(ParseErrors, DeclarationOnlyStopsAfterTheDeclaration) {
  kilnfile_runner k;
  parse_context ctx;
  ctx.file_name = "Kilnfile";
  ctx.declaration_only = true;
  parse_result r = k.parse("@toplevel\n$X = )\n", ctx);
  EXPECT_NE(r.rc, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(ctx.declaration_seen);
  EXPECT_TRUE(ctx.declared_toplevel);
}

}  // namespace
}  // namespace kiln::front
