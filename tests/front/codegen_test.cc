// Golden tests of the compiler's output: the byte code of each construct
// compared with the sequence it must compile to.
#include <gtest/gtest.h>

#include <string>

#include "engine/bytecode.h"
#include "front_harness.h"

namespace kiln::front {
namespace {

using testing::code;
using testing::kilnfile_runner;

// Compiles the function `text` (a whole @function ... @endfunction) and
// returns its byte code from its header on.
struct compiled {
  kilnfile_runner k;
  size_t start = 0;
  std::vector<uint8_t> bytes;
  int64_t cache(const char* s) { return engine::cache_add_string(k.eng(), s, strlen(s)); }
};

void compile(compiled& c, const std::string& text) {
  c.start = c.k.eng()->bytecode.length;
  auto r = c.k.parse("@toplevel\n" + text);
  ASSERT_EQ(r.rc, 0) << r.err;
  c.bytes = c.k.code_from(c.start);
}

TEST(Golden, AndOr) {
  compiled c;
  compile(c, "@function $f($a, $b)\n  @return $a && $b || $a\n@endfunction\n");
  code want;
  int64_t s = 0;
  want.imm(63, 2);
  want.d(0).op(33).op(5);
  size_t p1 = want.bytes.size() + 1;
  want.d(0).op(28).op(38).d(1).op(33);
  s = static_cast<int64_t>(want.bytes.size());
  engine::store_immediate(want.bytes.data() + p1, s);
  want.op(5).op(11);
  size_t p2 = want.bytes.size() + 1;
  want.d(0).op(28).op(38).d(0).op(33);
  engine::store_immediate(want.bytes.data() + p2, static_cast<double>(want.bytes.size()));
  want.d(2).d(0).op(32);
  want.op(4).d(2).d(0).op(32).imm(165, static_cast<double>(c.cache("f")));
  EXPECT_EQ(c.bytes, want.bytes);
}

TEST(Golden, IfWithTwoElseifBranches) {
  compiled c;
  compile(c,
          "@function $f($x)\n"
          "  @if ($x)\n    $x = 1\n"
          "  @elseif ($x)\n    $x = 2\n"
          "  @elseif ($x)\n    $x = 3\n"
          "  @endif\n"
          "@endfunction\n");
  // Addresses relative to the function's start.
  code w;
  w.imm(63, 1);
  w.d(0).op(33);
  size_t t1 = w.bytes.size() + 1;
  w.d(0).op(28);
  w.d(0).n(1).op(34);
  size_t e1 = w.bytes.size() + 1;
  size_t e1_at = w.bytes.size();
  w.d(0).op(29);
  size_t test2 = w.bytes.size();
  w.d(0).op(33);
  size_t t2 = w.bytes.size() + 1;
  w.d(0).op(28);
  w.d(0).n(2).op(34);
  size_t e2 = w.bytes.size() + 1;
  size_t e2_at = w.bytes.size();
  w.d(0).op(29);
  size_t test3 = w.bytes.size();
  w.d(0).op(33);
  size_t t3 = w.bytes.size() + 1;
  w.d(0).op(28);
  w.d(0).n(3).op(34);
  size_t end = w.bytes.size();
  w.op(4).d(1).d(0).op(32).imm(165, static_cast<double>(c.cache("f")));
  auto at = [&](size_t p, size_t target) {
    engine::store_immediate(w.bytes.data() + p, static_cast<double>(c.start + target));
  };
  at(t1, test2);
  at(e1, e2_at);  // each branch's end jump continues at the next one's
  at(t2, test3);
  at(e2, end);
  at(t3, end);
  (void)e1_at;
  EXPECT_EQ(c.bytes, w.bytes);
}

TEST(Golden, WhileLoopWithBreak) {
  compiled c;
  compile(c, "@function $f($x)\n  @while ($x)\n    @break\n  @endwhile\n@endfunction\n");
  int64_t o = static_cast<int64_t>(c.start);
  code w;
  w.imm(63, 1);
  int64_t cond = o + static_cast<int64_t>(w.bytes.size());
  w.d(0).op(33);
  int64_t b = o + static_cast<int64_t>(w.bytes.size());
  size_t exit = w.bytes.size() + 1;
  w.d(0).op(28);
  w.op(3).d(static_cast<double>(b)).op(29);
  w.d(static_cast<double>(cond)).op(29);
  engine::store_immediate(w.bytes.data() + exit, static_cast<double>(o + w.bytes.size()));
  w.op(4).d(1).d(0).op(32).imm(165, static_cast<double>(c.cache("f")));
  EXPECT_EQ(c.bytes, w.bytes);
}

TEST(Golden, ForLoopWithContinue) {
  compiled c;
  compile(c,
          "@function $f()\n@locvar $i = 0\n"
          "  @for ($i = 0, $i < 3, $i = $i + 1)\n    @continue\n  @endfor\n@endfunction\n");
  int64_t o = static_cast<int64_t>(c.start);
  auto addr = [&](const code& w) { return o + static_cast<int64_t>(w.bytes.size()); };
  code w;
  w.imm(63, 0).n(0);
  w.d(2).n(0).op(34);  // init: $i = 0 (slot 2: after the saved bp and ip)
  int64_t cond = addr(w);
  w.d(2).op(33).n(3).op(16);
  size_t to_body = w.bytes.size() + 1;
  w.d(0).op(29);
  int64_t step = addr(w);
  w.d(2).d(2).op(33).n(1).op(22).op(34);
  w.d(static_cast<double>(cond)).op(29);
  int64_t b = addr(w);
  engine::store_immediate(w.bytes.data() + to_body, static_cast<double>(b));
  size_t exit = w.bytes.size() + 1;
  w.d(0).op(28);
  w.d(static_cast<double>(step)).op(29);  // @continue
  w.d(static_cast<double>(step)).op(29);
  engine::store_immediate(w.bytes.data() + exit, static_cast<double>(addr(w)));
  w.op(4).d(0).d(1).op(32).imm(165, static_cast<double>(c.cache("f")));
  EXPECT_EQ(c.bytes, w.bytes);
}

TEST(Golden, FordictAndOnce) {
  compiled c;
  compile(c,
          "@function $f($d)\n@locvar $k = 0\n@locvar $v = 0\n"
          "  @fordict $k, $v ($d)\n    @return 1\n  @endfor\n"
          "  @once\n    @break\n  @endonce\n@endfunction\n");
  int64_t o = static_cast<int64_t>(c.start);
  auto addr = [&](const code& w) { return o + static_cast<int64_t>(w.bytes.size()); };
  code w;
  w.imm(63, 1).n(0).n(0);
  w.d(0).op(33).op(4).op(4);
  int64_t l = addr(w);
  w.op(38).op(3).op(164).d(-2).op(33).op(55).d(engine::type_query_code(engine::t_nil)).op(8);
  size_t exit = w.bytes.size() + 1;
  w.d(0).op(28);
  w.d(4).d(-2).op(33).op(34);
  w.d(3).d(-3).op(33).op(34);
  w.n(1).d(1).d(5).op(32);  // two locals plus three loop slots
  w.d(static_cast<double>(l)).op(29);
  engine::store_immediate(w.bytes.data() + exit, static_cast<double>(addr(w)));
  w.op(38).op(38).op(38);
  w.op(2);
  int64_t b = addr(w);
  size_t once_exit = w.bytes.size() + 1;
  w.d(0).op(28);
  w.op(3).d(static_cast<double>(b)).op(29);
  engine::store_immediate(w.bytes.data() + once_exit, static_cast<double>(addr(w)));
  w.op(4).d(1).d(2).op(32).imm(165, static_cast<double>(c.cache("f")));
  EXPECT_EQ(c.bytes, w.bytes);
}

TEST(Golden, TopLevelNumbersAndDictionaryStore) {
  compiled c;
  compile(c, "$X = 1\n");
  code w;
  w.imm(63, 0).n(1).op(31).imm(165, static_cast<double>(c.cache("X")));
  EXPECT_EQ(c.bytes, w.bytes);
  compile(c, "$X = 1.0\n");
  code w2;
  w2.imm(63, 0).d(1).op(31).imm(165, static_cast<double>(c.cache("X")));
  EXPECT_EQ(c.bytes, w2.bytes);
  compile(c, "@function $g($d)\n  $d{\"a\"} = 1\n@endfunction\n");
  code w3;
  w3.imm(63, 1).d(0).op(33).d(static_cast<double>(c.cache("a"))).op(37).n(1).op(44).op(38);
  w3.op(4).d(1).d(0).op(32).imm(165, static_cast<double>(c.cache("g")));
  EXPECT_EQ(c.bytes, w3.bytes);
}

TEST(Golden, InsertLeavesNothingToDiscard) {
  compiled c;
  compile(c, "@function $g($a)\n  @insert($a, 0, 1)\n@endfunction\n");
  code w;
  w.imm(63, 1).d(0).op(33).n(0).n(1).op(202);
  w.op(4).d(1).d(0).op(32).imm(165, static_cast<double>(c.cache("g")));
  EXPECT_EQ(c.bytes, w.bytes);
}

TEST(Golden, AppendAssignmentCopiesTheOldValue) {
  compiled c;
  compile(c, "$L = [1]\n");
  int64_t before = static_cast<int64_t>(c.k.eng()->object_cache.length);
  compile(c, "$L += [2]\n");
  code w;
  w.imm(63, 0).d(static_cast<double>(before)).op(37).op(58).op(161);
  w.op(182).n(2).op(42).op(184).op(31).imm(165, static_cast<double>(c.cache("L")));
  EXPECT_EQ(c.bytes, w.bytes);
}

}  // namespace
}  // namespace kiln::front
