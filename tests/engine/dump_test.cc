#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "engine/core_fixture.h"
#include "engine/engine.h"

namespace kiln::engine::testing {
namespace {

std::string text_of(double x) {
  char buf[32];
  int n = number_text(x, buf);
  EXPECT_EQ(static_cast<size_t>(n), strlen(buf));
  EXPECT_LE(n, 24);
  return buf;
}

TEST(NumberText, ShortestFormThatReadsBack) {
  EXPECT_EQ(text_of(0.1), "0.1");
  EXPECT_EQ(text_of(1e21), "1e21");
  EXPECT_EQ(text_of(5), "5.0");
  EXPECT_EQ(text_of(std::ldexp(1.0, 64)), "1.8446744073709552e19");
  EXPECT_EQ(text_of(-0.5), "-0.5");
  EXPECT_EQ(text_of(100), "100.0");
  EXPECT_EQ(text_of(1e-5), "1e-5");
  EXPECT_EQ(text_of(123456789012345680000.0), "1.2345678901234568e20");
  EXPECT_EQ(text_of(1.0 / 3), "0.3333333333333333");
  EXPECT_EQ(text_of(0.0001), "0.0001");
  EXPECT_EQ(text_of(1e16), "1e16");
  EXPECT_EQ(text_of(INFINITY), "inf");
  // Every result reads back exactly.
  for (double x : {3.141592653589793, 2.5e-300, 1.7976931348623157e308, 4.9e-324, 12345.678}) {
    EXPECT_EQ(atof(text_of(x).c_str()), x) << x;
  }
}

class Dump : public engine_test {
 protected:
  std::string dump(value v) {
    char* buf = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buf, &size);
    value_dump(out, v);
    fclose(out);
    std::string s(buf, size);
    free(buf);
    return s;
  }
};

TEST_F(Dump, ScalarsAndStrings) {
  EXPECT_EQ(dump(make_number(5)), "5");
  EXPECT_EQ(dump(make_double(5)), "5.0");
  EXPECT_EQ(dump(make_number(-3)), "-3");
  EXPECT_EQ(dump(make_bool(true)), "true");
  EXPECT_EQ(dump(make_nil()), "null");
  EXPECT_EQ(dump(make_typed(t_fun, 12)), "fun(12)");
  value s = str(std::string("a\"b\\c\n\t\x01\xff", 9));
  EXPECT_EQ(dump(s), "\"a\\\"b\\\\c\\n\\t\\u0001\xff\"");
  value_unref(&e, s);
}

// @make_fun accepts any integral number, infinities included, and code
// can store any number into a saved-pointer slot: the address prints
// clamped to the integer range.
TEST_F(Dump, AddressesBeyondTheIntegerRangeAreClamped) {
  EXPECT_EQ(dump(make_typed(t_fun, 1e300)), "fun(9223372036854775807)");
  EXPECT_EQ(dump(make_typed(t_fun, -INFINITY)), "fun(-9223372036854775808)");
  EXPECT_EQ(dump(make_typed(t_ip, 9223372036854775808.0)), "ip(9223372036854775807)");
  EXPECT_EQ(dump(make_typed(t_bp, std::nan(""))), "bp(0)");
  EXPECT_EQ(dump(make_typed(t_bp, -7)), "bp(-7)");
}

TEST_F(Dump, ContainersAndSelfReference) {
  array_obj* a = array_new(&e);
  value av = make_object(t_array, a);
  array_push(&e, a, make_number(1));
  array_push(&e, a, av);  // the array contains itself
  EXPECT_EQ(dump(av), "[1, [...]]");
  array_obj* outer = array_new(&e);
  value ov = make_object(t_array, outer);
  array_push(&e, outer, av);
  EXPECT_EQ(dump(ov), "[[1, [...]]]");
  tree_obj* t = tree_new(&e);
  value tv = make_object(t_tree, t);
  value kb = str("b");
  value ka = str("a");
  tree_set(&e, t, kb, make_number(2));
  tree_set(&e, t, ka, av);
  EXPECT_EQ(dump(tv), "{\"a\": [1, [...]], \"b\": 2}");
  value_unref(&e, ka);
  value_unref(&e, kb);
  value_unref(&e, tv);
  value_unref(&e, ov);
  a->size = 1;  // break the cycle by hand: drop the self reference
  value_unref(&e, av);
  value_unref(&e, av);
}

TEST_F(Dump, DeepNestingIsAbbreviated) {
  value inner = make_nil();
  for (int i = 0; i < 150; i++) {
    array_obj* a = array_new(&e);
    array_push(&e, a, inner);
    value_unref(&e, inner);
    inner = make_object(t_array, a);
  }
  std::string text = dump(inner);
  EXPECT_EQ(text.substr(0, 100), std::string(100, '['));
  EXPECT_NE(text.find("[...]"), std::string::npos);
  value_unref(&e, inner);
}

}  // namespace
}  // namespace kiln::engine::testing
