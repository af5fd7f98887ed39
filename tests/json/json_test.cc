#include <gtest/gtest.h>

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
  EXPECT_TRUE(json_test_text("true", 4));
  EXPECT_FALSE(json_test_text("[[]", 3));
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
    EXPECT_EQ(encode(back), text);
    value_unref(&e, v);
    value_unref(&e, back);
  }
}

}  // namespace
}  // namespace kiln::json
