#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "engine/core_fixture.h"
#include "engine/engine.h"
#include "json/reader.h"
#include "json/writer.h"

namespace kiln::json {
namespace {

using namespace kiln::engine;

class Json : public engine::testing::engine_test {
 protected:
  void SetUp() override {
    engine_test::SetUp();
    register_builtins();
  }
  void TearDown() override {
    pop_n(&e, e.stack.length);
    clear_error(&e);
    engine_test::TearDown();
  }
  std::string encode(value v) {
    push_value(&e, v);
    EXPECT_EQ(builtin_run(&e, 180), 0) << error_message(e.err.code);
    value out = e.stack.items[e.stack.length - 1];
    std::string s(out.str->bytes, out.str->length);
    pop(&e);
    return s;
  }
  value key(const std::string& k) { return str(k); }
  void set(tree_obj* t, const std::string& k, value v) {
    value kv = str(k);
    tree_set(&e, t, kv, v);
    value_unref(&e, kv);
  }
  // Decodes text; returns the value with a reference the caller owns.
  value decode(const std::string& text) {
    value s = str(text);
    push_value(&e, s);
    value_unref(&e, s);
    EXPECT_EQ(builtin_run(&e, 181), 0) << text;
    value v = e.stack.items[e.stack.length - 1];
    value_ref(v);
    pop(&e);
    return v;
  }
  bool decodes(const std::string& text) {
    value s = str(text);
    push_value(&e, s);
    value_unref(&e, s);
    int rc = builtin_run(&e, 181);
    if (rc != 0) {
      EXPECT_EQ(e.err.code, 68);
      clear_error(&e);
    }
    pop(&e);
    return rc == 0;
  }
};

TEST_F(Json, LayoutOfNestedValues) {
  tree_obj* t = tree_new(&e);
  value tv = make_object(t_tree, t);
  array_obj* a = array_new(&e);
  value av = make_object(t_array, a);
  array_push(&e, a, make_number(1));
  array_push(&e, a, make_number(2));
  set(t, "b", av);
  set(t, "a", make_number(1));
  EXPECT_EQ(encode(tv), "{\n  \"a\": 1,\n  \"b\": [\n    1,\n    2\n  ]\n}");
  value_unref(&e, av);
  value_unref(&e, tv);
  tree_obj* empty_tree = tree_new(&e);
  value et = make_object(t_tree, empty_tree);
  EXPECT_EQ(encode(et), "{}");
  array_obj* empty_array = array_new(&e);
  value ea = make_object(t_array, empty_array);
  EXPECT_EQ(encode(ea), "[]");
  value_unref(&e, et);
  value_unref(&e, ea);
}

TEST_F(Json, NumbersStringsAndKeyOrder) {
  EXPECT_EQ(encode(make_number(3)), "3");
  EXPECT_EQ(encode(make_double(0.1)), "0.1");
  EXPECT_EQ(encode(make_double(1e21)), "1e21");
  EXPECT_EQ(encode(make_double(100)), "1e2");
  EXPECT_EQ(encode(make_double(12)), "12.0");
  EXPECT_EQ(encode(make_double(0.0001)), "0.0001");
  EXPECT_EQ(encode(make_double(INFINITY)), "null");
  EXPECT_EQ(encode(make_bool(false)), "false");
  EXPECT_EQ(encode(make_nil()), "null");
  value s = str("a\tb\x1b\"\\\xc3\xa9");
  EXPECT_EQ(encode(s), "\"a\\tb\\u001b\\\"\\\\\xc3\xa9\"");
  value_unref(&e, s);
  tree_obj* t = tree_new(&e);
  value tv = make_object(t_tree, t);
  for (const char* k : {"b", "a", "ab"}) set(t, k, make_nil());
  EXPECT_EQ(encode(tv), "{\n  \"a\": null,\n  \"ab\": null,\n  \"b\": null\n}");
  value_unref(&e, tv);
  push_value(&e, make_typed(t_fun, 3));
  EXPECT_EQ(builtin_run(&e, 180), -22);
  EXPECT_EQ(e.err.code, 66);
}

TEST_F(Json, DecodesEscapesAndTypes) {
  value v = decode(" {\"a\": [1, 2.5, \"x\\/y\\u00e4\", true, null], \"b\": {}} ");
  ASSERT_EQ(v.type, t_tree);
  value* a = tree_get(v.tree, "a", 1);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->array->size, 5u);
  EXPECT_EQ(a->array->items[0].type, t_int);
  EXPECT_EQ(a->array->items[1].type, t_double);
  EXPECT_EQ(std::string(a->array->items[2].str->bytes), "x/y\xc3\xa4");
  EXPECT_EQ(a->array->items[3].type, t_bool);
  EXPECT_EQ(a->array->items[4].type, t_nil);
  value_unref(&e, v);
  value surrogate = decode("\"\\ud83d\"");
  EXPECT_EQ(std::string(surrogate.str->bytes, surrogate.str->length), "\xed\xa0\xbd");
  value_unref(&e, surrogate);
}

TEST_F(Json, MalformedTextsFailCleanly) {
  const char* bad[] = {"", "[", "[1,]", "{\"a\":1,}", "{\"a\" 1}", "[1] 2", "[1] x", "\"\\x41\"",
                       "tru", "nul", "{1: 2}", "]", "[}", "\"abc", "-", "{\"a\":}", "[1 2]"};
  for (const char* text : bad) EXPECT_FALSE(decodes(text)) << text;
  // Every truncation of a valid text fails, and never crashes.
  std::string valid = "{\"k\": [1, -2.5e3, \"s\\n\\u0041\", {\"x\": null}], \"t\": true}";
  EXPECT_TRUE(decodes(valid));
  for (size_t n = 0; n < valid.size(); n++) {
    if (n == 0) continue;
    EXPECT_FALSE(json_test_text(valid.data(), n)) << n;
    EXPECT_FALSE(decodes(valid.substr(0, n))) << n;
  }
  // Deep nesting is handled without recursion.
  std::string deep(100000, '[');
  EXPECT_FALSE(decodes(deep));
  deep += std::string(100000, ']');
  EXPECT_TRUE(json_test_text(deep.data(), deep.size()));
  EXPECT_TRUE(decodes(deep));  // built and released without recursion
  EXPECT_TRUE(json_test_text("true", 4));
  EXPECT_FALSE(json_test_text("[[]", 3));
}

TEST_F(Json, OnlyStandardNumbersAndStringsAreAccepted) {
  const std::string bad[] = {"01", "-01", "00", "[1.]", "-0.e5", "1.e5", "1e", "1e+", "-",
                             "--1", "+1", "1.5.2", "0x10", "\"a\tb\"", "\"a\nb\"",
                             "\"\x01\"", "{\"k\x1f\": 1}", std::string("\"\0\"", 3)};
  for (const std::string& t : bad) {
    EXPECT_FALSE(json_test_text(t.data(), t.size())) << t;
    EXPECT_FALSE(decodes(t)) << t;
  }
  const char* good[] = {"0", "-0", "10", "-0.5e5", "1E+2", "0.0e-0", "[0, 1.25]",
                        "\"\x7f\xc3\xa9\"", "{\"a b\": \"\\t\"}"};
  for (const char* text : good) {
    EXPECT_TRUE(json_test_text(text, strlen(text))) << text;
    EXPECT_TRUE(decodes(text)) << text;
  }
}

// Strings and keys are kept on the C stack while the next allocation may
// collect.
TEST_F(Json, DecodedValuesStayRootedWhileTheyAreBuilt) {
  std::string text = "{";
  for (int i = 0; i < 20000; i++) text += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": \"v\"";
  text += "}";
  e.gc_permitted = 1;  // the collector runs when the GC block fills
  value big = decode(text);
  e.gc_permitted = 0;
  EXPECT_EQ(big.tree->count, 20000u);
  value_unref(&e, big);
  engine::testing::collect_on_every_allocation torture(&e);
  value v = decode("[\"a\", {\"b\": \"c\", \"d\": [\"e\", 1]}, \"f\"]");
  EXPECT_EQ(encode(v), "[\n  \"a\",\n  {\n    \"b\": \"c\",\n    \"d\": [\n      \"e\",\n      1\n    ]\n  },\n  \"f\"\n]");
  value_unref(&e, v);
  EXPECT_EQ(e.cstack.length, 0u);
}

// Whether two values are equal: same type, same numbers and bytes, equal
// elements and members.
bool same(value a, value b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case t_str:
      return a.str->length == b.str->length &&
             memcmp(a.str->bytes, b.str->bytes, a.str->length) == 0;
    case t_array:
      if (a.array->size != b.array->size) return false;
      for (size_t i = 0; i < a.array->size; i++) {
        if (!same(a.array->items[i], b.array->items[i])) return false;
      }
      return true;
    case t_tree: {
      if (a.tree->count != b.tree->count) return false;
      for (tree_entry* n = tree_next(a.tree, nullptr); n; n = tree_next(a.tree, n->key.str)) {
        value* other = tree_get(b.tree, n->key.str->bytes, n->key.str->length);
        if (!other || !same(n->val, *other)) return false;
      }
      return true;
    }
    case t_nil: return true;
    default: return a.num == b.num;
  }
}

