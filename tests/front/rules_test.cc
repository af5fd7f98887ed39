// Tests of the rule half of the Kilnfile reader: rule headers and their
// items, recipe lines and their evaluation into command vectors, @order,
// @cdepincludes and the include directives.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ext/extension.h"
#include "front/includes.h"
#include "front/recipe.h"
#include "front/rule_builtins.h"
#include "front/rule_list.h"
#include "engine/core_fixture.h"
#include "front_harness.h"
#include "graph/add_rule.h"
#include "graph/config.h"
#include "graph/rule.h"
#include "graph/stringtab.h"

namespace kiln::front {
namespace {

using testing::kilnfile_runner;
using testing::parse_result;

std::vector<std::string> names_of(const std::vector<graph::parsed_name>& v) {
  std::vector<std::string> out;
  for (const auto& n : v) out.push_back(n.has_suffix ? n.name + "|" + n.suffix : n.name);
  return out;
}

TEST(Rules, HeaderKindsItemsAndAttributes) {
  kilnfile_runner k;
  parse_result r = k.parse(
      "@toplevel\n"
      "$OBJ = [\"a.o\", \"b.o\"]\n"
      "prog @disttgt \"prog.map\": ($OBJ) @orderonly \"gen\" @recdep @wait tools\n"
      "@phonyrule: all: prog\n"
      "@mayberule: stamp:\n"
      "@rectgtrule @distrule: \"out/x\": @recdep out\n"
      "@deponly: prog: \"extra.h\"\n"
      "@distcleanhook: \"x\"\n");
  ASSERT_EQ(r.rc, 0) << r.err;
  const auto& rules = k.rules().rules;
  ASSERT_EQ(rules.size(), 6u);
  EXPECT_EQ(names_of(rules[0].targets), (std::vector<std::string>{"prog", "prog.map"}));
  EXPECT_EQ(rules[0].targets[1].flags, graph::k_name_dist);
  EXPECT_EQ(names_of(rules[0].deps), (std::vector<std::string>{"a.o", "b.o", "gen", "tools"}));
  EXPECT_EQ(rules[0].deps[2].flags, graph::k_name_orderonly);
  EXPECT_EQ(rules[0].deps[3].flags, graph::k_name_recdep | graph::k_name_wait);
  EXPECT_EQ(rules[0].line, 3);
  EXPECT_EQ(rules[1].flags, graph::k_parsed_phony);
  EXPECT_EQ(rules[2].flags, graph::k_parsed_maybe);
  EXPECT_EQ(rules[3].flags, graph::k_parsed_rectgt | graph::k_parsed_dist);
  EXPECT_EQ(rules[4].flags, graph::k_parsed_deponly);
  EXPECT_EQ(rules[5].flags, graph::k_parsed_phony | graph::k_parsed_isdistcleanhook);
  EXPECT_EQ(names_of(rules[5].targets), std::vector<std::string>{"DISTCLEAN"});
  // The free-form warning comes once, on standard output.
  std::string once = "Recommend using string literals instead of free-form tokens";
  size_t at = r.out.find(once);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(r.out.find(once, at + 1), std::string::npos);
}

TEST(Rules, ScriptRulesCarryTheLineOfTheStatementThatMadeThem) {
  kilnfile_runner k;
  k.eng()->extension_hook = ext::extension_hook;
  install_rule_builtins();
  set_active_rule_list(&k.rules());
  parse_result r = k.parse(
      "@toplevel\n"
      "@function $add($n)\n"
      "  @addrule({\"tgts\": [{\"name\": $n}]})\n"
      "@endfunction\n"
      "\n"
      "@call $add(\"x\")\n");
  set_active_rule_list(nullptr);
  ASSERT_EQ(r.rc, 0) << r.err << r.out;
  ASSERT_EQ(k.rules().rules.size(), 1u);
  EXPECT_EQ(k.rules().rules[0].line, 6);
  EXPECT_EQ(names_of(k.rules().rules[0].targets), std::vector<std::string>{"x"});
}

TEST(Rules, TargetsInsideARecursiveDependencyDrawTheRectgtRecommendation) {
  kilnfile_runner k;
  parse_result r = k.parse(
      "@toplevel\n"
      "\"gen/a.h\" \"genx\": @recdep \"gen\"\n"
      "@mayberule: \"gen/b.h\": @recdep \"gen\"\n"
      "@rectgtrule: \"gen/c.h\": @recdep \"gen\"\n");
  ASSERT_EQ(r.rc, 0) << r.err;
  // Only the ordinary rule's target inside gen is named; "genx" merely
  // shares the prefix text.
  EXPECT_EQ(r.out,
            "Recommend setting rule for gen/a.h prefix gen to @rectgtrule, @detouchrule or "
            "@mayberule\n");
}

TEST(Rules, PatternRulesAndSplitPatterns) {
  kilnfile_runner k;
  parse_result r = k.parse(
      "@toplevel\n"
      "$P = \"%.o\"\n"
      "@patrule: ([\"a.o\", \"b.o\"]): $P ([@nil, \".d\"]): \"%.c\" ([\"x%y\"]) ([\"in/\", @nil])\n");
  ASSERT_EQ(r.rc, 0) << r.err;
  const graph::parsed_rule& pr = k.rules().rules.at(0);
  EXPECT_EQ(pr.bases, (std::vector<std::string>{"a.o", "b.o"}));
  EXPECT_EQ(names_of(pr.targets), (std::vector<std::string>{"%.o", "|.d"}));
  EXPECT_EQ(pr.targets[0].flags, graph::k_name_pattern);
  EXPECT_EQ(names_of(pr.deps), (std::vector<std::string>{"%.c", "x%y", "in/|"}));
  EXPECT_EQ(pr.deps[0].flags, graph::k_name_dep_pattern);
  EXPECT_EQ(pr.deps[1].flags, 0u);  // a name from an array is taken as it is
}

TEST(Rules, HeaderErrors) {
  struct {
    const char* body;
    const char* message;
  } cases[] = {
      {"a: b: c\n", "syntax error"},
      {"@patrule: @disttgt \"a\": \"%\":\n", "pattern rules can't contain @disttgt in bases"},
      {"([]): b\n", "empty target list"},
      {"(1): b\n", "error in targets"},
      {"a: ([\"x\", @nil])\n", "error in dependencies"},
      {"@order \"a\" ([\"b\", \"c\"])\n", "error in @order: stringlist size not 1"},
      {"a:\n\techo $x\n", "Old-style shell commands support only $@, $<, $^, $+, $|"},
      {"a:\n\techo $(X\n", "Old-style shell command varref literal not terminated"},
      // Names cannot hold a NUL byte: the rule graph's names are C strings.
      {"\"a\\x00b\": \"c\"\n\ttrue\n", "error in targets at file Kilnfile line 2"},
      {"\"a\": \"c\\u0000d\"\n\ttrue\n", "error in dependencies at file Kilnfile line 3"},
      {"@order \"a\\u0000\" \"b\"\n", "error in @order at file Kilnfile line 2"},
      {"@fileinclude \"x\\u0000\"\n", "error in @fileinclude at file Kilnfile line 3"},
      {"@cdepincludes [\"a.d\", \"\\u0000\"]\n", "error in @cdepincludes at file Kilnfile line 3"},
  };
  for (const auto& c : cases) {
    kilnfile_runner k;
    parse_result r = k.parse(std::string("@toplevel\n") + c.body);
    EXPECT_NE(r.rc, 0) << c.body;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.body << r.err;
    EXPECT_TRUE(k.rules().rules.empty()) << c.body;
    EXPECT_EQ(k.eng()->stack.length, 0u);
  }
  kilnfile_runner k;
  parse_result r = k.parse("@toplevel\n(1): b\n");
  EXPECT_NE(r.out.find("expected str or array, got type 0 in target"), std::string::npos) << r.out;
  r = k.parse("@toplevel\n\"a\": ([\"b\", \"c\\u0000\"])\n");
  EXPECT_EQ(r.out, "string with NUL byte for directive dependency\n");
}

TEST(Rules, BasesMayNotHoldNilLists) {
  EXPECT_EXIT(
      {
        kilnfile_runner k;
        k.parse("@toplevel\n@patrule: ([@nil]): \"%.o\":\n");
      },
      ::testing::ExitedWithCode(2), "");
}

TEST(Rules, RecipeLinesAndTheirEnd) {
  kilnfile_runner k;
  parse_result r = k.parse(
      "@toplevel\n"
      "a: b\n"
      "\t@echo one\n"
      "# a whole-line comment does not end the recipe\n"
      "\t-false\n"
      "@\t@ignore @noecho [\"x\"]\n"
      "@@\t@ismake [[\"y\"]]\n"
      "\n"
      "@deponly: c: d\n"
      "\t$V = 1\n");
  ASSERT_EQ(r.rc, 0) << r.err;
  const auto& rules = k.rules().rules;
  ASSERT_EQ(rules.size(), 2u);
  const recipe* rc = rules[0].recipe;
  ASSERT_NE(rc, nullptr);
  ASSERT_EQ(rc->entries.size(), 4u);
  EXPECT_EQ(rc->entries[0].flags, k_recipe_noecho);
  EXPECT_EQ(rc->entries[1].flags, k_recipe_ignore);
  EXPECT_EQ(rc->entries[2].flags, k_recipe_ignore | k_recipe_noecho);
  EXPECT_EQ(rc->entries[3].kind, recipe_kind::list_code);
  EXPECT_EQ(rc->entries[3].flags, k_recipe_ismake);
  // After @deponly a tab line is an ordinary statement.
  EXPECT_EQ(rules[1].recipe, nullptr);
  EXPECT_EQ(k.var("V").num, 1);
}

// Parses a Kilnfile, makes its rules and evaluates the recipe of the rule
// building `target`.
class Evaluation : public ::testing::Test {
 protected:
  void SetUp() override {
    graph::stringtab_clear();
    graph::stringtab_init(64, 1024);
    graph::rules_clear();
    graph::conf.expected_deps = 8;
    k.eng()->extension_hook = ext::extension_hook;
  }
  bool build(const std::string& text) {
    parse_result r = k.parse("@toplevel\n" + text);
    EXPECT_EQ(r.rc, 0) << r.err;
    if (r.rc != 0) return false;
    for (const auto& pr : k.rules().rules) graph::add_parsed_rule(pr);
    return true;
  }
  // The commands, each as its words joined with "|".
  std::vector<std::string> commands(const char* target, int* rc = nullptr,
                                    std::string* error = nullptr) {
    graph::rule* r = graph::rule_at(graph::ruleid_by_tgt(graph::intern(target)));
    std::string err, details;
    int code = evaluate_recipe(k.eng(), r, &err, &details);
    if (rc) *rc = code;
    if (error) *error = err;
    std::vector<std::string> out;
    for (size_t i = 0; i < r->n_commands; i++) {
      std::string line;
      for (char** w = r->commands[i]; *w; w++) line += (line.empty() ? "" : "|") + std::string(*w);
      out.push_back(line);
    }
    return out;
  }
  kilnfile_runner k;
};

TEST_F(Evaluation, OldStyleLinesQuoteEveryExpansion) {
  ASSERT_TRUE(build(
      "$X = \"it's\"\n"
      "$L = [\"a b\", \"c\"]\n"
      "\"out\": \"b\" \"b\" @orderonly \"c\" @orderonly \"c\"\n"
      "\t@cc $< $^ $+ $| -o $@ $$HOME $(X) ${@L} \\$x\n"));
  EXPECT_EQ(commands("out"),
            std::vector<std::string>{"NI|NE|NM|sh|-c|cc b b b b c -o out $HOME it\\'s "
                                     "a\\ b c $x"});
}

TEST_F(Evaluation, ExpressionRecipesInTheRuleScopeWithRelativeNames) {
  ASSERT_TRUE(build(
      "$CC = \"cc\"\n"
      "@beginscope\n"
      "$CC = \"gcc\"\n"
      "\"sub/a.o\": \"sub/a.c\" \"inc/x.h\"\n"
      "@\t@ismake [$CC, \"-c\", $<, \"-o\", $@]\n"
      "@@\t[[\"true\"], [\"echo\", @ $^]]\n"
      "@endscope\n"));
  EXPECT_EQ(commands("sub/a.o"),
            (std::vector<std::string>{"NI|E|M|gcc|-c|sub/a.c|-o|sub/a.o", "NI|E|NM|true",
                                      "NI|E|NM|echo|sub/a.c|inc/x.h"}));
  // The automatic variables are gone again.
  EXPECT_EQ(k.var("@").type, engine::t_nil);
}

// Every object evaluation makes stays rooted while it builds the next, so
// a collection at any allocation finds nothing to reclaim too early.
TEST_F(Evaluation, CollectionsAtEveryAllocationFindEverythingRooted) {
  engine::testing::collect_on_every_allocation collecting(k.eng());
  ASSERT_TRUE(build("$X ``= [\"echo\", \"a b c\"]\n"
                    "\"out\": \"b\" \"c\" @orderonly \"d\"\n"
                    "@\t[\"cat\", @ $+, @ $|, @ $X, $@, $<]\n"));
  EXPECT_EQ(commands("out"), std::vector<std::string>{"NI|E|NM|cat|b|c|d|a|b|c|out|b"});
}

TEST_F(Evaluation, AResultThatIsNoArgumentVectorFails) {
  ASSERT_TRUE(build("\"a\":\n@\t\"echo a\"\n\"b\":\n@\t[1]\n\"c\":\n@@\t[\"x\"]\n"));
  int rc = 0;
  std::string error;
  EXPECT_TRUE(commands("a", &rc, &error).empty());
  EXPECT_LT(rc, 0);
  EXPECT_EQ(error, "Expected array");
  commands("b", &rc, &error);
  EXPECT_EQ(error, "Expected string");
  commands("c", &rc, &error);
  EXPECT_EQ(error, "Expected array");
  EXPECT_EQ(k.eng()->stack.length, 0u);
}

// @exit in a recipe function ends the evaluation with its value as the
// command, whatever frames lie below it.
TEST_F(Evaluation, ExitInARecipeFunctionGivesTheCommand) {
  ASSERT_TRUE(build(
      "@function $cmd($x)\n"
      "  @exit([\"echo\", $x])\n"
      "  @return [\"not\", \"reached\"]\n"
      "@endfunction\n"
      "@function $list($x)\n"
      "  @exit([[\"echo\", $x]])\n"
      "@endfunction\n"
      "@function $cmds()\n"
      "  @return [1, @L $list(\"inner\")]\n"
      "@endfunction\n"
      "\"a\":\n"
      "@\t$cmd($@)\n"
      "@@\t$cmds()\n"));
  EXPECT_EQ(commands("a"), (std::vector<std::string>{"NI|E|NM|echo|a", "NI|E|NM|echo|inner"}));
  EXPECT_EQ(k.eng()->stack.length, 0u);
  EXPECT_EQ(k.eng()->bp, 0u);
}

// Identical old-style lines share their code, and rules with the same
// lines their recipe; each rule still sees its own names and lines, and
// code that reaches the automatic variables through a function sees them
// all.
TEST_F(Evaluation, SharedLinesAndRecipesKeepEachRulesOwnNamesAndLines) {
  ASSERT_TRUE(build(
      "@function $deps()\n"
      "  @return @D $^\n"
      "@endfunction\n"
      "\"a\": \"x\" \"y\"\n\tcp $< $@\n"
      "\"b\": \"z\"\n\tcp $< $@\n"
      "\"c\": \"x\" \"z\" @orderonly \"o\"\n\tcp $< $@\n@\t[\"echo\", @ $deps()]\n"
      "\"d\": \"x\"\n\tcp $< $* $@\n"
      "\"e\": \"y\"\n\tcp $< $* $@\n"));
  const auto& rules = k.rules().rules;
  ASSERT_EQ(rules.size(), 5u);
  EXPECT_EQ(rules[0].recipe, rules[1].recipe);
  EXPECT_EQ(rules[0].recipe->entries[0].shell, rules[2].recipe->entries[0].shell);
  EXPECT_EQ(rules[3].recipe, rules[4].recipe);
  EXPECT_EQ(commands("a"), std::vector<std::string>{"NI|E|NM|sh|-c|cp x a"});
  EXPECT_EQ(commands("b"), std::vector<std::string>{"NI|E|NM|sh|-c|cp z b"});
  EXPECT_EQ(commands("c"),
            (std::vector<std::string>{"NI|E|NM|sh|-c|cp x c", "NI|E|NM|echo|x|z"}));
  int rc = 0;
  std::string error;
  EXPECT_TRUE(commands("d", &rc, &error).empty());
  EXPECT_LT(rc, 0);
  // A shared recipe's failure names the line of the rule that ran it.
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(commands("e", &rc, &error).empty());
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "variable $* is not defined in the recipe of 'e' at file Kilnfile line 15."),
            std::string::npos);
  EXPECT_EQ(k.var("<").type, engine::t_nil);
}

