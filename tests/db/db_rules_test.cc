#include "db/db_rules.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "db/database.h"
#include "db/db_checks.h"
#include "db/db_tables.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "temp_dir.h"

namespace kiln::db {
namespace {

graph::strid id(const std::string& s) { return graph::intern(s.data(), s.size()); }

// Command vectors of a rule, kept alive for the test.
struct recipe_words {
  std::vector<std::vector<char*>> words;
  std::vector<char**> commands;

  explicit recipe_words(std::vector<std::vector<std::string>> cmds) {
    for (auto& c : cmds) {
      std::vector<char*> w;
      for (auto& s : c) w.push_back(strdup(s.c_str()));
      w.push_back(nullptr);
      words.push_back(std::move(w));
    }
    for (auto& w : words) commands.push_back(w.data());
  }
  ~recipe_words() {
    for (auto& w : words)
      for (char* s : w) free(s);
  }
};

graph::rule* make_rule(const std::vector<std::string>& targets, const std::string& prefix,
                       uint32_t flags, recipe_words* recipe) {
  graph::rule* r = graph::new_rule(0, id(prefix), -1, nullptr, 0, 1);
  for (const std::string& t : targets) graph::add_target(r, id(t), id(t), false);
  r->flags |= flags;
  if (recipe) {
    r->commands = recipe->commands.data();
    r->n_commands = recipe->commands.size();
  }
  return r;
}

std::vector<std::string> cmd_order() {
  std::vector<std::string> out;
  for (const dbe* e = cmd_db_first(); e; e = e->next) out.push_back(graph::text(e->target));
  return out;
}

class DbRules : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg = settings();
    graph::rules_clear();
    db_reset();
    db_tables_init(64, 64);
  }
  void TearDown() override {
    graph::rules_clear();
    db_reset();
    cfg = settings();
  }
};

void add_old_entry(const std::string& target) {
  command_builder b;
  b.begin_command();
  b.add_word("old", 3);
  cmd_db_insert(id(target), id("."), b);
}

TEST_F(DbRules, RanRulesRecordStartedRulesForgetOthersKeep) {
  for (const char* t : {"a.o", "b.o", "c.o", "d.o"}) add_old_entry(t);
  recipe_words cc({{"NI", "E", "NM", "cc", "-c", "a.c"}, {"I", "NE", "NM", "true"}});
  make_rule({"a.o", "a.h"}, "src", graph::k_rule_executed | graph::k_rule_ran |
                                       graph::k_rule_started, &cc);
  make_rule({"b.o"}, ".", graph::k_rule_started, &cc);        // failed
  make_rule({"c.o"}, ".", graph::k_rule_executed, &cc);       // up to date
  ASSERT_EQ(update_cmd_db_from_rules(), 0);
  EXPECT_EQ(cmd_order(), (std::vector<std::string>{"c.o", "d.o", "a.o", "a.h"}));
  EXPECT_TRUE(cmd_db_check(id("a.o"), id("src"), cc.commands.data(), 2));
  EXPECT_TRUE(cmd_db_check(id("a.h"), id("src"), cc.commands.data(), 2));
  EXPECT_EQ(cmd_db_compare(id("c.o"), id("."), cc.commands.data(), 2), k_cmd_other_cmd);
}

TEST_F(DbRules, RemovalIsTracedUnderDebug) {
  cfg.debug = true;
  add_old_entry("b.o");
  make_rule({"b.o"}, ".", graph::k_rule_started, nullptr);
  ::testing::internal::CaptureStdout();
  update_cmd_db_from_rules();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "removing b.o from DB\n");
  EXPECT_EQ(cmd_db_lookup(id("b.o")), nullptr);
}

