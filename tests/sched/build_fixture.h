// A scratch project for build tests: a temporary top directory that is the
// working directory, a fresh build state per run, and the database opened,
// loaded and written back around each run as a kiln process would.
//
// Files and commands are those of the in-memory fake_system unless the test
// calls use_real_system() first; the file helpers below act on whichever is
// in use. The database file is always on the disk.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "base/diag.h"
#include "base/settings.h"
#include "db/database.h"
#include "db/db_tables.h"
#include "exec/spawn.h"
#include "graph/add_rule.h"
#include "graph/deferred.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "jobserver/jobserver.h"
#include "sched/build_loop.h"
#include "sched/build_state.h"
#include "sched/consider.h"
#include "sched/do_exec.h"
#include "sched/fake_system.h"
#include "sched/fscache.h"

namespace kiln::sched::testing {

class BuildTest : public ::testing::Test {
 public:
  void SetUp() override {
    char saved[4096];
    old_cwd_ = getcwd(saved, sizeof saved) ? saved : "/";
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kiln_sched_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    cfg = settings{};
    cfg.expected_strings = 64;
    cfg.sttable_entries = 1024;
    cfg.stat_hash_size = 64;
    cfg.stat_cache_size = 256;
    cfg.access_hash_size = 64;
    cfg.access_cache_size = 256;
    cfg.db_hash_size = 64;
    cfg.tsdb_hash_size = 64;
    ASSERT_EQ(pipe(self_pipe_), 0);
    fcntl(self_pipe_[0], F_SETFL, O_NONBLOCK);
    fcntl(self_pipe_[1], F_SETFL, O_NONBLOCK);
    wake_fd_ = self_pipe_[1];
    struct sigaction sa {};
    sa.sa_handler = on_sigchld;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &sa, &old_sigchld_);
    install_reap_hook();
    db::db_install_write_back_hook();
    fake.install(self_pipe_[1], dir_);
  }