TEST(Directives, OrderAndCdepincludes) {
  kilnfile_runner k;
  parse_context ctx;
  ctx.file_name = "sub/Kilnfile";
  ctx.dir_prefix = "sub";
  ctx.expects_toplevel = false;
  parse_result r = k.parse(
      "@subfile\n"
      "@order \"a\" \"../b\"\n"
      "@order \"/abs\" (\"c/./d\")\n"
      "@cdepincludes @autophony @autotarget @ignore [\"x.d\", \"y.d\"]\n"
      "@cdepincludes @ignore \"z.d\"\n",
      ctx);
  ASSERT_EQ(r.rc, 0) << r.err;
  const rule_list& l = k.rules();
  ASSERT_EQ(l.order_pairs.size(), 2u);
  EXPECT_EQ(l.order_pairs[0], (std::pair<std::string, std::string>{"sub/a", "b"}));
  EXPECT_EQ(l.order_pairs[1], (std::pair<std::string, std::string>{"/abs", "sub/c/d"}));
  ASSERT_EQ(l.cdepincludes.size(), 3u);
  EXPECT_EQ(l.cdepincludes[1].file, "y.d");
  EXPECT_EQ(l.cdepincludes[1].directory, "sub");
  EXPECT_EQ(l.cdepincludes[1].bits, 7u);
  EXPECT_EQ(l.cdepincludes[2].bits, db::k_cdep_ignore);
  // Only the incomplete entry draws the recommendation.
  std::string rec = "Recommend @autophony, @autotarget and @ignore with @cdepincludes";
  size_t at = r.out.find(rec);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(r.out.find(rec, at + 1), std::string::npos);
}

