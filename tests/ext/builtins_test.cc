#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "engine/core_fixture.h"
#include "engine/engine.h"
#include "ext/extension.h"

namespace kiln::ext {
namespace {

using namespace kiln::engine;

class ExtBuiltins : public engine::testing::engine_test {
 protected:
  void TearDown() override {
    e.bp = 0;
    pop_n(&e, e.stack.length);
    clear_error(&e);
    up.scope_directories = nullptr;
    engine_test::TearDown();
  }
  void push_str(const std::string& s) {
    value v = str(s);
    push_value(&e, v);
    value_unref(&e, v);
  }
  void push_list(const std::vector<std::string>& items) {
    array_obj* a = array_new(&e);
    for (const std::string& s : items) {
      value v = str(s);
      array_push(&e, a, v);
      value_unref(&e, v);
    }
    value av = make_object(t_array, a);
    push_value(&e, av);
    value_unref(&e, av);
  }
  int call(unsigned op) { return extension_hook(&e, op, nullptr, 0); }
  std::string text_result() {
    value v = e.stack.items[e.stack.length - 1];
    EXPECT_EQ(v.type, t_str);
    std::string s = v.type == t_str ? std::string(v.str->bytes, v.str->length) : "";
    pop(&e);
    return s;
  }
  std::vector<std::string> list_result() {
    value v = e.stack.items[e.stack.length - 1];
    std::vector<std::string> out;
    EXPECT_EQ(v.type, t_array);
    for (size_t i = 0; v.type == t_array && i < v.array->size; i++) {
      out.emplace_back(v.array->items[i].str->bytes, v.array->items[i].str->length);
    }
    pop(&e);
    return out;
  }
  std::string one(unsigned op, const std::string& arg) {
    push_str(arg);
    EXPECT_EQ(call(op), 0) << script_error_message(e.err.code);
    return text_result();
  }
};

TEST_F(ExtBuiltins, PathFunctions) {
  EXPECT_EQ(one(71, "dir.d/file"), "");
  EXPECT_EQ(one(71, "a.tar.gz"), ".gz");
  EXPECT_EQ(one(72, "a.tar.gz"), "a.tar");
  EXPECT_EQ(one(73, "a.c"), "./");
  EXPECT_EQ(one(74, "src/"), "");
  EXPECT_EQ(one(75, "a/./b/../c//d"), "a/c/d");
  EXPECT_EQ(one(75, "../x/.."), "..");
  EXPECT_EQ(one(75, "/../a"), "/a");
  push_list({"x/a.c", "b"});
  ASSERT_EQ(call(78), 0);
  EXPECT_EQ(list_result(), (std::vector<std::string>{"x/", "./"}));
}

TEST_F(ExtBuiltins, SuffixSubstitutionChecksEveryElementFirst) {
  push_list({"a.c", "b.c"});
  push_str(".c");
  push_str(".o");
  ASSERT_EQ(call(68), 0);
  EXPECT_EQ(list_result(), (std::vector<std::string>{"a.o", "b.o"}));
  push_str("a.c");
  push_str(".o");
  push_str(".x");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(call(69), -22);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kiln: a.c does not end with .o\n");
  EXPECT_EQ(e.err.code, 4098);
  EXPECT_STREQ(script_error_message(e.err.code), "Suffix not found");
  pop_n(&e, e.stack.length);
  push_list({"src/a", "lib/b"});
  push_str("src/");
  push_str("obj/");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(call(87), -22);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kiln: lib/b does not begin with src/\n");
  pop_n(&e, e.stack.length);
  push_str("a.c");
  push_str("");
  push_str(".bak");
  ASSERT_EQ(call(69), 0);
  EXPECT_EQ(text_result(), "a.c.bak");
}

TEST_F(ExtBuiltins, Filters) {
  auto filtered = [&](unsigned op, std::vector<std::string> items, const std::string& part) {
    push_list(items);
    push_str(part);
    EXPECT_EQ(call(op), 0);
    return list_result();
  };
  std::vector<std::string> files = {"a.c", "b.h", "c.c", "src/d.c"};
  EXPECT_EQ(filtered(70, files, ".c"), (std::vector<std::string>{"a.c", "c.c", "src/d.c"}));
  EXPECT_EQ(filtered(83, files, ".c"), (std::vector<std::string>{"b.h"}));
  EXPECT_EQ(filtered(92, files, "src/"), (std::vector<std::string>{"src/d.c"}));
  EXPECT_EQ(filtered(93, files, "src/"), (std::vector<std::string>{"a.c", "b.h", "c.c"}));
  push_list({"a", "b", "a", "c"});
  push_list({"a", "c"});
  ASSERT_EQ(call(95), 0);
  EXPECT_EQ(list_result(), (std::vector<std::string>{"b"}));
  for (bool keep : {true, false}) {
    push_list({"main.c", "test_main.c", "util.c"});
    push_bool(&e, keep);
    push_str("^test_");
    ASSERT_EQ(call(90), 0);
    std::vector<std::string> expected =
        keep ? std::vector<std::string>{"test_main.c"} : std::vector<std::string>{"main.c", "util.c"};
    EXPECT_EQ(list_result(), expected);
  }
  push_list({"ab", "abb"});
  push_bool(&e, true);
  push_str("^ab+$");
  ASSERT_EQ(call(91), 0);
  EXPECT_EQ(list_result(), (std::vector<std::string>{"ab", "abb"}));
  push_list({"a"});
  push_bool(&e, true);
  push_str("(");
  EXPECT_EQ(call(91), -22);
  EXPECT_EQ(e.err.code, 4114);
}

TEST_F(ExtBuiltins, QuotingAndDirectories) {
  EXPECT_EQ(one(84, "it's a file"), "it\\'s\\ a\\ file");
  push_list({"a b", "c"});
  ASSERT_EQ(call(97), 0);
  EXPECT_EQ(list_result(), (std::vector<std::string>{"a\\ b", "c"}));
  up.scope_directories = [](engine::engine*, std::string* top, std::string* project) {
    *top = "proj/lib/sub";
    *project = "lib/sub";
  };
  ASSERT_EQ(call(64), 0);
  EXPECT_EQ(text_result(), "../..");
  ASSERT_EQ(call(85), 0);
  EXPECT_EQ(text_result(), "../../..");
  ASSERT_EQ(call(65), 0);
  EXPECT_EQ(text_result(), "lib/sub");
  ASSERT_EQ(call(86), 0);
  EXPECT_EQ(text_result(), "proj/lib/sub");
}

TEST_F(ExtBuiltins, GlobJsonAndAccessInTheScopeDirectory) {
  static std::string dir;
  char tmpl[] = "/tmp/kiln-ext-XXXXXX";
  dir = mkdtemp(tmpl);
  std::ofstream(dir + "/b.c") << "";
  std::ofstream(dir + "/a.c") << "";
  std::ofstream(dir + "/list.json") << "{\"sources\": [\"a.c\", \"b.c\"]}";
  std::ofstream(dir + "/bad.json") << "[1, 2";
  up.scope_directories = [](engine::engine*, std::string* top, std::string* project) {
    *top = dir;
    *project = dir;
  };
  push_str("*.c");
  ASSERT_EQ(call(81), 0);
  EXPECT_EQ(list_result(), (std::vector<std::string>{"a.c", "b.c"}));
  push_str("*.nothing");
  ASSERT_EQ(call(81), 0);
  EXPECT_TRUE(list_result().empty());
  push_str("list.json");
  ASSERT_EQ(call(82), 0) << script_error_message(e.err.code);
  value v = e.stack.items[e.stack.length - 1];
  ASSERT_EQ(v.type, t_tree);
  EXPECT_NE(tree_get(v.tree, "sources", 7), nullptr);
  pop(&e);
  push_str("bad.json");
  EXPECT_EQ(call(82), -22);
  EXPECT_EQ(e.err.code, 4101);
  pop_n(&e, e.stack.length);
  push_str(dir + "/a.c");
  push_str("f");
  ASSERT_EQ(call(96), 0);
  EXPECT_EQ(e.stack.items[e.stack.length - 1].num, 1);
  pop(&e);
  push_str(dir + "/a.c");
  push_str("rw");
  EXPECT_EQ(call(96), -22);
  EXPECT_EQ(e.err.code, 60);
  pop_n(&e, e.stack.length);
  for (const char* f : {"a.c", "b.c", "list.json", "bad.json"}) unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
}

TEST_F(ExtBuiltins, OpcodeRangeAndNames) {
  EXPECT_EQ(call(98), -86);
  EXPECT_EQ(e.err.code, 14);
  EXPECT_EQ(call(67), -86);  // @addrule needs the front end
  EXPECT_STREQ(opcode_name(84), "@shellescape");
  EXPECT_STREQ(opcode_name(97), "@shellescapemulti");
  EXPECT_STREQ(opcode_name(22), "+ operator");
  EXPECT_STREQ(script_error_message(4105), "No shell argument (fun+arg, cmd, cmds)");
  EXPECT_STREQ(script_error_message(4106), "Unknown error");
}

}  // namespace
}  // namespace kiln::ext
