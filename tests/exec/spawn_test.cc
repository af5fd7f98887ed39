#include "exec/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "base/settings.h"
#include "graph/add_rule.h"
#include "graph/deferred.h"
#include "graph/stringtab.h"

namespace kiln::exec {
namespace {

class Spawn : public ::testing::Test {
 protected:
  void SetUp() override {
    char buf[4096];
    old_cwd_ = getcwd(buf, sizeof buf) ? buf : "/";
    std::string tmpl = "/tmp/kiln_spawn_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    cfg = settings{};
    graph::stringtab_clear();
    graph::stringtab_init(64, 1024);
    graph::rules_clear();
    graph::deferred_clear();
    spawn_reset();
  }
  void TearDown() override {
    spawn_reset();
    if (chdir(old_cwd_.c_str()) != 0) perror("chdir");
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) perror("rm");
    cfg = settings{};
  }

  graph::ruleid make_rule(const char* target, const char* prefix,
                          std::vector<std::vector<std::string>> cmds) {
    graph::parsed_name t;
    t.name = target;
    graph::ruleid id = graph::add_rule({t}, {}, nullptr, 0, prefix, 0, 1, -1);
    for (auto& c : cmds) {
      words_.push_back(c);
      auto& v = ptrs_.emplace_back();
      for (auto& w : words_.back()) v.push_back(w.data());
      v.push_back(nullptr);
    }
    for (auto& v : ptrs_) arrays_.push_back(v.data());
    graph::rule* r = graph::rule_at(id);
    r->commands = arrays_.data() + (arrays_.size() - cmds.size());
    r->n_commands = cmds.size();
    return id;
  }

  // Waits for the child, reaping it from the table; returns its status.
  static int wait_child(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    child* c = child_by_pid(pid);
    if (c) child_remove(c);
    return status;
  }