// Include tests run in a scratch directory that becomes the working
// directory, as the top directory is during a build.
class Includes : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kiln-includes-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(getcwd(saved_, sizeof saved_), saved_);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(saved_), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  void write(const std::string& path, const std::string& text) {
    std::string d = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    if (!d.empty()) {
      std::string cmd = "mkdir -p '" + d + "'";
      ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::ofstream(path) << text;
  }
  parse_result parse_top() {
    struct args {
      kilnfile_runner* k;
    } a{&k};
    return testing::capture_calls(
        [](void* p) {
          auto* x = static_cast<args*>(p);
          return parse_top_level(x->k->eng(), &x->k->rules(), "Kilnfile");
        },
        &a);
  }
  kilnfile_runner k;
  std::string dir_;
  char saved_[4096];
};

TEST_F(Includes, DirectoriesNestWithTheirPrefixesAndScopes) {
  write("Kilnfile",
        "@toplevel\n"
        "$V = \"top\"\n"
        "@dirinclude @scopename $S \"sub\"\n"
        "@call @stdout(@SC($S) $V . \"\\n\")\n"
        "@fileinclude @ignore [\"missing.inc\", \"rules.inc\"]\n");
  write("sub/Kilnfile",
        "@subfile\n"
        "$V = \"sub\"\n"
        "\"a\": \"b\"\n"
        "@dirinclude \"x\"\n");
  write("sub/x/Kilnfile", "@subfile\n@call @stdout(@LP $V . \"\\n\")\n\"c\":\n");
  write("rules.inc", "@subfile\n\"d\": ($V)\n");
  parse_result r = parse_top();
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, "sub\nsub\n");
  const auto& rules = k.rules().rules;
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0].prefix, "sub");
  EXPECT_EQ(rules[1].prefix, "sub/x");
  EXPECT_EQ(rules[2].prefix, ".");
  EXPECT_EQ(names_of(rules[2].deps), std::vector<std::string>{"top"});
  EXPECT_NE(rules[0].scope, rules[2].scope);
}

