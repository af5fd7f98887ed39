#include "db/cdepincludes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "base/settings.h"
#include "db/db_format.h"
#include "db/db_tables.h"
#include "graph/deferred.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "temp_dir.h"

namespace kiln::db {
namespace {

graph::strid id(const std::string& s) { return graph::intern(s.data(), s.size()); }

// The dependencies of the rule building target, with their flags.
std::vector<std::pair<std::string, uint32_t>> deps_of(const std::string& target) {
  std::vector<std::pair<std::string, uint32_t>> out;
  graph::ruleid r = graph::ruleid_by_tgt(id(target));
  if (r < 0) return out;
  for (const graph::kilndep* d = graph::rule_at(r)->first_dep; d; d = d->next) {
    out.emplace_back(graph::text(d->id), d->flags & graph::k_dep_missing_allowed);
  }
  return out;
}

// Works in a scratch directory that stands for the top directory.
class Cdepincludes : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg = settings();
    graph::rules_clear();
    graph::deferred_clear();
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_EQ(system("mkdir -p src"), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(cwd), 0);
    graph::rules_clear();
    graph::deferred_clear();
    cfg = settings();
  }

  char cwd[4096];
  testing::temp_dir dir;
};

TEST_F(Cdepincludes, CompilerLineBecomesDeferredDependencies) {
  dir.write("src/a.d", "obj/a.o: src/a.c src/a.h \\\n include/b.h\n");
  read_cdepincludes({{"a.d", "src", 0}});
  EXPECT_TRUE(graph::is_cdep_file(id("src/a.d")));
  EXPECT_EQ(graph::deferred_count(), 4u);
  graph::resolve_deferred_deps(0);
  using dep_list = std::vector<std::pair<std::string, uint32_t>>;
  EXPECT_EQ(deps_of("src/obj/a.o"),
            (dep_list{{"src/src/a.c", 0}, {"src/src/a.h", 0}, {"src/include/b.h", 0}}));
}

TEST_F(Cdepincludes, AutophonyAllowsMissingAndAutotargetAddsTheFile) {
  dir.write("src/x.d", "x.o y.o: x.h\n");
  read_cdepincludes({{"x.d", "src", k_cdep_autophony | k_cdep_autotarget}});
  graph::resolve_deferred_deps(0);
  using dep_list = std::vector<std::pair<std::string, uint32_t>>;
  dep_list want{{"src/x.h", graph::k_dep_missing_allowed}};
  EXPECT_EQ(deps_of("src/x.o"), want);
  EXPECT_EQ(deps_of("src/y.o"), want);
  EXPECT_EQ(deps_of("src/x.d"), want);
}

TEST_F(Cdepincludes, TopDirectoryFilesAndEmptyFiles) {
  dir.write("top.d", "t: d\n");
  dir.write("empty.d", "\n\n");
  read_cdepincludes({{"top.d", ".", 0}, {"empty.d", ".", 0}});
  EXPECT_TRUE(graph::is_cdep_file(id("top.d")));
  EXPECT_TRUE(graph::is_cdep_file(id("empty.d")));
  EXPECT_EQ(graph::deferred_count(), 2u);
}

TEST_F(Cdepincludes, TraceLinesUnderDebug) {
  cfg.debug = true;
  dir.write("src/a.d", "a.o: a.h\n");
  ::testing::internal::CaptureStdout();
  read_cdepincludes({{"a.d", "src", 0}});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "reading cdepincludes from src/a.d\n"
            "Adding dep\n"
            "  target: src/a.o\n"
            "  dep: src/a.h\n");
}

TEST_F(Cdepincludes, MissingFileIsSkippedOnlyWithIgnore) {
  read_cdepincludes({{"missing.d", "src", k_cdep_ignore}});
  EXPECT_EQ(graph::deferred_count(), 0u);
  EXPECT_TRUE(graph::is_cdep_file(id("src/missing.d")));
  EXPECT_EXIT(read_cdepincludes({{"missing.d", "src", k_cdep_autophony}}),
              ::testing::ExitedWithCode(2),
              "^kiln: \\*\\*\\* Can't read cdepincludes from src/missing.d. Exiting.\n$");
}

TEST_F(Cdepincludes, FormatErrorIsFatalEvenWithIgnore) {
  dir.write("src/bad.d", "a.o: x.h\nno colon here\n");
  EXPECT_EXIT(read_cdepincludes({{"bad.d", "src", k_cdep_ignore}}), ::testing::ExitedWithCode(2),
              "^kiln: syntax error at file src/bad.d line 2.\n"
              "kiln: \\*\\*\\* Invalid cdepincludes format in src/bad.d. Exiting.\n$");
}

