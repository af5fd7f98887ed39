#include "db/db_checks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/settings.h"
#include "db/db_tables.h"
#include "graph/stringtab.h"
#include "recipe_words.h"

namespace kiln::db {
namespace {

graph::strid id(const std::string& s) { return graph::intern(s.data(), s.size()); }

TEST(DbChecks, CommandComparisonReasons) {
  db_tables_init(8, 8);
  testing::recipe_words one({{"NI", "E", "NM", "cc"}});
  testing::recipe_words longer({{"NI", "E", "NM", "cc", "-O2"}});
  testing::recipe_words other({{"NI", "E", "NM", "cC"}});
  testing::recipe_words two({{"NI", "E", "NM", "cc"}, {"NI", "E", "NM", "cc"}});
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
  EXPECT_EQ(tssz_db_written(e).size, 43);
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