// The build extension's built-ins compile with their own argument counts
// and see the directory of the Kilnfile that calls them.
TEST_F(Includes, ExtensionBuiltinsFromASubDirectory) {
  k.eng()->extension_hook = ext::extension_hook;
  install_scope_directories();
  write("Kilnfile", "@toplevel\n@dirinclude \"lib/sub\"\n");
  write("lib/sub/Kilnfile",
        "@subfile\n"
        "@call @stdout(@dirup() . \" \" . @dirdownall() . \"\\n\")\n"
        "@call @stdout(@strlistjoin(\",\", @regfilter([\"a.c\", \"b.h\"], @false, \"[.]c$\")) . "
        "\"\\n\")\n"
        "@call @stdout(@strlistjoin(\",\", @eregfilter([\"a.c\", \"b.h\"], @true, \"(c|h)$\")) . "
        "\"\\n\")\n");
  parse_result r = parse_top();
  ASSERT_EQ(r.rc, 0) << r.err << r.out;
  EXPECT_EQ(r.out, "../.. lib/sub\nb.h\na.c,b.h\n");
}

TEST_F(Includes, FailuresEndTheParse) {
  struct {
    const char* top;
    const char* sub;
    const char* message;
    bool on_stdout;
  } cases[] = {
      {"@dirinclude \"nowhere\"\n", nullptr, "path ./nowhere/Kilnfile does not exist", true},
      {"@dirinclude \"sub\"\n", "@toplevel\n", "Expected @subfile, got @toplevel", false},
      {"@projdirinclude \"sub\"\n", "@subfile\n", "Expected @toplevel, got @subfile", false},
      {"@dirinclude \"sub\"\n", "@subfile\n)\n", "kiln: Can't parse subkilnfile ./sub/Kilnfile.",
       false},
      {"@fileinclude \"none.inc\"\n", nullptr, "kiln: Can't open subkilnfile none.inc.", false},
      {"@dirinclude @scopename $S [\"a\", \"b\"]\n", nullptr,
       "If setting include scope, must have 1 include, has 2 includes", false},
  };
  for (const auto& c : cases) {
    write("Kilnfile", std::string("@toplevel\n") + c.top);
    if (c.sub) write("sub/Kilnfile", c.sub);
    k.rules().rules.clear();
    parse_result r = parse_top();
    EXPECT_NE(r.rc, 0) << c.top;
    const std::string& where = c.on_stdout ? r.out : r.err;
    EXPECT_NE(where.find(c.message), std::string::npos) << c.top << "\n" << r.out << r.err;
  }
}

