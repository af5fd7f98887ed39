#include "front/rule_builtins.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/hooks.h"
#include "engine/engine.h"
#include "ext/extension.h"
#include "front/rule_list.h"
#include "graph/graph_fixture.h"

namespace kiln::front {
namespace {

using namespace kiln::engine;
using graph::parsed_name;
using graph::parsed_rule;

constexpr unsigned k_adddeps = 66;
constexpr unsigned k_addrule = 67;

// An engine whose root scope is the directory "sub", a fresh rule graph
// and an active rule list.
class RuleBuiltins : public graph::GraphTest {
 protected:
  void SetUp() override {
    GraphTest::SetUp();
    ASSERT_EQ(engine_init(&e, 0), 0);
    set_scope_directory(e.current_scope.scope, "sub", "sub");
    install_scope_directories();
    install_rule_builtins();
    set_active_rule_list(&list);
  }
  void TearDown() override {
    set_active_rule_list(nullptr);
    pop_n(&e, e.stack.length);
    clear_error(&e);
    engine_verify_refcounts(&e);
    engine_free(&e);
    up.scope_directories = nullptr;
    GraphTest::TearDown();
  }

  // Value builders: each result holds one reference, which the containers
  // and call() take over.
  value s(const char* text) { return make_object(t_str, string_new(&e, text, strlen(text))); }
  value s(const char* text, size_t length) {
    return make_object(t_str, string_new(&e, text, length));
  }
  value arr(std::initializer_list<value> items) {
    array_obj* a = array_new(&e);
    for (value v : items) {
      array_push(&e, a, v);
      value_unref(&e, v);
    }
    return make_object(t_array, a);
  }
  value dict(std::initializer_list<std::pair<const char*, value>> items) {
    tree_obj* t = tree_new(&e);
    for (auto [k, v] : items) {
      value key = s(k);
      tree_set(&e, t, key, v);
      value_unref(&e, key);
      value_unref(&e, v);
    }
    return make_object(t_tree, t);
  }
  value tgts(std::initializer_list<const char*> names) {
    array_obj* a = array_new(&e);
    for (const char* n : names) {
      value d = dict({{"name", s(n)}});
      array_push(&e, a, d);
      value_unref(&e, d);
    }
    return make_object(t_array, a);
  }

  // A rule of the target "a" with one recipe part.
  value with_shell(value part) { return dict({{"tgts", tgts({"a"})}, {"shells", arr({part})}}); }

  int call(unsigned op, std::initializer_list<value> args) {
    for (value v : args) {
      push_value(&e, v);
      value_unref(&e, v);
    }
    return ext::extension_hook(&e, op, nullptr, 0);
  }

  std::string info_text() {
    return e.err.info.type == t_str ? std::string(e.err.info.str->bytes, e.err.info.str->length)
                                    : "<not a string>";
  }

