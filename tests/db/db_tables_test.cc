#include "db/db_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "graph/stringtab.h"

namespace kiln::db {
namespace {

graph::strid id(const std::string& s) { return graph::intern(s.data(), s.size()); }

command_builder one_command(std::vector<std::string> words) {
  command_builder b;
  b.begin_command();
  for (const std::string& w : words) b.add_word(w.data(), w.size());
  return b;
}

std::vector<std::string> cmd_order() {
  std::vector<std::string> out;
  for (const dbe* e = cmd_db_first(); e; e = e->next) out.push_back(graph::text(e->target));
  return out;
}

std::vector<std::string> tssz_order() {
  std::vector<std::string> out;
  for (const tsdbe* e = tssz_db_first(); e; e = e->next) out.push_back(graph::text(e->file));
  return out;
}

class DbTables : public ::testing::Test {
 protected:
  void SetUp() override { db_tables_init(4, 4); }
  void TearDown() override { db_tables_clear(); }
};

TEST_F(DbTables, StoresCommandsWordByWord) {
  command_builder b;
  b.begin_command();
  for (const char* w : {"NI", "E", "NM", "cc", "-c", "a.c"}) b.add_word(w, strlen(w));
  b.begin_command();
  b.add_word("x\0y", 3);  // a NUL inside a word is kept by length
  ASSERT_EQ(cmd_db_insert(id("a.o"), id("src"), b), 0);
  const dbe* e = cmd_db_lookup(id("a.o"));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->directory, id("src"));
  ASSERT_EQ(e->n_commands, 2u);
  ASSERT_EQ(e->commands[0].n_words, 6u);
  EXPECT_STREQ(e->commands[0].words[3].text, "cc");
  EXPECT_EQ(std::string(e->commands[1].words[0].text, e->commands[1].words[0].length),
            std::string("x\0y", 3));
  EXPECT_EQ(cmd_db_lookup(id("b.o")), nullptr);
}

// The targets of one rule share one copy of their commands; the copy
// outlives the entry that made it while another entry uses it.
TEST_F(DbTables, EqualCommandsInARowShareOneCopyThatOutlivesItsMaker) {
  cmd_db_insert(id("a.o"), id("src"), one_command({"cc", "a.c"}));
  cmd_db_insert(id("a.d"), id("src"), one_command({"cc", "a.c"}));
  cmd_db_insert(id("b.o"), id("lib"), one_command({"cc", "a.c"}));  // another directory
  cmd_db_insert(id("c.o"), id("lib"), one_command({"cc", "a.cc"}));
  const dbe* d = cmd_db_lookup(id("a.d"));
  EXPECT_EQ(d->commands.starts, cmd_db_lookup(id("a.o"))->commands.starts);
  EXPECT_NE(cmd_db_lookup(id("b.o"))->commands.starts, d->commands.starts);
  EXPECT_NE(cmd_db_lookup(id("c.o"))->commands.starts, cmd_db_lookup(id("b.o"))->commands.starts);
  EXPECT_TRUE(cmd_db_remove(id("a.o")));
  cmd_db_insert(id("a.o"), id("src"), one_command({"ld"}));
  d = cmd_db_lookup(id("a.d"));
  EXPECT_STREQ(d->commands[0].words[1].text, "a.c");
  EXPECT_STREQ(cmd_db_lookup(id("a.o"))->commands[0].words[0].text, "ld");
}

TEST_F(DbTables, ReplacingMovesTheEntryToTheEndOfTheList) {
  for (const char* t : {"a", "b", "c"}) cmd_db_insert(id(t), id("."), one_command({"1"}));
  cmd_db_insert(id("a"), id("d2"), one_command({"2"}));
  EXPECT_EQ(cmd_order(), (std::vector<std::string>{"b", "c", "a"}));
  EXPECT_EQ(cmd_db_lookup(id("a"))->directory, id("d2"));
  EXPECT_TRUE(cmd_db_remove(id("c")));
  EXPECT_FALSE(cmd_db_remove(id("c")));
  EXPECT_EQ(cmd_order(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(db_table_statistics().dbe_count, 2u);
}

TEST_F(DbTables, StoredInsertReplacesButRecordUpdatesInPlace) {
  tssz_db_insert_stored(id("x"), 1, 2, 3);
  tssz_db_insert_stored(id("y"), 4, 5, 6);
  tssz_db_insert_stored(id("x"), 7, 8, 9);
  EXPECT_EQ(tssz_order(), (std::vector<std::string>{"y", "x"}));
  const tsdbe* x = tssz_db_lookup(id("x"));
  EXPECT_EQ(x->stored_sec, 7);
  EXPECT_FALSE(x->updated);

  tssz_db_record(id("y"), 10, 11, 12);
  tssz_db_record(id("z"), 13, 14, 15);
  EXPECT_EQ(tssz_order(), (std::vector<std::string>{"y", "x", "z"}));
  const tsdbe* y = tssz_db_lookup(id("y"));
  EXPECT_TRUE(y->updated);
  EXPECT_EQ(y->stored_size, 12);
  EXPECT_EQ(tssz_db_written(y).size, 12);
  EXPECT_EQ(tssz_db_written(y).nsec, 11);
  EXPECT_TRUE(tssz_db_lookup(id("z"))->updated);
}

// Observed values other than the stored ones are kept aside; observing
// the stored ones again, or recording, brings the entry back to them.
TEST_F(DbTables, ObservedValuesAreWrittenUntilTheStoredOnesReturn) {
  tssz_db_insert_stored(id("f"), 1, 2, 3);
  tsdbe* f = tssz_db_lookup(id("f"));
  db_tables_clear_changed();
  tssz_db_observe(f, 1, 2, 4);
  EXPECT_TRUE(db_tables_changed());
  EXPECT_EQ(tssz_db_written(f).size, 4);
  EXPECT_EQ(f->stored_size, 3);
  tssz_db_observe(f, 1, 2, 3);
  EXPECT_EQ(tssz_db_written(f).size, 3);
  tssz_db_observe(f, 5, 6, 7);
  db_tables_clear_changed();
  tssz_db_record(id("f"), 5, 6, 7);
  EXPECT_FALSE(db_tables_changed());  // written with these values already
  tssz_db_record(id("f"), 8, 9, 10);
  EXPECT_TRUE(db_tables_changed());
  EXPECT_EQ(tssz_db_written(f).sec, 8);
  EXPECT_EQ(f->stored_nsec, 9);
}

TEST_F(DbTables, ReplacingTheLastFileKeepsTheListWhole) {
  // A replaced file entry lingers on the list until it is read; appending
  // after it, before and after such a read, must keep the order.
  for (const char* f : {"a", "b", "b"}) tssz_db_insert_stored(id(f), 1, 0, 0);
  EXPECT_EQ(tssz_order(), (std::vector<std::string>{"a", "b"}));
  tssz_db_insert_stored(id("c"), 1, 0, 0);
  tssz_db_insert_stored(id("c"), 2, 0, 0);
  tssz_db_record(id("d"), 3, 0, 0);
  EXPECT_EQ(tssz_order(), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(tssz_db_lookup(id("c"))->stored_sec, 2);
  EXPECT_EQ(db_table_statistics().tsdbe_count, 4u);
}

TEST_F(DbTables, ManyEntriesGrowTheBucketsAndStayFindable) {
  // 4 buckets to begin with; the table doubles them as entries arrive,
  // re-inserting what it holds, and keeps the list order.
  std::vector<graph::strid> ids;
  for (int i = 0; i < 3000; i++) ids.push_back(id("f" + std::to_string(i)));
  for (size_t i = 0; i < ids.size(); i++) tssz_db_insert_stored(ids[i], i, 0, 0);
  for (size_t i = 0; i < ids.size(); i += 2) tssz_db_insert_stored(ids[i], i + 1, 0, 0);
  for (size_t i = 0; i < ids.size(); i++) {
    const tsdbe* e = tssz_db_lookup(ids[i]);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->stored_sec, static_cast<int64_t>(i % 2 ? i : i + 1));
  }
  // The replaced half went to the end, in replacement order.
  std::vector<std::string> order = tssz_order();
  ASSERT_EQ(order.size(), 3000u);
  EXPECT_EQ(order[0], "f1");
  EXPECT_EQ(order[1500], "f0");
  EXPECT_EQ(order[2999], "f2998");
  db_table_stats s = db_table_statistics();
  EXPECT_EQ(s.tsdbe_count, 3000u);
  EXPECT_EQ(s.tsdbe_bytes, 3000 * sizeof(tsdbe));
  EXPECT_GE(tssz_db_bucket_count(), 1024u);
  EXPECT_EQ(cmd_db_bucket_count(), 4u);
}

TEST_F(DbTables, ClearEmptiesBothTablesAndStatistics) {
  cmd_db_insert(id("a"), id("."), one_command({"x"}));
  tssz_db_record(id("a"), 1, 1, 1);
  EXPECT_GT(db_table_statistics().dbe_bytes, sizeof(dbe));
  db_tables_clear();
  EXPECT_EQ(cmd_db_first(), nullptr);
  EXPECT_EQ(tssz_db_first(), nullptr);
  EXPECT_EQ(cmd_db_lookup(id("a")), nullptr);
  db_table_stats s = db_table_statistics();
  EXPECT_EQ(s.dbe_count + s.dbe_bytes + s.tsdbe_count + s.tsdbe_bytes, 0u);
}

TEST_F(DbTables, BuilderTakesCommandVectors) {
  const char* c1[] = {"NI", "NE", "NM", "true", nullptr};
  const char* c2[] = {"I", "E", "M", nullptr};
  const char* const* cmds[] = {c1, c2};
  command_builder b;
  b.add_commands(cmds, 2);
  b.add_commands(nullptr, 0);
  EXPECT_EQ(b.command_sizes, (std::vector<uint32_t>{4, 3}));
  EXPECT_EQ(b.text, "NINENMtrueIEM");
}

}  // namespace
}  // namespace kiln::db