// A file that includes itself ends when descriptors run out (or at the
// nesting bound when the descriptor limit is high), never by overflowing
// the stack.
TEST_F(Includes, SelfInclusionEndsWithAMessage) {
  write("Kilnfile", "@toplevel\n@fileinclude \"loop.inc\"\n");
  write("loop.inc", "@subfile\n@fileinclude \"loop.inc\"\n");
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (rlim_t limit : {rlim_t{256}}) {
    struct rlimit rl = saved;
    rl.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    parse_result r = parse_top();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_NE(r.rc, 0);
    bool reported =
        r.err.find("Out of file descriptors, probably infinite recursion when opening file "
                   "loop.inc") != std::string::npos ||
        r.err.find("kiln: Kilnfiles nested more than 2000 deep, probably infinite recursion "
                   "when opening file loop.inc") != std::string::npos;
    EXPECT_TRUE(reported) << r.err.substr(0, 300);
  }
}

// A project directory that includes itself opens the same file again and
// again without running out of descriptors first; the include bound ends
// it with a parse error, well before the C stack runs out.
TEST_F(Includes, ProjectSelfInclusionEndsAtTheBound) {
  write("Kilnfile", "@toplevel\n@projdirinclude \".\"\n");
  parse_result r = parse_top();
  EXPECT_NE(r.rc, 0);
  EXPECT_EQ(r.err.rfind("kiln: Kilnfiles nested more than 2000 deep, probably infinite recursion "
                        "when opening file ././Kilnfile at file ././Kilnfile line 3 col 1.\n",
                        0),
            0u)
      << r.err.substr(0, 300);
  EXPECT_EQ(k.eng()->stack.length, 0u);
}