  void TearDown() override {
    fake_system::uninstall();
    sigaction(SIGCHLD, &old_sigchld_, nullptr);
    reset_build_state();
    close(self_pipe_[0]);
    close(self_pipe_[1]);
    if (chdir(old_cwd_.c_str()) != 0) perror("chdir");
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) perror("rm");
    cfg = settings{};
  }

  // Runs this test's commands as real children on the real disk: for the
  // reaping, signals, output capture and directory-tree walks that the
  // fake does not have. Call it first.
  void use_real_system() {
    fake_system::uninstall();
    real_ = true;
  }

  // Starts a run as start-up does: an empty build state, the database
  // opened and loaded, the self-pipe, and a jobserver for -j above 1.
  void begin_run() {
    reset_build_state();
    db::db_open();
    db::db_load();
    set_self_pipe(self_pipe_[0], self_pipe_[1]);
    if (cfg.jobs > 1) jobserver::jobserver_create(cfg.jobs);
  }

  // Makes a rule whose commands are shell lines run with sh -c.
  graph::ruleid rule(std::vector<std::string> targets, std::vector<std::string> deps,
                     std::vector<std::string> lines, uint32_t flags = 0,
                     const char* prefix = ".") {
    std::vector<graph::parsed_name> t, d;
    for (auto& n : targets) t.push_back(name(n));
    for (auto& n : deps) {
      graph::parsed_name p = name(n);
      // Leading marks: '|' wait, '@' recursive, '~' order only.
      if (!n.empty() && (n[0] == '|' || n[0] == '@' || n[0] == '~')) {
        p.name = n.substr(1);
        p.flags = n[0] == '|' ? graph::k_name_wait
                  : n[0] == '@' ? graph::k_name_recdep
                                : graph::k_name_orderonly;
      }
      d.push_back(p);
    }
    graph::ruleid id = graph::add_rule(t, d, nullptr, flags, prefix, 0, 1, -1);
    std::vector<std::vector<std::string>> cmds;
    for (auto& l : lines) cmds.push_back({"NI", "E", "NM", "sh", "-c", l});
    set_commands(id, cmds);
    return id;
  }

  // Sets a rule's command vectors, each with its three marker words.
  void set_commands(graph::ruleid id, const std::vector<std::vector<std::string>>& cmds) {
    auto& store = command_store_.emplace_back();
    for (auto& c : cmds) {
      auto& words = word_store_.emplace_back(c);
      std::vector<char*> v;
      for (auto& w : words) v.push_back(w.data());
      v.push_back(nullptr);
      store.push_back(std::move(v));
    }
    auto& arr = array_store_.emplace_back();
    for (auto& v : store) arr.push_back(v.data());
    graph::rule* r = graph::rule_at(id);
    r->commands = arr.data();
    r->n_commands = arr.size();
  }

  // Prepares the graph, wants the named targets and builds.
  void build_targets(std::vector<std::string> wanted, bool announce = true) {
    graph::resolve_deferred_deps(0);
    prepare_all();
    for (auto& w : wanted) make_wanted(graph::ruleid_by_tgt(graph::lookup(w.c_str())));
    check_wanted_for_cycles(true);
    build(announce);
  }

  // One whole run: graph made by define(), the targets built, the
  // database written back.
  void run(const std::function<void()>& define, std::vector<std::string> wanted) {
    begin_run();
    define();
    build_targets(wanted);
    ASSERT_EQ(db::db_write_back(), 0);
    db::db_reset();
  }

  static graph::parsed_name name(const std::string& n) {
    graph::parsed_name p;
    p.name = n;
    return p;
  }

  void write_file(const std::string& path, const std::string& content) {
    if (!real_) return fake.write(path, content);
    std::ofstream out(path, std::ios::binary);
    out << content;
  }

  std::string read_file(const std::string& path) {
    return real_ ? read_disk_file(path) : fake.read(path);
  }

  // Sets a file's modification time.
  void set_mtime(const std::string& path, time_t sec, long nsec = 0) {
    if (!real_) return fake.set_time(path, sec, nsec);
    struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
  }

  // Sets a symbolic link's own modification time.
  void set_link_mtime(const std::string& path, time_t sec) {
    if (!real_) return fake.set_time(path, sec, 0, false);
    struct timespec ts[2] = {{sec, 0}, {sec, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
  }

  bool exists(const std::string& path) {
    return real_ ? access(path.c_str(), F_OK) == 0 : fake.exists(path);
  }

  void make_dir(const std::string& path) {
    if (!real_) return fake.make_dir(path);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }

  void make_symlink(const std::string& target, const std::string& path) {
    if (!real_) return fake.make_symlink(target, path);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  }

  // The clock files are stamped with, in seconds.
  double now_seconds() {
    if (!real_) return fake.seconds();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
  }
  time_t now() { return real_ ? time(nullptr) : static_cast<time_t>(fake.now_sec()); }

  // The lines of the log file that commands append to, then empties it.
  std::string take_log() {
    std::string s = read_file("log");
    if (real_) unlink("log");
    else fake.remove("log");
    return s;
  }

  // The database file, always on the disk.
  static std::string db_text() { return read_disk_file(".kiln.db"); }
  static void set_db_text(const std::string& text) {
    std::ofstream out(".kiln.db", std::ios::binary);
    out << text;
  }

  static std::string read_disk_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Wakes the loop's select when a child ends.
  static void on_sigchld(int) {
    char c = '.';
    if (write(wake_fd_, &c, 1) < 0) {
    }
  }
  static inline int wake_fd_ = -1;

  fake_system fake;
  bool real_ = false;
  int self_pipe_[2] = {-1, -1};
  struct sigaction old_sigchld_ {};
  std::string dir_;
  std::string old_cwd_;
  std::deque<std::vector<std::string>> word_store_;
  std::deque<std::vector<std::vector<char*>>> command_store_;
  std::deque<std::vector<char**>> array_store_;
};

// A command that logs the target name and creates it.
inline std::string make_cmd(const std::string& target) {
  return "echo " + target + " >> log; touch " + target;
}

}  // namespace kiln::sched::testing