// Random values survive an encode and a decode unchanged.
TEST_F(Json, RandomRoundTrip) {
  std::mt19937 rng(7);
  std::function<value(int)> make = [&](int depth) -> value {
    int kind = depth > 3 ? static_cast<int>(rng() % 4) : static_cast<int>(rng() % 6);
    switch (kind) {
      case 0: return make_number(static_cast<double>(static_cast<int32_t>(rng())));
      case 1: return make_double(std::ldexp(static_cast<double>(rng()), -static_cast<int>(rng() % 40)) + 0.5);
      case 2: {
        std::string s;
        for (int i = rng() % 6; i > 0; i--) s += static_cast<char>(rng() % 256);
        return str(s);
      }
      case 3: return rng() % 2 ? make_bool(rng() % 2) : make_nil();
      case 4: {
        array_obj* a = array_new(&e);
        for (int i = rng() % 4; i > 0; i--) {
          value v = make(depth + 1);
          array_push(&e, a, v);
          value_unref(&e, v);
        }
        return make_object(t_array, a);
      }
      default: {
        tree_obj* t = tree_new(&e);
        for (int i = rng() % 4; i > 0; i--) {
          std::string k;
          for (int j = rng() % 4; j > 0; j--) k += static_cast<char>(rng() % 256);
          value v = make(depth + 1);
          set(t, k, v);
          value_unref(&e, v);
        }
        return make_object(t_tree, t);
      }
    }
  };
  for (int round = 0; round < 200; round++) {
    value v = make(0);
    std::string text = encode(v);
    value back = decode(text);
    EXPECT_TRUE(same(v, back)) << text;
    EXPECT_EQ(encode(back), text);
    value_unref(&e, v);
    value_unref(&e, back);
  }
}