TEST_F(DbRules, WriteStoresTheRunsCommands) {
  testing::temp_dir dir;
  std::string path = dir.file(".kiln.db");
  db_open(path.c_str());
  db_load();
  recipe_words cc({{"NI", "E", "NM", "cc", "-c", "a.c"}});
  make_rule({"src/a.o"}, "src", graph::k_rule_ran | graph::k_rule_started, &cc);
  EXPECT_EQ(db_write(1), 0);
  EXPECT_EQ(dir.read(".kiln.db"),
            "@v1@\n\n\"src\" \"src/a.o\":\n\t\"NI\" \"E\" \"NM\" \"cc\" \"-c\" \"a.c\"\n");
}

TEST(DbChecks, CommandComparisonReasons) {
  db_tables_init(8, 8);
  recipe_words one({{"NI", "E", "NM", "cc"}});
  recipe_words longer({{"NI", "E", "NM", "cc", "-O2"}});
  recipe_words other({{"NI", "E", "NM", "cC"}});
  recipe_words two({{"NI", "E", "NM", "cc"}, {"NI", "E", "NM", "cc"}});
  command_builder b;
  b.add_commands(one.commands.data(), 1);
  cmd_db_insert(id("t"), id("d"), b);
  EXPECT_EQ(cmd_db_compare(id("t"), id("d"), one.commands.data(), 1), k_cmd_same);
  EXPECT_EQ(cmd_db_compare(id("u"), id("d"), one.commands.data(), 1), k_cmd_not_found);
  EXPECT_EQ(cmd_db_compare(id("t"), id("e"), one.commands.data(), 1), k_cmd_other_dir);
  EXPECT_EQ(cmd_db_compare(id("t"), id("d"), longer.commands.data(), 1), k_cmd_other_cmd);
  EXPECT_EQ(cmd_db_compare(id("t"), id("d"), other.commands.data(), 1), k_cmd_other_cmd);
  EXPECT_EQ(cmd_db_compare(id("t"), id("d"), two.commands.data(), 2), k_cmd_other_cmd);
  EXPECT_EQ(cmd_db_compare(id("t"), id("d"), nullptr, 0), k_cmd_other_cmd);

  cfg.debug = true;
  ::testing::internal::CaptureStdout();
  cmd_db_check(id("u"), id("d"), one.commands.data(), 1);
  cmd_db_check(id("t"), id("e"), one.commands.data(), 1);
  cmd_db_check(id("t"), id("d"), two.commands.data(), 2);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "target u not found in cmd DB\n"
            "target t has different dir in cmd DB\n"
            "target t has different cmd in cmd DB\n");
  cfg = settings();
  db_tables_clear();
}

TEST(DbChecks, TsszComparisonRecordsWhatASourceShows) {
  db_tables_init(8, 8);
  tssz_db_insert_stored(id("f"), 100, 5, 42);
  EXPECT_EQ(tssz_db_compare(id("f"), 100, 5, 42, false), k_tssz_same);
  EXPECT_FALSE(tssz_db_lookup(id("f"))->updated);
  EXPECT_EQ(tssz_db_compare(id("f"), 100, 6, 42, false), k_tssz_other_time);
  EXPECT_FALSE(tssz_db_lookup(id("f"))->updated);  // a target records nothing
  EXPECT_EQ(tssz_db_compare(id("f"), 100, 5, 43, true), k_tssz_other_size);
  const tsdbe* e = tssz_db_lookup(id("f"));
  EXPECT_TRUE(e->updated);
  EXPECT_EQ(e->new_size, 43);
  EXPECT_EQ(e->stored_size, 42);  // the comparison is against the stored values
  EXPECT_EQ(tssz_db_compare(id("g"), 1, 1, 1, true), k_tssz_not_found);
  EXPECT_EQ(tssz_db_lookup(id("g")), nullptr);

  cfg.debug = true;
  ::testing::internal::CaptureStdout();
  tssz_db_check(id("g"), 1, 1, 1, true);
  tssz_db_check(id("f"), 100, 5, 1, false);
  tssz_db_check(id("f"), 1, 5, 42, true);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "source g not found in tssz DB\n"
            "target f has different size in tssz DB\n"
            "source f has different timestamp in tssz DB\n");
  cfg = settings();
  db_tables_clear();
}

}  // namespace
}  // namespace kiln::db
