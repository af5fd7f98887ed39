#include "db/db_format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "db/db_tables.h"
#include "db/quoting.h"
#include "graph/stringtab.h"

namespace kiln::db {
namespace {

graph::strid id(const std::string& s) { return graph::intern(s.data(), s.size()); }

// One target built in src, one source file.
const char k_golden_v2[] =
    "@v2@\n"
    "\n"
    "\"src\" \"src/a.o\":\n"
    "\t\"NI\" \"E\" \"NM\" \"cc\" \"-c\" \"a.c\"\n"
    "\n"
    "\"src/a.c\" = 42 1700000000 123456789\n";

const char k_golden_v1[] =
    "@v1@\n"
    "\n"
    "\"src\" \"src/a.o\":\n"
    "\t\"NI\" \"E\" \"NM\" \"cc\" \"-c\" \"a.c\"\n";

int read_text(const std::string& text) {
  FILE* f = tmpfile();
  fwrite(text.data(), 1, text.size(), f);
  rewind(f);
  int r = db_read(f);
  fclose(f);
  return r;
}

std::string write_text(int version) {
  FILE* f = tmpfile();
  EXPECT_EQ(db_write_tables(f, version), 0);
  std::string out(static_cast<size_t>(ftell(f)), '\0');
  rewind(f);
  EXPECT_EQ(fread(out.data(), 1, out.size(), f), out.size());
  fclose(f);
  return out;
}

void add_example() {
  command_builder b;
  b.begin_command();
  for (const char* w : {"NI", "E", "NM", "cc", "-c", "a.c"}) b.add_word(w, strlen(w));
  cmd_db_insert(id("src/a.o"), id("src"), b);
  tssz_db_record(id("src/a.c"), 1700000000, 123456789, 42);
}

std::vector<std::string> words_of(const dbe* e, uint32_t command) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < e->commands[command].n_words; i++) {
    const db_word& w = e->commands[command].words[i];
    out.emplace_back(w.text, w.length);
  }
  return out;
}

class DbFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    db_init_escapes();
    db_tables_init(8192, 8192);
  }
  void TearDown() override { db_tables_clear(); }
};

TEST_F(DbFormat, WritesBothVersionsExactlyInTheLayout) {
  add_example();
  EXPECT_EQ(write_text(2), k_golden_v2);
  EXPECT_EQ(write_text(1), k_golden_v1);
}

TEST_F(DbFormat, EmptyTablesWriteOnlyTheHeader) {
  EXPECT_EQ(write_text(2), "@v2@\n\n");
  EXPECT_EQ(write_text(1), "@v1@\n\n");
}

TEST_F(DbFormat, ReadsTheGoldenFilesBack) {
  ASSERT_EQ(read_text(k_golden_v2), 0);
  const dbe* e = cmd_db_lookup(id("src/a.o"));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->directory, id("src"));
  ASSERT_EQ(e->n_commands, 1u);
  EXPECT_EQ(words_of(e, 0), (std::vector<std::string>{"NI", "E", "NM", "cc", "-c", "a.c"}));
  const tsdbe* t = tssz_db_lookup(id("src/a.c"));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->stored_size, 42);
  EXPECT_EQ(t->stored_sec, 1700000000);
  EXPECT_EQ(t->stored_nsec, 123456789);
  EXPECT_FALSE(t->updated);
  // Stored values are written unchanged: the file round-trips.
  EXPECT_EQ(write_text(2), k_golden_v2);

  db_tables_clear();
  ASSERT_EQ(read_text(k_golden_v1), 0);
  EXPECT_NE(cmd_db_lookup(id("src/a.o")), nullptr);
  EXPECT_EQ(write_text(1), k_golden_v1);
}

TEST_F(DbFormat, UpdatedEntriesWriteTheirNewValues) {
  ASSERT_EQ(read_text(k_golden_v2), 0);
  tsdbe* t = tssz_db_lookup(id("src/a.c"));
  tssz_db_observe(t, 8, 9, 7);
  std::string out = write_text(2);
  EXPECT_NE(out.find("\"src/a.c\" = 7 8 9\n"), std::string::npos) << out;
}