  engine::engine e;
  rule_list list;
};

TEST_F(RuleBuiltins, AddRuleRegistersTargetsDepsAndEveryRecipeKind) {
  value fun = make_typed(t_fun, 4242);
  value rule = dict({
      {"tgts", arr({dict({{"name", s("a.o")}, {"dist", make_bool(true)}}),
                    dict({{"name", s("b.o")}})})},
      {"deps", arr({dict({{"name", s("a.c")}, {"rec", make_number(2)}}),
                    dict({{"name", s("gen")},
                          {"orderonly", make_bool(true)},
                          {"rec", make_number(0)}})})},
      {"shells", arr({dict({{"cmd", arr({s("cc"), s("-c")})}, {"ignore", make_bool(true)}}),
                      dict({{"embed", make_number(1)}, {"noecho", make_bool(true)},
                            {"cmds", arr({arr({s("x")}), arr({s("y"), s("z")})})}}),
                      dict({{"isfun", make_bool(true)}, {"ismake", make_bool(true)}, {"fun", fun},
                            {"arg", s("payload")}, {"cmd", make_number(3)}})})},
      {"attrs", dict({{"maybe", make_bool(true)}, {"phony", make_bool(false)}})},
  });
  ASSERT_EQ(call(k_addrule, {rule}), 0) << ext::script_error_message(e.err.code);
  EXPECT_EQ(e.stack.length, 0u);
  ASSERT_EQ(list.rules.size(), 1u);
  const parsed_rule& pr = list.rules[0];
  ASSERT_EQ(pr.targets.size(), 2u);
  EXPECT_EQ(pr.targets[0].name, "a.o");
  EXPECT_EQ(pr.targets[0].flags, graph::k_name_dist);
  EXPECT_EQ(pr.targets[1].flags, 0u);
  ASSERT_EQ(pr.deps.size(), 2u);
  EXPECT_EQ(pr.deps[0].flags, graph::k_name_recdep);
  EXPECT_EQ(pr.deps[1].name, "gen");
  EXPECT_EQ(pr.deps[1].flags, graph::k_name_orderonly);
  EXPECT_EQ(pr.flags, graph::k_parsed_maybe);
  EXPECT_EQ(pr.prefix, "sub");
  EXPECT_EQ(pr.scope, e.current_scope.scope->cache_index);
  EXPECT_EQ(pr.line, -1);

  ASSERT_NE(pr.recipe, nullptr);
  const std::vector<recipe_entry>& en = pr.recipe->entries;
  ASSERT_EQ(en.size(), 3u);
  EXPECT_EQ(en[0].kind, recipe_kind::ready);
  EXPECT_EQ(en[0].flags, k_recipe_ignore);
  EXPECT_EQ(en[0].commands, (std::vector<std::vector<std::string>>{{"cc", "-c"}}));
  EXPECT_EQ(en[1].kind, recipe_kind::ready);
  EXPECT_EQ(en[1].flags, k_recipe_noecho);
  EXPECT_EQ(en[1].commands, (std::vector<std::vector<std::string>>{{"x"}, {"y", "z"}}));
  EXPECT_EQ(en[2].kind, recipe_kind::function);  // "cmd" is not looked at
  EXPECT_EQ(en[2].flags, k_recipe_ismake);
  EXPECT_EQ(en[2].address, 4242);
  ASSERT_GE(en[2].arg_index, 0);
  value kept = e.object_cache.items[en[2].arg_index];
  ASSERT_EQ(kept.type, t_str);  // outlives the popped dictionary
  EXPECT_STREQ(kept.str->bytes, "payload");
}

TEST_F(RuleBuiltins, AddRuleArgumentErrors) {
  struct error_case {
    const char* what;
    value rule;
    int code;
    const char* info;  // the missing key, when the information is one
  };
  value fun = make_typed(t_fun, 7);
  std::vector<error_case> cases = {
      {"not a dictionary", arr({}), 45, nullptr},
      {"no tgts", dict({{"deps", arr({})}}), ext::err_targets_missing, "tgts"},
      {"tgts not array", dict({{"tgts", s("a")}}), 47, nullptr},
      {"target not dict", dict({{"tgts", arr({s("a")})}}), 45, nullptr},
      {"target without name", dict({{"tgts", arr({dict({{"dist", make_bool(true)}})})}}),
       ext::err_name_missing, "name"},
      {"name not string", dict({{"tgts", arr({dict({{"name", make_number(1)}})})}}), 48, nullptr},
      // A name with a NUL byte could never be interned in the rule graph.
      {"target name with NUL", dict({{"tgts", arr({dict({{"name", s("a\0b", 3)}})})}}), 7,
       nullptr},
      {"dependency name with NUL",
       dict({{"tgts", tgts({"a"})}, {"deps", arr({dict({{"name", s("b\0", 2)}})})}}), 7,
       nullptr},
      {"dist not boolean",
       dict({{"tgts", arr({dict({{"name", s("a")}, {"dist", s("yes")}})})}}), 40, nullptr},
      {"deps not array", dict({{"tgts", tgts({"a"})}, {"deps", dict({})}}), 47, nullptr},
      {"dep without name", dict({{"tgts", tgts({"a"})}, {"deps", arr({dict({})})}}),
       ext::err_name_missing, "name"},
      {"rec not boolean",
       dict({{"tgts", tgts({"a"})},
             {"deps", arr({dict({{"name", s("b")}, {"rec", arr({})}})})}}),
       40, nullptr},
      {"shells not array", dict({{"tgts", tgts({"a"})}, {"shells", dict({})}}), 47, nullptr},
      {"isfun without fun", with_shell(dict({{"isfun", make_bool(true)}, {"arg", s("x")}})),
       ext::err_no_shell_argument, "fun"},
      {"fun not function",
       with_shell(dict({{"isfun", make_bool(true)}, {"fun", s("f")}, {"arg", s("x")}})), 41,
       nullptr},
      {"isfun without arg", with_shell(dict({{"isfun", make_bool(true)}, {"fun", fun}})),
       ext::err_no_shell_argument, "arg"},
      {"embed without cmds", with_shell(dict({{"embed", make_bool(true)}, {"cmd", arr({})}})),
       ext::err_no_shell_argument, "cmds"},
      {"command not array",
       with_shell(dict({{"embed", make_bool(true)}, {"cmds", arr({s("ls")})}})), 47, nullptr},
      {"no cmd", with_shell(dict({{"noecho", make_bool(true)}})),
       ext::err_no_shell_argument, "cmd"},
      {"word not string", with_shell(dict({{"cmd", arr({s("ls"), make_number(1)})}})),
       48, nullptr},
      {"ignore not boolean", with_shell(dict({{"ignore", make_nil()}, {"cmd", arr({})}})),
       40, nullptr},
      {"attrs not dict", dict({{"tgts", tgts({"a"})}, {"attrs", arr({})}}), 45, nullptr},
      {"attr not boolean", dict({{"tgts", tgts({"a"})}, {"attrs", dict({{"phony", s("x")}})}}), 40,
       nullptr},
  };
  for (error_case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_LT(call(k_addrule, {c.rule}), 0);
    EXPECT_EQ(e.err.code, c.code);
    if (c.info) {
      EXPECT_EQ(info_text(), c.info);
    }
    EXPECT_EQ(e.stack.length, 1u);  // the operand stays for the report
    EXPECT_TRUE(list.rules.empty());
    pop_n(&e, e.stack.length);
    clear_error(&e);
  }
  EXPECT_EQ(call(k_addrule, {}), -84);
  EXPECT_EQ(e.err.code, 30);
}

TEST_F(RuleBuiltins, InsaneAttributeCombinations) {
  auto attrs = [&](const std::vector<const char*>& on, bool with_target) {
    tree_obj* t = tree_new(&e);
    for (const char* k : on) {
      value key = s(k);
      tree_set(&e, t, key, make_bool(true));
      value_unref(&e, key);
    }
    return dict({{"tgts", with_target ? tgts({"x"}) : arr({})}, {"attrs", make_object(t_tree, t)}});
  };
  std::vector<std::pair<std::vector<const char*>, bool>> insane = {
      {{"phony", "rectgt"}, true},
      {{"phony", "dist"}, true},
      {{"rectgt", "maybe"}, true},
      {{"detouch", "maybe"}, true},
      {{"deponly", "detouch"}, true},
      {{"iscleanhook", "isdistcleanhook", "phony"}, false},
      {{"iscleanhook", "phony", "dist"}, false},
      {{"iscleanhook"}, false},                       // neither phony nor deponly
      {{"iscleanhook", "phony", "deponly"}, false},   // both
      {{"isbothcleanhook", "phony"}, true},           // a hook with a target
  };
  for (auto& [on, with_target] : insane) {
    EXPECT_LT(call(k_addrule, {attrs(on, with_target)}), 0);
    EXPECT_EQ(e.err.code, ext::err_insane_rule) << on[0] << " and " << on.size() - 1 << " more";
    pop_n(&e, e.stack.length);
  }
  EXPECT_TRUE(list.rules.empty());
  for (const std::vector<const char*>& on :
       std::vector<std::vector<const char*>>{{"rectgt", "dist"}, {"maybe", "dist"}, {"deponly"}}) {
    EXPECT_EQ(call(k_addrule, {attrs(on, true)}), 0) << on[0];
  }
  EXPECT_EQ(list.rules.size(), 3u);
}

TEST_F(RuleBuiltins, CleanHookGetsItsPseudoTarget) {
  value rule = dict({{"tgts", arr({})},
                     {"attrs",
                      dict({{"isdistcleanhook", make_bool(true)}, {"phony", make_number(1)}})},
                     {"shells", arr({dict({{"cmd", arr({s("rm"), s("-rf"), s("out")})}})})}});
  ASSERT_EQ(call(k_addrule, {rule}), 0);
  ASSERT_EQ(list.rules.size(), 1u);
  const parsed_rule& pr = list.rules[0];
  ASSERT_EQ(pr.targets.size(), 1u);
  EXPECT_EQ(pr.targets[0].name, "DISTCLEAN");
  EXPECT_EQ(pr.flags, graph::k_parsed_phony | graph::k_parsed_isdistcleanhook);
  // The graph turns it into the name the distclean looks for.
  graph::ruleid id = graph::add_parsed_rule(pr);
  EXPECT_EQ(rule_of("sub/DISTCLEAN///"), id);
  EXPECT_TRUE(graph::rule_at(id)->flags & graph::k_rule_isdistcleanhook);
}

TEST_F(RuleBuiltins, RegistrationRefusedOrDisabled) {
  auto fun_rule = [&] {
    return dict({{"tgts", tgts({"a"})},
                 {"shells", arr({dict({{"isfun", make_bool(true)}, {"fun", make_typed(t_fun, 1)},
                                       {"arg", arr({s("kept?")})}})})}});
  };
  size_t cached = e.object_cache.length;
  list.in_rule = true;
  EXPECT_LT(call(k_addrule, {fun_rule()}), 0);
  EXPECT_EQ(e.err.code, ext::err_midrule);
  EXPECT_EQ(e.stack.length, 1u);
  // The argument did not stay alive in the object cache.
  for (size_t i = cached; i < e.object_cache.length; i++) {
    EXPECT_EQ(e.object_cache.items[i].type, t_nil);
  }
  pop_n(&e, 1);
  EXPECT_LT(call(k_adddeps, {arr({s("a")}), arr({}), dict({})}), 0);
  EXPECT_EQ(e.err.code, ext::err_midrule);
  pop_n(&e, 3);

  list.in_rule = false;
  list.rules_disabled = true;
  EXPECT_EQ(call(k_addrule, {fun_rule()}), 0);
  EXPECT_EQ(e.stack.length, 0u);
  EXPECT_TRUE(list.rules.empty());

  set_active_rule_list(nullptr);
  EXPECT_LT(call(k_addrule, {fun_rule()}), 0);
  EXPECT_EQ(e.err.code, ext::err_parsing_done);
  EXPECT_EQ(e.stack.length, 1u);
}

TEST_F(RuleBuiltins, AddDepsWhileParsingRegistersDependencyOnlyRule) {
  value opts =
      dict({{"rec", make_bool(true)}, {"wait", make_number(2)}, {"orderonly", make_bool(false)}});
  ASSERT_EQ(call(k_adddeps, {arr({s("t1"), s("t2")}), arr({s("d")}), opts}), 0);
  EXPECT_EQ(e.stack.length, 0u);
  ASSERT_EQ(list.rules.size(), 1u);
  const parsed_rule& pr = list.rules[0];
  EXPECT_EQ(pr.flags, graph::k_parsed_deponly);
  EXPECT_EQ(pr.prefix, "sub");
  EXPECT_EQ(pr.recipe, nullptr);
  ASSERT_EQ(pr.targets.size(), 2u);
  EXPECT_EQ(pr.targets[1].name, "t2");
  ASSERT_EQ(pr.deps.size(), 1u);
  EXPECT_EQ(pr.deps[0].flags, graph::k_name_recdep | graph::k_name_wait);
}

TEST_F(RuleBuiltins, AddDepsArgumentErrors) {
  EXPECT_LT(call(k_adddeps, {arr({}), arr({})}), 0);
  EXPECT_EQ(e.err.code, 30);
  pop_n(&e, 2);
  struct error_case {
    value targets, deps, options;
    int code;
    double number;
  };
  std::vector<error_case> cases = {
      {arr({}), arr({}), arr({}), 45, -1},
      {arr({}), arr({s("d"), make_nil()}), dict({}), 48, -2},
      {dict({}), arr({}), dict({}), 47, -3},
      {arr({s("t")}), arr({}), dict({{"orderonly", s("yes")}}), 40, -1},
      {arr({s("t")}), arr({s("d\0", 2)}), dict({}), 7, -2},
      {arr({s("\0t", 2)}), arr({s("d")}), dict({}), 7, -3},
  };
  for (error_case& c : cases) {
    EXPECT_LT(call(k_adddeps, {c.targets, c.deps, c.options}), 0);
    EXPECT_EQ(e.err.code, c.code);
    EXPECT_EQ(e.err.number, c.number);
    EXPECT_EQ(e.stack.length, 3u);
    pop_n(&e, 3);
  }
  EXPECT_TRUE(list.rules.empty());
}

TEST_F(RuleBuiltins, AddDepsDuringTheBuildChangesTheGraph) {
  set_active_rule_list(nullptr);
  graph::ruleid t = simple_rule({"t"}, {}, "sub");
  simple_rule({"d"}, {}, "sub");
  value opts = dict({{"orderonly", make_bool(true)}});
  ASSERT_EQ(call(k_adddeps, {arr({s("t")}), arr({s("./d")}), opts}), 0);
  EXPECT_EQ(e.stack.length, 0u);
  EXPECT_EQ(dep_texts(t), std::vector<std::string>{"sub/d"});
  EXPECT_EQ(graph::rule_at(t)->last_dep->flags & graph::k_dep_orderonly, graph::k_dep_orderonly);

  ::testing::internal::CaptureStderr();
  EXPECT_LT(call(k_adddeps, {arr({s("nope")}), arr({s("d")}), dict({})}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kiln: target sub/nope not found while adding dep\n");
  EXPECT_EQ(e.err.code, ext::err_rule_not_found);
  pop_n(&e, 3);

  graph::rule_at(t)->flags |= graph::k_rule_executed;
  ::testing::internal::CaptureStderr();
  EXPECT_LT(call(k_adddeps, {arr({s("t")}), arr({s("d")}), dict({})}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kiln: target sub/t already executed while adding dep\n");
  EXPECT_EQ(e.err.code, ext::err_rule_not_found);
  EXPECT_STREQ(ext::script_error_message(e.err.code), "Rule not found");
  EXPECT_EQ(e.stack.length, 3u);

  // @addrule has no run-time form.
  pop_n(&e, 3);
  EXPECT_LT(call(k_addrule, {dict({{"tgts", tgts({"x"})}})}), 0);
  EXPECT_EQ(e.err.code, ext::err_parsing_done);
}

}  // namespace
}  // namespace kiln::front
