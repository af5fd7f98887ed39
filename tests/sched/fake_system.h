// An in-memory file system and command runner for build tests. Files have
// exact times (seconds and nanoseconds), sizes and kinds; recipe commands
// "run" without a process, in virtual time, and end through the build
// loop's own reaping. The database file stays on the real disk.
//
// Time: one virtual clock in nanoseconds. Every write or touch stamps the
// clock and moves it on by one nanosecond, so whatever is made later is
// strictly newer. A command ends at its start plus the sum of its sleeps;
// the loop sees it end when it looks for ended children, and while none
// has ended yet the clock jumps to the next end once the loop has waited
// (the self-pipe is written as the SIGCHLD handler would).
//
// Commands understood, as "sh -c" lines or plain argument vectors, parts
// separated by ';' and a blank-led '#' starting a comment: true, false,
// exit N, sleep SECONDS, touch FILE..., echo WORD... [> FILE | >> FILE].
// The line's exit status is its last part's, as with sh. Anything else
// fails the test.
#pragma once

#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kiln::sched::testing {

class fake_system {
 public:
  // Where the virtual clock starts: later than any time a test sets.
  static constexpr int64_t k_start_sec = 1600000000;

  // Takes over the build's file-system and process calls. wake_fd is the
  // write end of the loop's self-pipe; top is the directory the build
  // runs in, to which every path is relative.
  void install(int wake_fd, const std::string& top);

  // Gives the build the system's calls back.
  static void uninstall();

  void write(const std::string& path, const std::string& content);
  void append(const std::string& path, const std::string& content);
  // The content, "" when missing.
  std::string read(const std::string& path) const;
  // Whether the path exists, following symbolic links.
  bool exists(const std::string& path) const;
  void remove(const std::string& path);
  void make_dir(const std::string& path);
  void make_symlink(const std::string& target, const std::string& path);
  // Sets a time; follow=false sets a symbolic link's own time.
  void set_time(const std::string& path, int64_t sec, int64_t nsec, bool follow = true);

  // The virtual clock in seconds since k_start_sec.
  double seconds() const;
  // Whole seconds of the virtual clock.
  int64_t now_sec() const;

 private:
  struct file {
    mode_t mode = 0;
    int64_t time_ns = 0;
    uint64_t ino = 0;
    std::string content;  // a symbolic link's target
  };
  struct step {
    std::vector<std::string> words;
    std::string redirect;  // echo's file, "" for standard output
    bool appends = false;
  };
  struct child {
    pid_t pid = 0;
    int64_t end_ns = 0;
    std::string prefix;  // the directory the command runs in
    std::vector<step> steps;
  };

  static int lstat_call(const char* path, struct stat* st);
  static int stat_call(const char* path, struct stat* st);
  static int access_call(const char* path, int mode);
  static int spawn_call(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                        const posix_spawnattr_t* attributes, char* const argv[],
                        char* const envp[]);
  static pid_t wait_call(pid_t pid, int* status, int options);

  int64_t stamp() { return now_ns_++; }
  file& touch(const std::string& key);
  // The entry of a path, through symbolic links when follow; null when
  // missing (errno set).
  const file* find(const std::string& path, bool follow) const;
  int fill(const char* path, struct stat* st, bool follow) const;
  int run(child& c);  // applies the command's effects, returns its exit code
  void wake() const;

  static fake_system* current_;
  std::map<std::string, file> files_;
  std::vector<child> running_;
  int64_t now_ns_ = k_start_sec * 1000000000;
  uint64_t next_ino_ = 1;
  pid_t next_pid_ = 100000;
  bool waited_ = false;  // the loop was told nothing ended and has waited since
  int wake_fd_ = -1;
  std::string top_;
};

}  // namespace kiln::sched::testing