TEST_F(DbFormat, EveryByteOfACommandWordSurvives) {
  std::string all;
  for (int c = 0; c < 256; c++) all += static_cast<char>(c);
  command_builder b;
  b.begin_command();
  b.add_word(all.data(), all.size());
  b.add_word("\xc8", 1);
  cmd_db_insert(id("t"), id("."), b);
  std::string file = write_text(2);
  EXPECT_NE(file.find("\"\\xc8\"\n"), std::string::npos);
  EXPECT_EQ(file.find('\xc8'), std::string::npos);
  db_tables_clear();
  ASSERT_EQ(read_text(file), 0);
  EXPECT_EQ(words_of(cmd_db_lookup(id("t")), 0), (std::vector<std::string>{all, "\xc8"}));
}

TEST_F(DbFormat, NamesWithEscapesRoundTrip) {
  std::string dir = "d \"q\" \\ \t";
  std::string target = dir + "/t\xe9.o";
  std::string file = "it's\n";
  command_builder b;
  b.begin_command();
  b.add_word("x", 1);
  cmd_db_insert(id(target), id(dir), b);
  tssz_db_record(id(file), 1, 2, 3);
  std::string text = write_text(2);
  db_tables_clear();
  ASSERT_EQ(read_text(text), 0) << text;
  const dbe* e = cmd_db_lookup(id(target));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->directory, id(dir));
  EXPECT_NE(tssz_db_lookup(id(file)), nullptr);
  EXPECT_EQ(write_text(2), text);
}

TEST_F(DbFormat, ReaderAcceptsWhatTheWriterDoesNotProduce) {
  const char text[] =
      "  \"d\"\t\"t1\" :  \t\n"          // blanks around the colon
      "\t\"A\"\t \"\\u00e9\"\n"          // TAB separators, a \u escape
      "\t\n"                              // a command without words
      "\"d\" \"t2\":\n"                   // header right after a block
      "\t\"B\"\n"
      "\"d\" \"empty\":\n"                // no commands: no entry
      "\n\n"
      "\"f\"=-1\t-2 -3\n"                 // minus signs, no blanks around "="
      "\"f\" = 1 2 3\n";                  // replaces the first "f"
  ASSERT_EQ(read_text(std::string("@v2@\n") + text), 0);
  const dbe* t1 = cmd_db_lookup(id("t1"));
  ASSERT_NE(t1, nullptr);
  ASSERT_EQ(t1->n_commands, 2u);
  EXPECT_EQ(words_of(t1, 0), (std::vector<std::string>{"A", "\xc3\xa9"}));
  EXPECT_EQ(t1->commands[1].n_words, 0u);
  EXPECT_NE(cmd_db_lookup(id("t2")), nullptr);
  EXPECT_EQ(cmd_db_lookup(id("empty")), nullptr);
  EXPECT_EQ(tssz_db_lookup(id("f"))->stored_sec, 2);
  EXPECT_EQ(db_table_statistics().tsdbe_count, 1u);
}

TEST_F(DbFormat, ReadingLeavesWhatInsertingLineByLineLeaves) {
  // The reader lists the entries first and builds the buckets at the end;
  // duplicates (here a third of the lines) must still leave the later
  // entry, the list order and the bucket counts of one insert per line.
  std::string text = "@v2@\n";
  std::vector<int> order;
  for (int i = 0; i < 3000; i++) order.push_back(i < 2000 ? i : (i - 2000) * 2);
  for (int i : order) text += "\"d\" \"t" + std::to_string(i) + "\":\n\t\"x\"\n";
  for (int i : order) text += "\"f" + std::to_string(i) + "\" = 1 " + std::to_string(i) + " 0\n";
  auto snapshot = [] {
    std::string s = std::to_string(cmd_db_bucket_count()) + "/" +
                    std::to_string(tssz_db_bucket_count()) + ":";
    // Each listed entry must also be the one its bucket finds.
    for (const dbe* e = cmd_db_first(); e; e = e->next) {
      s += (cmd_db_lookup(e->target) == e ? "" : "!") + std::string(graph::text(e->target)) + " ";
    }
    for (const tsdbe* e = tssz_db_first(); e; e = e->next) {
      s += (tssz_db_lookup(e->file) == e ? "" : "!") + std::string(graph::text(e->file)) + "=" +
           std::to_string(e->stored_sec) + " ";
    }
    return s;
  };
  db_tables_init(4, 4);
  ASSERT_EQ(read_text(text), 0);
  std::string read = snapshot();
  db_tables_init(4, 4);
  command_builder b;
  b.begin_command();
  b.add_word("x", 1);
  for (int i : order) {
    std::string t = "t" + std::to_string(i);
    cmd_db_insert(graph::intern(t.data(), t.size()), graph::intern("d", 1), b);
  }
  for (int i : order) {
    std::string f = "f" + std::to_string(i);
    tssz_db_insert_stored(graph::intern(f.data(), f.size()), i, 0, 1);
  }
  EXPECT_EQ(read, snapshot());
  EXPECT_EQ(cmd_db_bucket_count(), 1024u);  // 2048 had the duplicates counted
}

