#include "sched/clean.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/settings.h"
#include "graph/add_rule.h"
#include "graph/deferred.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "sched/build_state.h"
#include "sched/consider.h"

namespace kiln::sched {
namespace {

class Clean : public ::testing::Test {
 protected:
  void SetUp() override {
    char saved[4096];
    old_cwd_ = getcwd(saved, sizeof saved) ? saved : "/";
    char tmpl[] = "/tmp/kiln-clean-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    cfg = settings();
    reset_build_state();
  }
  void TearDown() override {
    reset_build_state();
    if (chdir(old_cwd_.c_str()) != 0) perror("chdir");
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) perror("rm");
    cfg = settings();
  }
  graph::ruleid rule(std::vector<std::string> targets, uint32_t flags = 0, const char* prefix = ".") {
    std::vector<graph::parsed_name> t;
    for (auto& n : targets) t.push_back({n, "", false, 0});
    return graph::add_rule(t, {}, nullptr, flags, prefix, 0, 1, -1);
  }
  void touch(const std::string& path) { std::ofstream(path) << "x"; }
  bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  std::string run_clean(const std::string& area, bool c, bool b) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    clean(area, c, b);
    std::string out = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return out;
  }

  std::string old_cwd_;
  std::string dir_;
  std::string err_;
};

TEST_F(Clean, FilesGoBeforeTheirDirectoryAndNonEmptyDirectoriesStay) {
  rule({"obj"});
  rule({"obj/a.o"});
  rule({"obj/sub"});
  rule({"obj/sub/b.o"});
  rule({"all"}, graph::k_rule_phony);
  mkdir("obj", 0755);
  mkdir("obj/sub", 0755);
  touch("obj/a.o");
  touch("obj/sub/b.o");
  touch("obj/keep");  // no rule builds it: obj cannot go
  touch("all");
  std::vector<graph::ruleid> order = removal_order(".");
  auto pos = [&](graph::ruleid id) { return std::find(order.begin(), order.end(), id) - order.begin(); };
  EXPECT_LT(pos(1), pos(0));  // obj/a.o before obj
  EXPECT_LT(pos(3), pos(2));  // obj/sub/b.o before obj/sub
  EXPECT_LT(pos(2), pos(0));  // obj/sub before obj
  EXPECT_EQ(order.size(), 4u);  // the phony rule is never removed
}

TEST_F(Clean, RemovesEachKindAndReportsIt) {
  rule({"obj"});
  rule({"obj/a.o"});
  rule({"link"});
  rule({"pkg.tar"}, graph::k_rule_dist);
  mkdir("obj", 0755);
  touch("obj/a.o");
  touch("obj/keep");
  touch("target-of-link");
  ASSERT_EQ(symlink("target-of-link", "link"), 0);
  touch("pkg.tar");
  std::string out = run_clean(".", true, false);
  EXPECT_NE(out.find("unlink regular: obj/a.o\n"), std::string::npos) << out;
  EXPECT_NE(out.find("rmdir: obj\n"), std::string::npos) << out;
  EXPECT_NE(out.find("unlink symlink: link\n"), std::string::npos) << out;
  EXPECT_LT(out.find("obj/a.o"), out.find("rmdir: obj"));
  EXPECT_NE(err_.find("kiln: (ignoring) can't rmdir"), std::string::npos) << err_;
  EXPECT_FALSE(exists("obj/a.o"));
  EXPECT_TRUE(exists("obj"));
  EXPECT_FALSE(exists("link"));
  EXPECT_TRUE(exists("target-of-link"));  // never followed
  EXPECT_TRUE(exists("pkg.tar"));         // a distribution target stays under -c
}

TEST_F(Clean, DistcleanRemovesOnlyDistributionTargets) {
  rule({"a.o"});
  graph::ruleid r = rule({"pkg.tar", "notes"});
  graph::rule_at(r)->first_tgt->is_dist = true;  // only pkg.tar is a distribution target
  touch("a.o");
  touch("pkg.tar");
  touch("notes");
  cfg.silent = true;
  EXPECT_EQ(run_clean(".", false, true), "");
  EXPECT_TRUE(exists("a.o"));
  EXPECT_FALSE(exists("pkg.tar"));
  EXPECT_TRUE(exists("notes"));
}

TEST_F(Clean, StaysInsideItsArea) {
  rule({"top.o"});
  rule({"x.o"}, 0, "sub");
  rule({"y.o"}, 0, "subway");
  mkdir("sub", 0755);
  mkdir("subway", 0755);
  touch("top.o");
  touch("sub/x.o");
  touch("subway/y.o");
  run_clean("sub", true, true);
  EXPECT_FALSE(exists("sub/x.o"));
  EXPECT_TRUE(exists("top.o"));
  EXPECT_TRUE(exists("subway/y.o"));
}

}  // namespace
}  // namespace kiln::sched