// A stat function over a fixed table of files.
std::map<std::string, file_stamp> g_files;

bool fake_stat(graph::strid file, file_stamp* out) {
  auto it = g_files.find(graph::text(file));
  if (it == g_files.end()) return false;
  *out = it->second;
  return true;
}

TEST_F(Cdepincludes, RereadRecordsExistingDependenciesAsSeen) {
  db_tables_init(16, 16);
  g_files = {{"src/a.c", {10, 11, 12}}, {"src/inc/a.h", {20, 21, 22}}};
  dir.write("src/a.d", "a.o: a.c inc/a.h gone.h\n");
  tssz_db_insert_stored(id("src/a.c"), 1, 2, 3);
  reread_cdep_file(id("src/a.d"), id("src"), fake_stat);
  const tsdbe* c = tssz_db_lookup(id("src/a.c"));
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->updated);
  EXPECT_EQ(tssz_db_written(c).sec, 10);
  EXPECT_EQ(tssz_db_written(c).size, 12);
  ASSERT_NE(tssz_db_lookup(id("src/inc/a.h")), nullptr);
  EXPECT_EQ(tssz_db_lookup(id("src/inc/a.h"))->stored_nsec, 21);
  EXPECT_EQ(tssz_db_lookup(id("src/gone.h")), nullptr);
  // An unreadable file is skipped.
  reread_cdep_file(id("src/none.d"), id("src"), fake_stat);
  EXPECT_EQ(db_table_statistics().tsdbe_count, 2u);
  db_tables_clear();
}

// The -d trace of reading the entries: what was added, in order.
std::string traced_read(const std::vector<cdep_include>& entries) {
  graph::deferred_clear();
  ::testing::internal::CaptureStdout();
  read_cdepincludes(entries, fake_stat);
  return ::testing::internal::GetCapturedStdout();
}

// A file is taken from the cache exactly when its identity and base are
// the ones cached, with the same effect as reading it; any other change
// reads it. The cache survives the database file.
TEST_F(Cdepincludes, CacheAnswersOnlyForAnUnchangedFile) {
  cfg.debug = true;
  db_tables_init(16, 16);
  ASSERT_EQ(system("mkdir -p lib"), 0);
  g_files = {{"src/a.d", {5, 6, 30, 77}}};
  std::vector<cdep_include> entries = {{"a.d", "src", k_cdep_autotarget}};
  dir.write("src/a.d", "a.o: a.c inc/a.h\n");
  std::string first = traced_read(entries);
  EXPECT_NE(first.find("  target: src/a.d\n  target: src/a.o\n  dep: src/a.c\n"),
            std::string::npos);
  // Same stamp, other text: not read. Through the file format and back.
  dir.write("src/a.d", "zzz.o: other.h\n");
  FILE* f = tmpfile();
  ASSERT_EQ(db_write_tables(f, 2), 0);
  db_tables_clear();
  rewind(f);
  ASSERT_EQ(db_read(f), 0);
  fclose(f);
  EXPECT_EQ(traced_read(entries), first);
  // Each part of the identity, the base and a symbolic link (inode 0)
  // make it read.
  for (int change = 0; change < 6; change++) {
    file_stamp stamp = {5, 6, 30, 77};
    std::vector<cdep_include> e = entries;
    if (change == 0) stamp.sec++;
    if (change == 1) stamp.nsec++;
    if (change == 2) stamp.size++;
    if (change == 3) stamp.ino++;
    if (change == 4) stamp.ino = 0;
    if (change == 5) e = {{"../src/a.d", "lib", k_cdep_autotarget}};
    g_files["src/a.d"] = stamp;
    EXPECT_NE(traced_read(e).find("zzz.o"), std::string::npos) << change;
    g_files["src/a.d"] = {5, 6, 30, 77};
    dir.write("src/a.d", "a.o: a.c inc/a.h\n");
    traced_read(entries);  // the original again
    dir.write("src/a.d", "zzz.o: other.h\n");
  }
  graph::deferred_clear();
  db_tables_clear();
}

TEST_F(Cdepincludes, RereadOfAMalformedFileIsFatal) {
  dir.write("src/a.d", "a.o: a.c: b\n");
  EXPECT_EXIT(reread_cdep_file(id("src/a.d"), id("src"), fake_stat), ::testing::ExitedWithCode(2),
              "syntax error at file src/a.d line 1.\n.*Invalid cdepincludes format in src/a.d. "
              "Exiting.");
}

}  // namespace
}  // namespace kiln::db