TEST_F(DbFormat, NegativeValuesRoundTrip) {
  ASSERT_EQ(read_text("@v2@\n\"f\" = -5 -9223372036854775808 -1\n"), 0);
  EXPECT_EQ(write_text(2), "@v2@\n\n\"f\" = -5 -9223372036854775808 -1\n");
}

TEST_F(DbFormat, WithoutAVersionLineTheFileIsReadAsVersion1) {
  EXPECT_EQ(read_text("\"d\" \"t\":\n\t\"x\"\n"), 0);
  EXPECT_NE(cmd_db_lookup(id("t")), nullptr);
  EXPECT_EQ(read_text("@v3@\n\n\"d\" \"t\":\n"), -1);  // misspelt version
  EXPECT_EQ(read_text("@v2@"), -1);  // no newline: not the version line
}

TEST_F(DbFormat, SyntaxErrors) {
  const char* const bad[] = {
      "@v1@\n\"f\" = 1 2 3\n",            // "=" in version 1
      "@v2@\n\"f\" = 1 2 3 4\n",          // four numbers
      "@v2@\n\"f\" = 1 2\n",              // two numbers
      "@v2@\n\"f\" = 1 2 x\n",
      "@v2@\n\"f\" = 1 2 99999999999999999999\n",  // out of range
      "@v2@\n\"f\" = 1 2 3x\n",
      "@v1@\n\"d\":\n",                   // a colon after one string
      "@v1@\n\"d\" \"t\" \"u\":\n",
      "@v1@\n\"d\" \"t\": \"x\"\n",       // a string after the colon
      "@v1@\n\"d\" \"t\"\n",              // no colon
      "@v1@\n\"d\" \"t\":x\n",            // trailing characters
      "@v1@\n\"d\"x \"t\":\n",            // a letter after a closing quote
      "@v1@\n\"d\" \"t:\n",               // unterminated string
      "@v1@\n\t\"x\"\n",                  // a command line without a header
      "@v1@\n\"d\" \"t\":\n\n\t\"x\"\n",  // the empty line ended the block
      "@v1@\nx\n",
      "@v1@\n\"d\" \"t\":\n\t\"a\" b\n",  // an unquoted word
      "@v1@\n\"d\\x00\" \"t\":\n",        // a NUL cannot be in a name
      "@v1@\n\"d\" \"t\":\n\t\"\\u12g4\"\n",  // malformed escapes
      "@v1@\n\"d\\xq\" \"t\":\n",
  };
  for (const char* text : bad) {
    EXPECT_EQ(read_text(text), -1) << text;
    db_tables_clear();
  }
}

TEST_F(DbFormat, LongLinesAreReadWhole) {
  std::string word(5000, 'w');
  command_builder b;
  b.begin_command();
  for (int i = 0; i < 3; i++) b.add_word(word.data(), word.size());
  cmd_db_insert(id("t"), id("."), b);
  std::string file = write_text(2);
  db_tables_clear();
  ASSERT_EQ(read_text(file), 0);
  EXPECT_EQ(words_of(cmd_db_lookup(id("t")), 0), (std::vector<std::string>(3, word)));
}

TEST_F(DbFormat, ReadErrorsAbandonTheFile) {
  FILE* dir = fopen("/", "r");  // reading a directory fails with EISDIR
  if (!dir) GTEST_SKIP() << "directories cannot be opened as streams here";
  EXPECT_EQ(db_read(dir), -1);
  fclose(dir);
}

TEST_F(DbFormat, WriteErrorsAreReported) {
  FILE* full = fopen("/dev/full", "w");
  if (!full) GTEST_SKIP() << "no /dev/full";
  add_example();
  EXPECT_EQ(db_write_tables(full, 2), -1);
  fclose(full);
}

}  // namespace
}  // namespace kiln::db