  static std::string read_all(int fd) {
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

  std::string dir_, old_cwd_;
  std::deque<std::vector<std::string>> words_;
  std::deque<std::vector<char*>> ptrs_;
  std::vector<char**> arrays_ = std::vector<char**>();
};

std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> v;
  for (auto& w : words) v.push_back(w.data());
  v.push_back(nullptr);
  return v;
}

TEST_F(Spawn, EchoLineAndJoinedWords) {
  arrays_.reserve(16);
  graph::ruleid id = make_rule("out/a.o", "src", {{"NI", "E", "NM", "cc", "-c", "a.c"}});
  graph::rule* r = graph::rule_at(id);
  EXPECT_EQ(echo_line(r, r->commands[0]), "[src, src/out/a.o] cc -c a.c\n");
  EXPECT_EQ(join_command_words(r->commands[0]), "cc -c a.c");
  std::vector<std::string> empty = {"NI", "E", "NM"};
  EXPECT_EQ(join_command_words(argv_of(empty).data()), "");
}

TEST_F(Spawn, SubMakeByMarkerOrProgramName) {
  std::vector<std::string> marked = {"NI", "E", "M", "anything"};
  std::vector<std::string> named = {"NI", "E", "NM", "/usr/local/bin/gmake", "-C", "x"};
  std::vector<std::string> plain = {"NI", "E", "NM", "makefoo"};
  std::vector<std::string> prefixed = {"NI", "E", "NM", "/usr/bin/make2"};
  EXPECT_TRUE(is_submake(argv_of(marked).data()));
  EXPECT_TRUE(is_submake(argv_of(named).data()));
  EXPECT_FALSE(is_submake(argv_of(plain).data()));
  EXPECT_FALSE(is_submake(argv_of(prefixed).data()));
}

TEST_F(Spawn, CapturedOutputHasEchoThenOutput) {
  arrays_.reserve(16);
  ASSERT_EQ(mkdir("sub", 0755), 0);
  graph::ruleid id = make_rule("t", "sub",
                               {{"NI", "E", "NM", "sh", "-c", "pwd | sed 's,.*/,,'; echo err >&2"}});
  int fd = -1;
  pid_t pid = spawn_command(id, true, false, &fd);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(children_count, 1);
  EXPECT_EQ(child_by_fd(fd)->pid, pid);
  wait_child(pid);
  graph::rule* r = graph::rule_at(id);
  EXPECT_EQ(drain_output_pipe(r, fd), 1);
  close(fd);
  // Flush into a pipe to read what the rule's buffer held.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  syncbuf_flush(rule_syncbuf(r), p[1]);
  close(p[1]);
  EXPECT_EQ(read_all(p[0]), "[sub, sub/t] sh -c pwd | sed 's,.*/,,'; echo err >&2\nsub\nerr\n");
  close(p[0]);
  EXPECT_TRUE(r->flags & graph::k_rule_started);
  EXPECT_FALSE(has_next_step(r));
  char buf[4096];
  ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
  EXPECT_EQ(std::string(buf), dir_);  // back in the top directory
}

TEST_F(Spawn, EchoRulesUnderSilentAndDryRun) {
  arrays_.reserve(16);
  graph::ruleid id = make_rule("t", ".",
                               {{"NI", "NE", "NM", "sh", "-c", "echo run"},
                                {"NI", "NE", "NM", "sh", "-c", "echo run"},
                                {"NI", "E", "NM", "sh", "-c", "echo run"}});
  graph::rule* r = graph::rule_at(id);
  auto run_captured = [&] {
    int fd = -1;
    pid_t pid = spawn_command(id, true, false, &fd);
    wait_child(pid);
    drain_output_pipe(r, fd);
    close(fd);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    syncbuf_flush(rule_syncbuf(r), p[1]);
    close(p[1]);
    std::string s = read_all(p[0]);
    close(p[0]);
    return s;
  };
  EXPECT_EQ(run_captured(), "run\n");  // NE: no echo
  cfg.dry_run = true;                   // echoed, but "true" runs
  EXPECT_EQ(run_captured(), "[., t] sh -c echo run\n");
  cfg.dry_run = false;
  cfg.silent = true;
  EXPECT_EQ(run_captured(), "run\n");
  EXPECT_EQ(children_count, 1);  // one rule, one job slot
}

TEST_F(Spawn, OnlySubMakesSeeMakeflags) {
  arrays_.reserve(16);
  unsetenv("MAKEFLAGS");
  cfg.silent = true;
  graph::ruleid id = make_rule("t", ".",
                               {{"NI", "E", "NM", "sh", "-c", "echo \"[$MAKEFLAGS]\""},
                                {"NI", "E", "M", "sh", "-c", "echo \"[$MAKEFLAGS]\""}});
  graph::rule* r = graph::rule_at(id);
  std::string seen;
  for (int i = 0; i < 2; i++) {
    int fd = -1;
    // A sub-make is captured only in recurse mode.
    pid_t pid = spawn_command(id, true, true, &fd);
    wait_child(pid);
    drain_output_pipe(r, fd);
    close(fd);
  }
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  syncbuf_flush(rule_syncbuf(r), p[1]);
  close(p[1]);
  seen = read_all(p[0]);
  close(p[0]);
  EXPECT_EQ(seen.substr(0, 3), "[]\n");
  EXPECT_GT(seen.size(), 6u);  // the sub-make got a non-empty MAKEFLAGS
  EXPECT_EQ(getenv("MAKEFLAGS"), nullptr);
}

TEST_F(Spawn, TouchCreatesEachTargetRelativeToTheDirectory) {
  ASSERT_EQ(mkdir("d", 0755), 0);
  graph::parsed_name a, b;
  a.name = "x";
  b.name = "../y";
  graph::ruleid id = graph::add_rule({a, b}, {}, nullptr, 0, "d", 0, 1, -1);
  cfg.touch = true;
  cfg.silent = true;
  for (int i = 0; i < 2; i++) {
    int fd = -1;
    pid_t pid = spawn_touch(id, false, false, &fd);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(wait_child(pid), 0);
  }
  EXPECT_FALSE(has_next_step(graph::rule_at(id)));
  EXPECT_EQ(access("d/x", F_OK), 0);
  EXPECT_EQ(access("y", F_OK), 0);
  EXPECT_EQ(children_count, 1);
}

TEST_F(Spawn, ChildTableFindsByPidAndFd) {
  child_add(100, 1, 7, false);
  child_add(164, 2, 71, true);  // same pid bucket
  child_add(228, 3, -1, false);
  EXPECT_EQ(child_by_pid(164)->rule_id, 2);
  EXPECT_EQ(child_by_fd(7)->pid, 100);
  EXPECT_EQ(child_by_fd(-1), nullptr);
  child_remove(child_by_pid(100));
  EXPECT_EQ(child_by_pid(100), nullptr);
  EXPECT_EQ(child_by_fd(7), nullptr);
  EXPECT_EQ(child_by_pid(228)->rule_id, 3);
  int n = 0;
  for (child* c = first_child(); c; c = c->next) n++;
  EXPECT_EQ(n, 2);
  EXPECT_DEATH(child_add(164, 9, -1, false), "");  // marker "12" on standard output
}

void set_time(const char* path, time_t sec) {
  struct timespec ts[2] = {{sec, 0}, {sec, 0}};
  utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW);
}

TEST_F(Spawn, TreeTimesAndTouchTree) {
  ASSERT_EQ(mkdir("tree", 0755), 0);
  ASSERT_EQ(mkdir("tree/sub", 0755), 0);
  std::ofstream("tree/a") << "a";
  std::ofstream("tree/sub/b") << "b";
  set_time("tree/a", 2000);
  set_time("tree/sub/b", 3000);
  set_time("tree/sub", 1500);
  set_time("tree", 1000);
  EXPECT_EQ(newest_tree_time(nullptr, "tree").sec, 3000);
  // A rectgt rule's own target does not count.
  graph::parsed_name t;
  t.name = "tree/sub/b";
  graph::ruleid id = graph::add_rule({t}, {}, nullptr, graph::k_rule_rectgt, ".", 0, 1, -1);
  EXPECT_EQ(newest_tree_time(graph::rule_at(id), "tree").sec, 2000);
  touch_tree("tree", {1800, 0});
  struct stat st;
  stat("tree/sub/b", &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1800);
  stat("tree/a", &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1800);
  stat("tree/sub", &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500);  // older entries stay
  stat("tree", &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000);
  EXPECT_EXIT(newest_tree_time(nullptr, "missing"), ::testing::ExitedWithCode(2),
              "can't open file missing");
}

}  // namespace
}  // namespace kiln::exec