TEST_F(Includes, ProbeMarkersFollowTheIncludeChain) {
  write("Kilnfile", "@toplevel\n@dirinclude \"sub\"\n@projdirinclude \"proj\"\n");
  write("sub/Kilnfile", "@subfile\n\"a\":\n");
  write("proj/Kilnfile", "@toplevel\n@dirinclude \"inner\"\n");
  write("proj/inner/Kilnfile", "@subfile\n");
  char real[4096];
  ASSERT_NE(realpath("sub/Kilnfile", real), nullptr);
  {
    rule_list l;
    l.probe_mode = true;
    l.description_path = real;
    ASSERT_EQ(parse_top_level(k.eng(), &l, "Kilnfile"), 0);
    EXPECT_TRUE(l.top_marker);
    EXPECT_TRUE(l.project_marker);
    EXPECT_TRUE(l.rules.empty());  // probes record no rules
  }
  ASSERT_NE(realpath("proj/inner/Kilnfile", real), nullptr);
  rule_list l;
  l.probe_mode = true;
  l.description_path = real;
  ASSERT_EQ(parse_top_level(k.eng(), &l, "Kilnfile"), 0);
  EXPECT_TRUE(l.top_marker);
  EXPECT_FALSE(l.project_marker);  // reached across a @projdirinclude
}

}  // namespace
}  // namespace kiln::front