TEST_F(Json, TesterAndDepthBudget) {
  auto test = [&](const std::string& text) {
    value s = str(text);
    push_value(&e, s);
    value_unref(&e, s);
    EXPECT_EQ(builtin_run(&e, 203), 0);
    bool ok = e.stack.items[e.stack.length - 1].type == t_bool &&
              e.stack.items[e.stack.length - 1].num != 0;
    pop(&e);
    return ok;
  };
  EXPECT_TRUE(test("true"));
  EXPECT_TRUE(test(" {\"a\": [ ]} \n"));
  EXPECT_FALSE(test("[[]"));
  EXPECT_FALSE(test(""));
  EXPECT_FALSE(test("1 2"));
  EXPECT_FALSE(test("\"\\x\""));
  push_number(&e, 1);
  EXPECT_EQ(builtin_run(&e, 203), -22);
  EXPECT_EQ(e.err.code, 48);
  clear_error(&e);
  pop(&e);
  // A value deeper than the budget (here: an array holding itself) fails
  // as exhausted memory, recorded in the error slot.
  array_obj* a = array_new(&e);
  value av = make_object(t_array, a);
  array_push(&e, a, av);
  push_value(&e, av);
  EXPECT_EQ(builtin_run(&e, 180), -12);
  EXPECT_EQ(e.err.code, 6);
  clear_error(&e);
  pop(&e);
  a->size = 0;  // break the cycle
  a->items[0] = make_nil();
  value_unref(&e, av);  // the array's reference to itself
  value_unref(&e, av);
  // 2047 levels are within the budget; a valid deep text decodes too.
  std::string nested = std::string(2047, '[') + std::string(2047, ']');
  value deep = decode(nested);
  push_value(&e, deep);
  EXPECT_EQ(builtin_run(&e, 180), 0);
  pop(&e);
  value_unref(&e, deep);
}

