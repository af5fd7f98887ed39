#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "engine/core_fixture.h"
#include "engine/engine.h"

namespace kiln::engine::testing {
namespace {

class Builtins : public engine_test {
 protected:
  void TearDown() override {
    e.bp = 0;
    pop_n(&e, e.stack.length);
    clear_error(&e);
    engine_test::TearDown();
  }
  void push_str(const std::string& s) {
    value v = str(s);
    push_value(&e, v);
    value_unref(&e, v);
  }
  void push_num(double x) { push_number(&e, x); }
  // Calls op and returns its result code; the stack keeps its result.
  int call(unsigned op) { return builtin_run(&e, op); }
  value top() { return e.stack.items[e.stack.length - 1]; }
  std::string top_text() {
    EXPECT_EQ(top().type, t_str);
    return top().type == t_str ? std::string(top().str->bytes, top().str->length) : "";
  }
  void reset() {
    pop_n(&e, e.stack.length);
    clear_error(&e);
  }
  std::string string_op(unsigned op, std::vector<std::string> strs, std::vector<double> nums = {}) {
    for (auto& s : strs) push_str(s);
    for (double x : nums) push_num(x);
    EXPECT_EQ(call(op), 0) << op << ": " << error_message(e.err.code);
    std::string out = top_text();
    reset();
    return out;
  }
  int failing_op(unsigned op, std::vector<std::string> strs, std::vector<double> nums = {}) {
    for (auto& s : strs) push_str(s);
    for (double x : nums) push_num(x);
    int rc = call(op);
    int code = e.err.code;
    EXPECT_NE(rc, 0);
    reset();
    return code;
  }
  value new_array(std::vector<std::string> items) {
    array_obj* a = array_new(&e);
    for (auto& s : items) {
      value v = str(s);
      array_push(&e, a, v);
      value_unref(&e, v);
    }
    return make_object(t_array, a);
  }
  std::vector<std::string> texts(value a) {
    std::vector<std::string> out;
    for (size_t i = 0; i < a.array->size; i++) {
      out.emplace_back(a.array->items[i].str->bytes, a.array->items[i].str->length);
    }
    return out;
  }
};

TEST_F(Builtins, SubstringsAndSearch) {
  EXPECT_EQ(string_op(128, {"abc"}, {1, 3}), "bc");
  EXPECT_EQ(string_op(128, {"abc"}, {3, 3}), "");
  EXPECT_EQ(failing_op(128, {"abc"}, {2, 1}), 4);
  EXPECT_EQ(failing_op(128, {"abc"}, {0, 4}), 4);
  EXPECT_EQ(failing_op(128, {"abc"}, {0.5, 1}), 5);
  push_str("abc");
  push_str("abc");
  call(136);
  EXPECT_EQ(top().num, 0);
  reset();
  push_str("abc");
  push_str("c");
  call(136);
  EXPECT_EQ(top().num, 2);
  reset();
  push_str("ab");
  push_str("abc");
  call(136);
  EXPECT_EQ(top().type, t_nil);
  reset();
}

TEST_F(Builtins, StripWordsAndReplace) {
  EXPECT_EQ(string_op(141, {"  a b  ", " "}), "a b");
  EXPECT_EQ(string_op(141, {"   ", " "}), "");
  EXPECT_EQ(string_op(142, {"  a  b ", " "}, {1}), "b");
  EXPECT_EQ(failing_op(142, {"  a  b ", " "}, {2}), 4);
  EXPECT_EQ(string_op(137, {"aaa", "aa", "b"}), "ba");
  EXPECT_EQ(string_op(137, {"ab", "abc", "x"}), "ab");
  push_str("a");
  push_str("");
  push_str("b");
  EXPECT_EQ(call(137), -22);  // an empty pattern
  reset();
  push_str(",a,,b,");
  push_str(",");
  ASSERT_EQ(call(143), 0);
  EXPECT_EQ(texts(top()), (std::vector<std::string>{"a", "b"}));
  reset();
  push_nil(&e);
  push_str(" ");
  ASSERT_EQ(call(144), 0);
  EXPECT_EQ(top().num, 0);
  reset();
  EXPECT_EQ(string_op(138, {"ab"}, {3}), "ababab");
  EXPECT_EQ(failing_op(138, {"ab"}, {-1}), 11);
  EXPECT_EQ(string_op(140, {"abc"}, {1, 65}), "aAc");
  EXPECT_EQ(failing_op(140, {"abc"}, {1, 256}), 7);
  EXPECT_EQ(string_op(135, {"abc"}), "cba");
  EXPECT_EQ(string_op(193, {"line\n"}), "line");
  EXPECT_EQ(string_op(193, {"line"}), "line");
}

TEST_F(Builtins, NumbersAndText) {
  push_str("12");
  ASSERT_EQ(call(146), 0);
  EXPECT_EQ(top().type, t_int);
  reset();
  push_str("12.0");
  ASSERT_EQ(call(146), 0);
  EXPECT_EQ(top().type, t_double);
  EXPECT_EQ(top().num, 12);
  reset();
  EXPECT_EQ(failing_op(146, {"12x"}), 12);
  EXPECT_EQ(failing_op(146, {""}), 12);
  EXPECT_EQ(string_op(145, {}, {0.5}), "0.5");
  EXPECT_EQ(string_op(145, {}, {3}), "3");
  push_bool(&e, true);
  ASSERT_EQ(call(145), 0);
  EXPECT_EQ(top_text(), "1.0");
  reset();
  push_number(&e, -2.5);
  ASSERT_EQ(call(147), 0);
  EXPECT_EQ(top().type, t_double);
  reset();
  push_number(&e, 2.5);
  ASSERT_EQ(call(151), 0);
  EXPECT_EQ(top().type, t_int);
  EXPECT_EQ(top().num, 3);
  reset();
}

TEST_F(Builtins, ArrayInsertDeleteSpliceAndDuplicates) {
  value a = new_array({"b", "c"});
  push_value(&e, a);
  push_num(0);
  push_str("a");
  ASSERT_EQ(call(202), 0);
  push_value(&e, a);
  push_num(3);
  push_str("d");
  ASSERT_EQ(call(202), 0);
  EXPECT_EQ(texts(a), (std::vector<std::string>{"a", "b", "c", "d"}));
  push_value(&e, a);
  push_num(4);
  EXPECT_EQ(call(201), -34);
  reset();
  push_value(&e, a);
  push_num(3);
  ASSERT_EQ(call(201), 0);
  push_value(&e, a);
  push_num(0);
  ASSERT_EQ(call(201), 0);
  EXPECT_EQ(texts(a), (std::vector<std::string>{"b", "c"}));
  push_value(&e, a);
  push_num(1);
  push_num(2);
  ASSERT_EQ(call(166), 0);
  EXPECT_EQ(texts(top()), (std::vector<std::string>{"c"}));
  reset();
  value d = new_array({"x", "y", "x", "z", "y"});
  push_value(&e, d);
  ASSERT_EQ(call(206), 0);
  EXPECT_EQ(texts(top()), (std::vector<std::string>{"x", "y", "z"}));
  reset();
  push_value(&e, d);
  ASSERT_EQ(call(161), 0);
  EXPECT_NE(top().array, d.array);
  EXPECT_EQ(texts(top()), texts(d));
  reset();
  value_unref(&e, a);
  value_unref(&e, d);
}

TEST_F(Builtins, DictionaryIterationSurvivesDeletingTheCurrentKey) {
  tree_obj* t = tree_new(&e);
  value tv = make_object(t_tree, t);
  for (const char* k : {"b", "a", "ab"}) {
    value kv = str(k);
    tree_set(&e, t, kv, make_number(1));
    value_unref(&e, kv);
  }
  std::vector<std::string> order;
  push_value(&e, tv);
  push_nil(&e);
  for (;;) {
    push_bool(&e, false);
    ASSERT_EQ(call(164), 0);
    pop(&e);  // the value
    if (top().type == t_nil) break;
    order.push_back(top_text());
    tree_delete(&e, t, top().str->bytes, top().str->length);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a", "ab", "b"}));
  EXPECT_EQ(t->count, 0u);
  reset();
  // Backwards from nil starts at the largest key; keys hold any bytes.
  for (std::string k : {std::string("a\0b", 3), std::string("a"), std::string("a\0", 2)}) {
    value kv = str(k);
    tree_set(&e, t, kv, make_number(1));
    value_unref(&e, kv);
  }
  order.clear();
  push_value(&e, tv);
  push_nil(&e);
  for (;;) {
    push_bool(&e, true);
    ASSERT_EQ(call(164), 0);
    pop(&e);
    if (top().type == t_nil) break;
    order.push_back(top_text());
  }
  EXPECT_EQ(order, (std::vector<std::string>{std::string("a\0b", 3), std::string("a\0", 2), "a"}));
  reset();
  push_value(&e, tv);
  push_num(1);
  push_bool(&e, false);
  EXPECT_EQ(call(164), -22);
  EXPECT_EQ(e.err.code, 59);
  reset();
  value_unref(&e, tv);
}

TEST_F(Builtins, ScopesAndShallowCopies) {
  value root = e.current_scope;
  ASSERT_EQ(root.type, t_sc);
  value name = str("v");
  scope_set(&e, root.scope, name, make_number(7));
  push_value(&e, root);
  push_bool(&e, true);
  ASSERT_EQ(call(171), 0);
  auto index = static_cast<size_t>(top().num);
  value child = e.object_cache.items[index];
  ASSERT_EQ(child.type, t_sc);
  EXPECT_EQ(child.scope->parent, root.scope);
  EXPECT_TRUE(child.scope->holey);
  reset();
  push_value(&e, child);
  ASSERT_EQ(call(186), 0);
  EXPECT_EQ(top().scope, root.scope);
  reset();
  // 187 and 188 look in the given scope only.
  push_value(&e, child);
  push_value(&e, name);
  ASSERT_EQ(call(188), 0);
  EXPECT_EQ(top().num, 0);
  reset();
  push_value(&e, child);
  push_value(&e, name);
  EXPECT_EQ(call(187), -2);
  EXPECT_EQ(e.err.code, 34);
  reset();
  push_value(&e, root);
  push_value(&e, name);
  ASSERT_EQ(call(187), 0);
  EXPECT_EQ(top().num, 7);
  reset();
  push_value(&e, root);
  push_num(1);
  EXPECT_EQ(call(188), -22);
  EXPECT_EQ(e.err.code, 48);
  reset();
  scope_delete(&e, root.scope, "v", 1);
  value_unref(&e, name);
  // A shallow copy of a tree shares the values; other types are refused.
  tree_obj* t = tree_new(&e);
  value tv = make_object(t_tree, t);
  value inner = new_array({"x"});
  value k = str("k");
  tree_set(&e, t, k, inner);
  push_value(&e, tv);
  ASSERT_EQ(call(161), 0);
  ASSERT_EQ(top().type, t_tree);
  EXPECT_NE(top().tree, t);
  EXPECT_EQ(tree_get(top().tree, "k", 1)->array, inner.array);
  reset();
  push_num(1);
  EXPECT_EQ(call(161), -22);
  EXPECT_EQ(e.err.code, 13);
  reset();
  // Embedding a list into itself appends the elements it had.
  push_value(&e, inner);
  push_value(&e, inner);
  ASSERT_EQ(call(184), 0);
  EXPECT_EQ(texts(inner), (std::vector<std::string>{"x", "x"}));
  reset();
  value_unref(&e, k);
  value_unref(&e, inner);
  value_unref(&e, tv);
}

// A sandboxed engine (the fuzzing harnesses run untrusted code) must not
// create, truncate or change any file, yet still read.
TEST_F(Builtins, NoSideEffectsOpensForReadingOnly) {
  char dir[] = "/tmp/kiln-sandbox-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/f";
  e.no_side_effects = 1;
  for (const char* mode : {"w", "w+", "a", "a+", "r+", "wb", "ab", "r+b", "w+b", "a+b"}) {
    push_str(path);
    push_str(mode);
    ASSERT_EQ(call(172), 0) << mode;
    EXPECT_EQ(top().type, t_nil) << mode;
    reset();
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  FILE* f = fopen(path.c_str(), "w");
  fputs("kept", f);
  fclose(f);
  push_str(path);
  push_str("r+");
  ASSERT_EQ(call(172), 0);
  EXPECT_EQ(top().type, t_nil);
  reset();
  push_str(path);
  push_str("rb");
  ASSERT_EQ(call(172), 0);
  EXPECT_EQ(top().type, t_ios);
  reset();
  unlink(path.c_str());
  rmdir(dir);
}

TEST_F(Builtins, FileStreams) {
  char path[] = "/tmp/kiln-builtins-XXXXXX";
  close(mkstemp(path));
  EXPECT_EQ(failing_op(172, {path, "rw"}), 60);
  push_str("/nonexistent/file");
  push_str("r");
  ASSERT_EQ(call(172), 0);
  EXPECT_EQ(top().type, t_nil);
  reset();
  // Write "one\ntwo" through a buffer, read it back line by line.
  push_str(path);
  push_str("w+");
  ASSERT_EQ(call(172), 0);
  value f = top();
  value_ref(f);
  reset();
  push_str("one\ntwo");
  ASSERT_EQ(call(195), 0);
  value pb = top();
  value_ref(pb);
  reset();
  push_value(&e, f);
  push_value(&e, pb);
  push_num(0);
  push_num(7);
  ASSERT_EQ(call(177), 0);
  EXPECT_EQ(top().num, 7);
  reset();
  push_value(&e, f);
  push_num(0);
  push_num(0);
  ASSERT_EQ(call(175), 0);
  EXPECT_EQ(top().num, 0);
  reset();
  push_value(&e, f);
  push_str("\n");
  push_value(&e, pb);
  push_num(0);
  push_nil(&e);
  ASSERT_EQ(call(196), 0);
  EXPECT_EQ(top().num, 4);
  EXPECT_EQ(pb.pb->length, 4u);
  reset();
  push_value(&e, f);
  push_value(&e, pb);
  push_num(2);
  push_num(5);
  EXPECT_EQ(call(174), -84);  // beyond the buffer's length
  EXPECT_EQ(e.err.code, 27);
  reset();
  push_value(&e, f);
  ASSERT_EQ(call(173), 0);
  reset();
  push_value(&e, f);
  EXPECT_EQ(call(176), -22);
  EXPECT_EQ(e.err.code, 63);
  reset();
  value_unref(&e, f);
  value_unref(&e, pb);
  unlink(path);
}

TEST_F(Builtins, Time) {
  push_num(0);
  ASSERT_EQ(call(199), 0);
  tree_obj* t = top().tree;
  auto field = [&](const char* k) { return tree_get(t, k, strlen(k))->num; };
  EXPECT_EQ(field("tm_year"), 1970);
  EXPECT_EQ(field("tm_mon"), 1);
  EXPECT_EQ(field("tm_mday"), 1);
  EXPECT_EQ(field("tm_yday"), 1);
  EXPECT_EQ(field("tm_wday"), 4);
  EXPECT_EQ(field("tm_usec"), 0);
  tree_delete(&e, t, "tm_mday", 7);
  ASSERT_EQ(call(200), -22);
  EXPECT_EQ(e.err.code, 36);
  reset();
}

TEST_F(Builtins, ComparisonJoinAndBufferText) {
  auto compare = [&](const std::string& a, const std::string& b) {
    push_str(a);
    push_str(b);
    EXPECT_EQ(call(131), 0);
    double r = top().num;
    reset();
    return r;
  };
  EXPECT_LT(compare("ab", "abc"), 0);  // a prefix sorts first
  EXPECT_GT(compare("b", "abc"), 0);
  EXPECT_EQ(compare(std::string("a\0b", 3), std::string("a\0b", 3)), 0);
  EXPECT_LT(compare("a", "\xff"), 0);  // bytes compare unsigned
  value list = new_array({"x", "y", "z"});
  push_str(", ");
  push_value(&e, list);
  ASSERT_EQ(call(132), 0);
  EXPECT_EQ(top_text(), "x, y, z");
  reset();
  array_push(&e, list.array, make_number(1));
  push_str(",");
  push_value(&e, list);
  EXPECT_EQ(call(132), -22);
  EXPECT_EQ(e.err.code, 48);
  reset();
  value_unref(&e, list);
  push_str("hello");
  ASSERT_EQ(call(195), 0);
  value pb = top();
  value_ref(pb);
  reset();
  auto pb2str = [&](double off, double len) {
    push_value(&e, pb);
    push_num(off);
    push_num(len);
    int rc = call(194);
    std::string out = rc == 0 ? top_text() : "#" + std::to_string(e.err.code);
    reset();
    return out;
  };
  EXPECT_EQ(pb2str(1, 3), "ell");
  EXPECT_EQ(pb2str(5, 0), "");
  EXPECT_EQ(pb2str(-1, 1), "#62");
  EXPECT_EQ(pb2str(0, -1), "#62");
  EXPECT_EQ(pb2str(3, 3), "#27");
  value_unref(&e, pb);
}

TEST_F(Builtins, HugeCountsAndOffsetsAreRefused) {
  // A repeat count beyond any allocation fails as exhausted memory.
  push_str("ab");
  push_num(1e30);
  EXPECT_EQ(call(138), -12);
  EXPECT_EQ(e.err.code, 6);
  reset();
  EXPECT_EQ(string_op(138, {""}, {1e30}), "");
  char path[] = "/tmp/kiln-builtins-XXXXXX";
  close(mkstemp(path));
  push_str(path);
  push_str("r+");
  ASSERT_EQ(call(172), 0);
  value f = top();
  value_ref(f);
  reset();
  ASSERT_EQ(call(185), 0);
  value pb = top();
  value_ref(pb);
  reset();
  for (double off : {1e30, 18446744073709551615.0}) {
    push_value(&e, f);
    push_value(&e, pb);
    push_num(off);
    push_num(1);
    EXPECT_EQ(call(174), -84) << off;
    EXPECT_EQ(e.err.code, 27);
    reset();
  }
  push_value(&e, f);
  push_value(&e, pb);
  push_num(0);
  push_num(-1);
  EXPECT_EQ(call(177), -22);
  EXPECT_EQ(e.err.code, 62);
  reset();
  push_value(&e, f);
  push_num(1e30);
  push_num(0);
  EXPECT_EQ(call(175), -34);
  EXPECT_EQ(e.err.code, 4);
  reset();
  push_value(&e, f);
  push_num(0);
  push_num(3);
  EXPECT_EQ(call(175), -22);
  EXPECT_EQ(e.err.code, 64);
  reset();
  value_unref(&e, f);
  value_unref(&e, pb);
  unlink(path);
}

TEST_F(Builtins, DelimitedReadsStopAtTheLimitAndGrowTheBuffer) {
  char path[] = "/tmp/kiln-builtins-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_EQ(write(fd, "abcdef", 6), 6);
  close(fd);
  push_str(path);
  push_str("rb");
  ASSERT_EQ(call(172), 0);
  value f = top();
  value_ref(f);
  reset();
  ASSERT_EQ(call(185), 0);
  value pb = top();
  value_ref(pb);
  reset();
  auto getdelim = [&](value delim, double off, value max) {
    push_value(&e, f);
    push_value(&e, delim);
    push_value(&e, pb);
    push_num(off);
    push_value(&e, max);
    int rc = call(196);
    double n = rc == 0 ? top().num : -1;
    reset();
    return n;
  };
  // An offset the buffer cannot reach is refused before anything is read.
  for (double off : {18446744073709551616.0, 1e30}) {
    push_value(&e, f);
    push_nil(&e);
    push_value(&e, pb);
    push_num(off);
    push_num(3);
    EXPECT_EQ(call(196), -84) << off;
    EXPECT_EQ(e.err.code, 27);
    EXPECT_EQ(pb.pb->length, 0u);
    reset();
  }
  EXPECT_EQ(getdelim(make_nil(), 2, make_number(3)), 3);  // stops at max
  EXPECT_EQ(pb.pb->length, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pb.pb->data), 5), std::string("\0\0abc", 5));
  EXPECT_EQ(getdelim(make_nil(), 0, make_nil()), 3);  // to the end of the file
  EXPECT_EQ(pb.pb->length, 3u);
  EXPECT_EQ(getdelim(make_nil(), 0, make_nil()), 0);
  value two = str("ab");
  push_value(&e, f);
  push_value(&e, two);
  push_value(&e, pb);
  push_num(0);
  push_nil(&e);
  EXPECT_EQ(call(196), -22);
  EXPECT_EQ(e.err.code, 65);
  reset();
  push_value(&e, f);
  push_nil(&e);
  push_value(&e, pb);
  push_num(0);
  push_value(&e, two);
  EXPECT_EQ(call(196), -22);
  EXPECT_EQ(e.err.code, 39);
  reset();
  value_unref(&e, two);
  value_unref(&e, f);
  value_unref(&e, pb);
  unlink(path);
}

TEST_F(Builtins, BrokenDownTimeRoundTrips) {
  setenv("TZ", "UTC", 1);
  tzset();
  double when = 1700000000.0 * 1000000 + 123456;
  push_num(when);
  ASSERT_EQ(call(198), 0);
  value t = top();
  value_ref(t);
  reset();
  push_value(&e, t);
  ASSERT_EQ(call(200), 0);
  EXPECT_EQ(top().num, when);
  reset();
  // Negative times keep the sign in the microseconds.
  push_num(-1500000);
  ASSERT_EQ(call(199), 0);
  EXPECT_EQ(tree_get(top().tree, "tm_usec", 7)->num, -500000);
  EXPECT_EQ(tree_get(top().tree, "tm_sec", 6)->num, 59);
  reset();
  push_num(INFINITY);
  EXPECT_EQ(call(199), -22);
  EXPECT_EQ(e.err.code, 67);
  reset();
  value_unref(&e, t);
}

// With a collection before every allocation, a built-in that holds a new
// object anywhere but on the C stack or the stack makes the collector abort.
TEST_F(Builtins, NewObjectsStayRootedWhileBuiltInsBuildThem) {
  value list = new_array({"x", "y", "x"});
  value date = make_object(t_tree, tree_new(&e));  // only the required fields
  for (const char* k : {"tm_min", "tm_hour", "tm_mday", "tm_mon", "tm_year"}) {
    value kv = str(k);
    tree_set(&e, date.tree, kv, make_number(k[3] == 'y' ? 2024 : 1));
    value_unref(&e, kv);
  }
  for (value v : {list, date}) {  // rooted while the collections run
    ASSERT_EQ(cstack_push(&e, v), 0);
    value_unref(&e, v);
  }
  collect_on_every_allocation torture(&e);
  push_str(" ab  c d ");
  push_str(" ");
  ASSERT_EQ(call(143), 0);
  EXPECT_EQ(texts(top()), (std::vector<std::string>{"ab", "c", "d"}));
  reset();
  for (unsigned op : {198u, 199u}) {
    push_num(1700000000.0 * 1000000);
    ASSERT_EQ(call(op), 0) << op;
    EXPECT_EQ(top().tree->count, 10u);
    reset();
  }
  push_value(&e, date);
  ASSERT_EQ(call(200), 0);  // adds tm_wday, tm_yday and tm_isdst
  EXPECT_EQ(date.tree->count, 8u);
  reset();
  EXPECT_EQ(string_op(137, {"aXbXc", "X", "--"}), "a--b--c");
  EXPECT_EQ(string_op(142, {"a b c", " "}, {1}), "b");
  push_value(&e, list);
  ASSERT_EQ(call(206), 0);
  EXPECT_EQ(texts(top()), (std::vector<std::string>{"x", "y"}));
  reset();
  push_value(&e, list);
  ASSERT_EQ(call(161), 0);
  EXPECT_EQ(texts(top()), (std::vector<std::string>{"x", "y", "x"}));
  reset();
  EXPECT_EQ(e.cstack.length, 2u);
  cstack_pop(&e);
  cstack_pop(&e);
}

TEST_F(Builtins, OutputExitAndUnregisteredJson) {
  push_str("x");
  push_num(2);
  EXPECT_EQ(call(163), -22);
  EXPECT_EQ(e.err.code, 8);
  reset();
  push_num(42);
  EXPECT_EQ(call(159), -4);  // the run ends normally, the value stays
  EXPECT_EQ(e.err.code, 1);
  EXPECT_EQ(top().num, 42);
  reset();
  // Without the JSON library the JSON opcodes are unknown.
  push_str("[]");
  EXPECT_EQ(call(181), -86);
  EXPECT_EQ(e.err.code, 14);
  reset();
  ASSERT_EQ(call(183), 0);
  value_ref(top());
  value t = top();
  reset();
  push_value(&e, t);
  push_str("k");
  push_bool(&e, true);
  ASSERT_EQ(call(164), 0);  // an empty tree ends at once, backwards too
  EXPECT_EQ(top().type, t_nil);
  reset();
  value_unref(&e, t);
}

TEST_F(Builtins, UnknownAndUnsupported) {
  EXPECT_EQ(call(169), -45);
  EXPECT_EQ(e.err.code, 2);
  EXPECT_EQ(call(139), -86);
  EXPECT_EQ(e.err.code, 14);
  EXPECT_EQ(call(167), -86);
  EXPECT_EQ(call(1000), -86);
  clear_error(&e);
  EXPECT_EQ(call(128), -84);  // missing operands
  EXPECT_EQ(e.err.code, 30);
}

}  // namespace
}  // namespace kiln::engine::testing
