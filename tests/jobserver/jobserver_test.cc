#include "jobserver/jobserver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "base/diag.h"
#include "base/hooks.h"
#include "base/settings.h"
#include "jobserver/test_support.h"

extern char** environ;

namespace kiln::jobserver {
namespace {

using testing_support::run_in_child;
using testing_support::scratch_dir;

class Jobserver : public testing::Test {
 protected:
  void SetUp() override {
    testing_support::install_alarm_handler();
    cfg = settings();
    const char* t = getenv("TMPDIR");
    had_tmpdir_ = t != nullptr;
    if (t) saved_tmpdir_ = t;
  }
  void TearDown() override {
    jobserver_reset();
    if (had_tmpdir_) {
      setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  // Takes every token through the channel's own read end, gives them all
  // back and returns how many there were.
  static int count_tokens() {
    int n = 0;
    while (jobserver_try_acquire()) n++;
    for (int i = 0; i < n; i++) jobserver_release();
    return n;
  }

  // Makes a FIFO at a fresh path under dir and returns the path.
  static std::string make_fifo(const scratch_dir& dir) {
    std::string path = dir.path() + "/parent-fifo";
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return path;
  }

  // Runs the probe as a sub-make would run: with the MAKEFLAGS text kiln
  // gives sub-makes and every descriptor kiln does not close for them.
  // Returns its standard error followed by its standard output. With
  // path_only, the text names a FIFO by its path alone, as for a sub-make
  // that understands nothing else.
  static std::string run_probe_as_submake(bool path_only = false) {
    submake_channel channel;
    if (!path_only) channel = open_submake_channel();
    setenv("MAKEFLAGS", makeflags_for_submake(channel, false, false, 0).c_str(), 1);
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, out[1]);
    char* argv[] = {const_cast<char*>(JOBSERVER_PROBE), nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, JOBSERVER_PROBE, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    unsetenv("MAKEFLAGS");
    close_submake_channel(&channel);
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while (rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, n);
    close(out[0]);
    int status;
    if (rc == 0) waitpid(pid, &status, 0);
    return text;
  }

  std::string saved_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_F(Jobserver, OwnFifoHoldsJobsMinusOneTokensAndIsRemovedOnce) {
  scratch_dir dir;
  setenv("TMPDIR", dir.path().c_str(), 1);
  testing::internal::CaptureStdout();
  jobserver_create(4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const std::string path = fifo_path();
  ASSERT_TRUE(path.starts_with(dir.path() + "/KLfifo")) << path;
  EXPECT_EQ(path.size(), dir.path().size() + strlen("/KLfifo") + 6 + 6);
  EXPECT_TRUE(owns_fifo());
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(fcntl(read_fd(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(write_fd(), F_GETFL) & O_NONBLOCK, 0);

  // A second opener sees exactly three "." bytes.
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  char buf[8];
  ASSERT_EQ(read(fd, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "...");
  close(fd);

  install_fifo_hook();
  EXPECT_EQ(up.remove_fifo, &remove_fifo);
  up.remove_fifo = nullptr;
  remove_fifo();
  EXPECT_NE(stat(path.c_str(), &st), 0);
  EXPECT_FALSE(owns_fifo());
  EXPECT_EQ(fifo_path(), "");
  // A second removal must not touch a file that took the name meanwhile.
  std::ofstream(path) << "x";
  remove_fifo();
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  unlink(path.c_str());
}

TEST_F(Jobserver, FifoDirectoryRules) {
  setenv("TMPDIR", "", 1);
  jobserver_create(2);
  EXPECT_TRUE(fifo_path().starts_with("/tmp/KLfifo")) << fifo_path();
  EXPECT_EQ(count_tokens(), 1);
  jobserver_reset();

  scratch_dir dir;
  setenv("TMPDIR", (dir.path() + "/").c_str(), 1);  // no doubled slash
  jobserver_create(1);
  EXPECT_TRUE(fifo_path().starts_with(dir.path() + "/KLfifo")) << fifo_path();
  EXPECT_EQ(count_tokens(), 0);  // no tokens, but the channel exists
  jobserver_reset();

  // A relative TMPDIR becomes absolute: sub-makes run in other directories.
  char* real = realpath(dir.path().c_str(), nullptr);
  std::string expected = std::string(real) + "/rel/KLfifo";
  free(real);
  auto r = run_in_child([&dir, &expected] {
    if (mkdir((dir.path() + "/rel").c_str(), 0700) != 0 || chdir(dir.path().c_str()) != 0) return 10;
    setenv("TMPDIR", "rel", 1);
    jobserver_create(2);
    bool ok = fifo_path().starts_with(expected) && access(fifo_path().c_str(), F_OK) == 0;
    remove_fifo();
    return ok ? 0 : 11;
  });
  EXPECT_EQ(r.status, 0) << r.out;

  // An unusable directory falls back to a socket pair.
  setenv("TMPDIR", (dir.path() + "/missing").c_str(), 1);
  testing::internal::CaptureStdout();
  jobserver_create(3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "kiln: FIFO didn't work, trying something else instead\n");
  EXPECT_EQ(fifo_path(), "");
  EXPECT_EQ(count_tokens(), 2);
}

TEST_F(Jobserver, SocketPairWhenFifoModeIsOff) {
  cfg.jobserver_fifo = false;
  testing::internal::CaptureStdout();
  jobserver_create(5);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(fifo_path(), "");
  struct stat st;
  ASSERT_EQ(fstat(read_fd(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_NE(fcntl(write_fd(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(count_tokens(), 4);
}

TEST_F(Jobserver, PipeTransport) {
  jobserver_create_pipe(4);
  struct stat st;
  ASSERT_EQ(fstat(read_fd(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(fifo_path(), "");
  EXPECT_NE(fcntl(write_fd(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(count_tokens(), 3);
}

// A sub-make must be able to use every kind of own channel: the socket
// pair and pipe descriptors survive exec; a FIFO is found by its path or
// through the descriptors opened on it for the sub-make.
TEST_F(Jobserver, SubmakesJoinEveryOwnTransport) {
  const std::string by_fds = "kiln: Jobserver available\njoined=0 fifo=0 taken=1 makeflags=gone\n";
  scratch_dir dir;
  setenv("TMPDIR", dir.path().c_str(), 1);
  jobserver_create(3);
  EXPECT_EQ(run_probe_as_submake(), by_fds);
  EXPECT_EQ(run_probe_as_submake(true), "joined=0 fifo=1 taken=1 makeflags=gone\n");
  EXPECT_EQ(count_tokens(), 2);
  jobserver_reset();

  cfg.jobserver_fifo = false;
  jobserver_create(3);
  EXPECT_EQ(run_probe_as_submake(), by_fds);
  EXPECT_EQ(count_tokens(), 2);
  jobserver_reset();

  jobserver_create_pipe(2);
  EXPECT_EQ(run_probe_as_submake(), by_fds);
  EXPECT_EQ(count_tokens(), 1);
}

// The descriptors a sub-make gets on an own FIFO are its own open file:
// blocking, kept across exec, and not shared with kiln's non-blocking
// descriptors, so a make that reads tokens with a blocking read works and
// a make that switches its copy to non-blocking changes nothing for kiln.
TEST_F(Jobserver, SubmakeChannelOnAFifoIsAFreshBlockingPair) {
  scratch_dir dir;
  setenv("TMPDIR", dir.path().c_str(), 1);
  jobserver_create(2);
  submake_channel c = open_submake_channel();
  ASSERT_TRUE(c.is_own_pair);
  struct stat own, fifo;
  ASSERT_EQ(stat(fifo_path().c_str(), &fifo), 0);
  for (int fd : {c.read_fd, c.write_fd}) {
    EXPECT_NE(fd, read_fd());
    EXPECT_NE(fd, write_fd());
    ASSERT_EQ(fstat(fd, &own), 0);
    EXPECT_EQ(own.st_ino, fifo.st_ino);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  }
  fcntl(c.read_fd, F_SETFL, fcntl(c.read_fd, F_GETFL) | O_NONBLOCK);
  fcntl(read_fd(), F_SETFL, fcntl(read_fd(), F_GETFL) & ~O_NONBLOCK);
  EXPECT_EQ(fcntl(c.read_fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  EXPECT_EQ(fcntl(read_fd(), F_GETFL) & O_NONBLOCK, 0);
  int r = c.read_fd;
  close_submake_channel(&c);
  EXPECT_LT(fcntl(r, F_GETFD), 0);  // closed after the spawn
  EXPECT_EQ(c.read_fd, -1);
  jobserver_reset();

  // A socket pair is shared as it is and stays open.
  cfg.jobserver_fifo = false;
  jobserver_create(2);
  c = open_submake_channel();
  EXPECT_FALSE(c.is_own_pair);
  EXPECT_EQ(c.read_fd, read_fd());
  EXPECT_EQ(c.write_fd, write_fd());
  close_submake_channel(&c);
  EXPECT_GE(fcntl(read_fd(), F_GETFD), 0);
}

TEST_F(Jobserver, InheritedFifoIsUsedSilentlyAndKept) {
  scratch_dir dir;
  std::string path = make_fifo(dir);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(jobserver_join(false, "", true, "fifo:" + path), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(fifo_path(), path);
  EXPECT_FALSE(owns_fifo());
  EXPECT_NE(fcntl(read_fd(), F_GETFL) & O_NONBLOCK, 0);
  submake_channel none;
  EXPECT_EQ(makeflags_for_submake(none, false, false, 0), " --jobserver-auth=fifo:" + path + " -j");
  remove_fifo();
  jobserver_reset();
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);  // not ours: never removed
}

TEST_F(Jobserver, InheritedFifoThatIsNotThereOrNotAFifo) {
  scratch_dir dir;
  EXPECT_EQ(jobserver_join(false, "", true, "fifo:" + dir.path() + "/none"), -2);
  EXPECT_EQ(jobserver_join(false, "", true, "fifo:"), -2);
  EXPECT_EQ(jobserver_join(false, "", true, "fifo:" + dir.path()), -2);
  // An ordinary file is never taken for the channel: its bytes would be
  // read as tokens and written back over its contents.
  std::string file = dir.path() + "/source.c";
  std::ofstream(file) << "int main;\n";
  EXPECT_EQ(jobserver_join(false, "", true, "fifo:" + file), -2);
  EXPECT_EQ(read_fd(), -1);
  EXPECT_EQ(fifo_path(), "");
  // With a descriptor value too, the descriptors are what counts.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string pair = std::to_string(p[0]) + "," + std::to_string(p[1]);
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(true, pair, true, "fifo:" + file), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "kiln: Jobserver available\n");
  EXPECT_EQ(read_fd(), p[0]);
  close(p[0]);
  close(p[1]);
}

TEST_F(Jobserver, InheritedDescriptorsAreAnnouncedAndLeftBlocking) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "+", 1), 1);
  std::string pair = std::to_string(p[0]) + "," + std::to_string(p[1]);
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(true, pair, false, ""), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "kiln: Jobserver available\n");
  EXPECT_EQ(read_fd(), p[0]);
  EXPECT_EQ(write_fd(), p[1]);
  EXPECT_EQ(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(fifo_path(), "");
  EXPECT_EQ(jobserver_try_acquire(), 1);
  EXPECT_EQ(jobserver_try_acquire(), 0);
  jobserver_release();
  char c;
  ASSERT_EQ(read(p[0], &c, 1), 1);
  EXPECT_EQ(c, '+');
  jobserver_reset();
  EXPECT_EQ(fcntl(p[0], F_GETFD), 0);  // not ours: left open
  close(p[0]);
  close(p[1]);
}

TEST_F(Jobserver, MalformedOrMissingDescriptorValues) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(false, "", false, ""), -2);
  EXPECT_EQ(jobserver_join(false, "", true, "junk"), -2);
  EXPECT_EQ(jobserver_join(false, "", true, "3,4x"), -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(true, "3;4", false, ""), -22);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "kiln: Jobserver unavailable\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(true, "junk", true, "3,4"), -22);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "kiln: Jobserver unavailable\n");
}

// Descriptors 3 and 4 named while 4 is closed: unavailable, and the caller
// falls back to a jobserver of its own.
TEST_F(Jobserver, ClosedInheritedDescriptorFallsBackToOwnJobserver) {
  scratch_dir dir;
  std::string tmpdir = dir.path();
  auto r = run_in_child([tmpdir] {
    int p[2];
    if (pipe(p) != 0) return 10;
    dup2(p[0], 3);
    close(4);
    if (p[0] != 3) close(p[0]);
    if (p[1] != 3) close(p[1]);
    setenv("MAKEFLAGS", "-j --jobserver-auth=3,4", 1);
    setenv("TMPDIR", tmpdir.c_str(), 1);
    read_makeflags();
    int joined = jobserver_join();
    if (joined != -9) return 11;
    jobserver_create(3);
    if (!owns_fifo() || count_tokens() != 2) return 12;
    remove_fifo();
    return 0;
  });
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "kiln: Jobserver unavailable\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Jobserver, TokensGoBackMostRecentFirst) {
  scratch_dir dir;
  std::string path = make_fifo(dir);
  int keep = open(path.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(keep, 0);
  ASSERT_EQ(write(keep, "ab", 2), 2);
  ASSERT_EQ(jobserver_join(false, "", true, "fifo:" + path), 0);
  EXPECT_EQ(jobserver_try_acquire(), 1);
  EXPECT_EQ(jobserver_try_acquire(), 1);
  EXPECT_EQ(jobserver_try_acquire(), 0);
  EXPECT_EQ(tokens_held(), 2u);
  jobserver_release();
  jobserver_release();
  jobserver_release();  // an empty stack gives "."
  EXPECT_EQ(tokens_held(), 0u);
  char buf[8];
  ASSERT_EQ(read(keep, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "ba.");
  close(keep);
}

TEST_F(Jobserver, FullTokenStackGivesDotsBack) {
  scratch_dir dir;
  std::string path = make_fifo(dir);
  int keep = open(path.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(keep, 0);
  const size_t extra = 6;
  std::string bytes(k_token_stack_size, 'a');
  bytes += std::string(extra, 'b');
  ASSERT_EQ(write(keep, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(jobserver_join(false, "", true, "fifo:" + path), 0);
  size_t taken = 0;
  while (jobserver_try_acquire()) taken++;
  EXPECT_EQ(taken, bytes.size());
  EXPECT_EQ(tokens_held(), k_token_stack_size);
  for (size_t i = 0; i < taken; i++) jobserver_release();
  std::string back(bytes.size() + 1, '\0');
  ASSERT_EQ(read(keep, back.data(), back.size()), static_cast<ssize_t>(bytes.size()));
  back.resize(bytes.size());
  EXPECT_EQ(back, std::string(k_token_stack_size, 'a') + std::string(extra, '.'));
  close(keep);
}

// A release into a full, blocking channel shared with others returns after
// the 10 ms timer instead of waiting for room; the token is lost.
TEST_F(Jobserver, TimerBoundsAReleaseIntoAFullChannel) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  int flags = fcntl(p[1], F_GETFL);
  fcntl(p[1], F_SETFL, flags | O_NONBLOCK);
  char block[4096];
  memset(block, '.', sizeof block);
  while (write(p[1], block, sizeof block) > 0) {
  }
  while (write(p[1], block, 1) > 0) {
  }
  fcntl(p[1], F_SETFL, flags);
  std::string pair = std::to_string(p[0]) + "," + std::to_string(p[1]);
  testing::internal::CaptureStderr();
  ASSERT_EQ(jobserver_join(true, pair, true, pair), 0);
  testing::internal::GetCapturedStderr();
  auto start = std::chrono::steady_clock::now();
  jobserver_release();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start)
                .count();
  EXPECT_LT(ms, 1000);
  // The channel still works and the timer is off again.
  EXPECT_EQ(jobserver_try_acquire(), 1);
  struct itimerval t;
  getitimer(ITIMER_REAL, &t);
  EXPECT_EQ(t.it_value.tv_sec, 0);
  EXPECT_EQ(t.it_value.tv_usec, 0);
  close(p[0]);
  close(p[1]);
}

TEST_F(Jobserver, NoChannelMeansNoTokens) {
  EXPECT_EQ(read_fd(), -1);
  EXPECT_EQ(jobserver_try_acquire(), 0);
}

}  // namespace
}  // namespace kiln::jobserver
