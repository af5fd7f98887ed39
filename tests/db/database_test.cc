#include "db/database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/diag.h"
#include "base/settings.h"
#include "db/db_checks.h"
#include "db/db_tables.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "recipe_words.h"
#include "temp_dir.h"

namespace kiln::db {
namespace {

graph::strid id(const std::string& s) { return graph::intern(s.data(), s.size()); }

const char k_example[] =
    "@v2@\n\n\"src\" \"src/a.o\":\n\t\"NI\" \"E\" \"NM\" \"cc\" \"-c\" \"a.c\"\n\n"
    "\"src/a.c\" = 42 1700000000 123456789\n";

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Size by stat: opening the file in this process and closing it again
// would drop the database's lock.
off_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class Database : public ::testing::Test {
 protected:
  void SetUp() override {
    db_reset();
    cfg = settings();
    db = dir.file(".kiln.db");
  }
  void TearDown() override {
    db_reset();
    cfg = settings();
  }

  testing::temp_dir dir;
  std::string db;
};

ino_t inode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The file keeps the last complete database while kiln runs (a kill at any
// moment loses nothing); an unchanged database is not rewritten at all,
// and a changed one replaces the file whole, through a new file renamed
// over it.
TEST_F(Database, FileStaysWholeUntilAChangedDatabaseReplacesIt) {
  dir.write(".kiln.db", k_example);
  ino_t before = inode_of(db);
  db_open(db.c_str());
  EXPECT_TRUE(db_existed_before());
  EXPECT_GE(db_fileno(), 0);
  db_load();
  EXPECT_TRUE(db_is_loaded());
  EXPECT_EQ(size_of(db), static_cast<off_t>(strlen(k_example)));
  EXPECT_NE(cmd_db_lookup(id("src/a.o")), nullptr);
  // Seeing a source with the stored time and size changes nothing.
  EXPECT_TRUE(tssz_db_check(id("src/a.c"), 1700000000, 123456789, 42, true));
  EXPECT_FALSE(db_needs_write(2));
  EXPECT_TRUE(db_needs_write(1));  // another version is another file
  EXPECT_EQ(db_write(2), 0);
  EXPECT_EQ(db_fileno(), -1);
  EXPECT_EQ(inode_of(db), before);
  EXPECT_EQ(dir.read(".kiln.db"), k_example);

  db_reset();
  db_open(db.c_str());
  db_load();
  EXPECT_FALSE(tssz_db_check(id("src/a.c"), 1700000001, 0, 42, true));
  EXPECT_TRUE(db_needs_write(2));
  EXPECT_EQ(size_of(db), static_cast<off_t>(strlen(k_example)));
  EXPECT_EQ(db_write(2), 0);
  EXPECT_NE(inode_of(db), before);
  EXPECT_FALSE(exists(db + ".new"));
  EXPECT_EQ(dir.read(".kiln.db"),
            "@v2@\n\n\"src\" \"src/a.o\":\n\t\"NI\" \"E\" \"NM\" \"cc\" \"-c\" \"a.c\"\n\n"
            "\"src/a.c\" = 42 1700000001 0\n");
}

// A malformed escape is a syntax error of the file like any other: named
// with its line, the history dropped, the run goes on.
TEST_F(Database, MalformedEscapeIsASyntaxErrorNamingTheLine) {
  dir.write(".kiln.db", "@v2@\n\n\"src\" \"a\\u12x4.o\":\n\t\"x\"\n");
  db_open(db.c_str());
  ::testing::internal::CaptureStderr();
  db_load();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kiln: .kiln.db:3: Invalid string unicode escape: \\u12x4\n"
            "kiln: *** Incompatible DB version. Truncating.\n");
  EXPECT_EQ(cmd_db_first(), nullptr);
  EXPECT_TRUE(db_needs_write(2));

  db_reset();
  dir.write(".kiln.db", "@v1@\n\n\"src\" \"a.o\":\n\t\"\\xg0\"\n");
  db_open(db.c_str());
  ::testing::internal::CaptureStderr();
  db_load();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kiln: .kiln.db:4: Invalid string unicode escape: \\xg0\n"
            "kiln: *** Incompatible DB version. Truncating.\n");
}

TEST_F(Database, WriteBackFollowsTheVersionSetting) {
  dir.write(".kiln.db", k_example);
  cfg.db_version = db_v1;
  db_open(db.c_str());
  db_load();
  EXPECT_EQ(db_write_back(), 0);
  EXPECT_EQ(dir.read(".kiln.db"),
            "@v1@\n\n\"src\" \"src/a.o\":\n\t\"NI\" \"E\" \"NM\" \"cc\" \"-c\" \"a.c\"\n");
  EXPECT_EQ(db_write_back(), 0);  // a second call has nothing left to do
}

TEST_F(Database, QuestionModeNeitherTruncatesNorRewrites) {
  dir.write(".kiln.db", k_example);
  cfg.question = true;
  db_open(db.c_str());
  db_load();
  EXPECT_EQ(size_of(db), static_cast<off_t>(strlen(k_example)));
  tssz_db_record(id("src/a.c"), 1, 2, 3);
  EXPECT_EQ(db_write_back(), 0);
  db_reset();
  EXPECT_EQ(dir.read(".kiln.db"), k_example);
}

TEST_F(Database, IncompatibleFileIsReportedAndEmptied) {
  dir.write(".kiln.db", "@v3@\n\n\"src\" \"src/a.o\":\n\t\"x\"\n");
  db_open(db.c_str());
  ::testing::internal::CaptureStderr();
  db_load();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kiln: *** Incompatible DB version. Truncating.\n");
  EXPECT_EQ(cmd_db_first(), nullptr);
  EXPECT_EQ(db_write(2), 0);
  EXPECT_EQ(dir.read(".kiln.db"), "@v2@\n\n");  // it existed, so it stays
}

TEST_F(Database, EqualsLineInVersion1IsIncompatible) {
  dir.write(".kiln.db", "@v1@\n\n\"src/a.c\" = 1 2 3\n");
  db_open(db.c_str());
  ::testing::internal::CaptureStderr();
  db_load();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kiln: *** Incompatible DB version. Truncating.\n");
  EXPECT_EQ(tssz_db_first(), nullptr);
}

TEST_F(Database, EmptyNewDatabaseIsRemoved) {
  db_open(db.c_str());
  EXPECT_FALSE(db_existed_before());
  EXPECT_TRUE(exists(db));
  db_load();
  EXPECT_EQ(db_write(2), 0);
  EXPECT_FALSE(exists(db));
}

TEST_F(Database, NewDatabaseWithEntriesIsWritten) {
  db_open(db.c_str());
  db_load();
  tssz_db_record(id("f"), 1, 2, 3);
  EXPECT_EQ(db_write(2), 0);
  EXPECT_EQ(dir.read(".kiln.db"), "@v2@\n\n\"f\" = 3 1 2\n");
}

TEST_F(Database, Version1IgnoresTheTsszTableWhenDecidingOnRemoval) {
  db_open(db.c_str());
  db_load();
  tssz_db_record(id("f"), 1, 2, 3);
  EXPECT_EQ(db_write(1), 0);
  EXPECT_FALSE(exists(db));
}

TEST_F(Database, NeverLoadedDatabaseIsRemovedOnlyWhenItIsNew) {
  db_open(db.c_str());
  EXPECT_EQ(db_write_back(), 0);
  EXPECT_FALSE(exists(db));

  db_reset();
  dir.write(".kiln.db", k_example);
  db_open(db.c_str());
  EXPECT_EQ(db_write_back(), 0);
  db_reset();
  EXPECT_EQ(dir.read(".kiln.db"), k_example);
}

TEST_F(Database, RemovalUsesThePathFixedAtOpen) {
  std::string cwd(4096, '\0');
  ASSERT_NE(getcwd(cwd.data(), cwd.size()), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  db_open();  // ".kiln.db" in the scratch directory
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(db_write_back(), 0);
  EXPECT_FALSE(exists(db));
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST_F(Database, FatalExitBeforeLoadLeavesNoNewFile) {
  EXPECT_EXIT(
      {
        db_install_write_back_hook();
        db_open(db.c_str());
        diag::fatal("Parsing failed");
      },
      ::testing::ExitedWithCode(2), "kiln: \\*\\*\\* Parsing failed. Exiting.");
  EXPECT_FALSE(exists(db));
}

TEST_F(Database, FatalExitAfterLoadWritesTheDatabase) {
  dir.write(".kiln.db", k_example);
  EXPECT_EXIT(
      {
        db_install_write_back_hook();
        db_open(db.c_str());
        db_load();
        diag::fatal("Error %d", 1);
      },
      ::testing::ExitedWithCode(2), "Error 1. Exiting.");
  EXPECT_EQ(dir.read(".kiln.db"), k_example);
}

TEST_F(Database, SecondProcessCannotLock) {
  dir.write(".kiln.db", k_example);
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    db_open(db.c_str());
    char c = 'x';
    (void)!write(ready[1], &c, 1);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EXIT(db_open(db.c_str()), ::testing::ExitedWithCode(2),
              "^kiln: \\*\\*\\* Can't lock DB. Other kiln running\\? Exiting.\n$");
  ASSERT_EQ(write(release[1], &c, 1), 1);
  int status;
  waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  EXPECT_EQ(dir.read(".kiln.db"), k_example);
}

TEST_F(Database, UnopenableFileExits) {
  std::string missing = dir.file("no/such/dir/.kiln.db");
  EXPECT_EXIT(db_open(missing.c_str()), ::testing::ExitedWithCode(2),
              "^kiln: \\*\\*\\* Can't open DB. Exiting.\n$");
}

TEST_F(Database, StatisticsLines) {
  db_open(db.c_str());
  db_load();
  tssz_db_record(id("f"), 1, 2, 3);
  ::testing::internal::CaptureStdout();
  db_print_statistics();
  std::string expected = "  dbe: 0 0\n  tsdbe: 1 " + std::to_string(sizeof(tsdbe)) + "\n";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
}

graph::rule* make_rule(const std::vector<std::string>& targets, const std::string& prefix,
                       uint32_t flags, testing::recipe_words* recipe) {
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
  testing::recipe_words cc({{"NI", "E", "NM", "cc", "-c", "a.c"}, {"I", "NE", "NM", "true"}});
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
  testing::recipe_words cc({{"NI", "E", "NM", "cc", "-c", "a.c"}});
  make_rule({"src/a.o"}, "src", graph::k_rule_ran | graph::k_rule_started, &cc);
  EXPECT_EQ(db_write(1), 0);
  EXPECT_EQ(dir.read(".kiln.db"),
            "@v1@\n\n\"src\" \"src/a.o\":\n\t\"NI\" \"E\" \"NM\" \"cc\" \"-c\" \"a.c\"\n");
}

}  // namespace
}  // namespace kiln::db