// Writes text to a fresh temporary file and returns its path.
std::string temp_file(const std::string& text) {
  char path[] = "/tmp/kiln-json-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  return path;
}

TEST_F(Json, FileReader) {
  std::string good = temp_file("{\"x\": [1, \"\\u00e4\"]}\n");
  size_t height = e.stack.length;
  ASSERT_EQ(json_read_file(&e, good.c_str()), 0);
  ASSERT_EQ(e.stack.length, height + 1);
  value v = e.stack.items[e.stack.length - 1];
  ASSERT_EQ(v.type, t_tree);
  value* x = tree_get(v.tree, "x", 1);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(std::string(x->array->items[1].str->bytes), "\xc3\xa4");
  pop(&e);
  for (const char* text : {"[1] [2]", "{} x", "\"\\x\"", "", "[1,", "[01]", "\"\t\""}) {
    std::string bad = temp_file(text);
    EXPECT_EQ(json_read_file(&e, bad.c_str()), -1) << text;
    EXPECT_EQ(e.stack.length, height);
    unlink(bad.c_str());
  }
  EXPECT_EQ(json_read_file(&e, "/tmp"), -1);  // not a regular file
  EXPECT_EQ(json_read_file(&e, "/nonexistent/kiln.json"), -1);
  EXPECT_EQ(e.stack.length, height);
  unlink(good.c_str());
}

// With a byte limit the decoder and the encoder fail as exhausted memory,
// leave the stack as it was and leak nothing, at every point of the build.
TEST_F(Json, ExhaustedMemoryFailsCleanly) {
  std::string text = "{\"list\": [";
  for (int i = 0; i < 200; i++) text += (i ? ", " : "") + std::string("{\"k\": \"v\"}");
  text += "]}";
  value s = str(text);
  size_t base = e.alloc.bytes_in_use;
  size_t height = e.stack.length;
  int failures = 0;
  int successes = 0;
  for (size_t extra = 0; extra < 400000; extra += 9973) {
    push_value(&e, s);
    e.alloc.byte_limit = base + extra;
    int rc = builtin_run(&e, 181);
    if (rc == 0) {
      successes++;
      // With no room left for the text the encoder fails the same way.
      e.alloc.byte_limit = e.alloc.bytes_in_use;
      push_value(&e, e.stack.items[e.stack.length - 1]);
      EXPECT_EQ(builtin_run(&e, 180), -12);
      EXPECT_EQ(e.err.code, 6);
      pop(&e);
    } else {
      failures++;
      EXPECT_EQ(rc, -12) << extra;
      EXPECT_EQ(e.err.code, 6);
    }
    e.alloc.byte_limit = SIZE_MAX;
    clear_error(&e);
    pop(&e);
    EXPECT_EQ(e.stack.length, height);
    EXPECT_EQ(e.cstack.length, 0u);
  }
  EXPECT_GT(failures, 3);
  EXPECT_GT(successes, 0);
  value_unref(&e, s);
}

}  // namespace
}  // namespace kiln::json
