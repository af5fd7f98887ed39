#include "jobserver/jobserver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "cli/settings.h"

namespace kiln::jobserver {
namespace {

class Jobserver : public testing::Test {
 protected:
  void SetUp() override {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, nullptr);  // no SA_RESTART: the timer interrupts
    cfg = settings();
    saved_tmpdir_ = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    had_tmpdir_ = getenv("TMPDIR") != nullptr;
  }
  void TearDown() override {
    jobserver_reset();
    if (had_tmpdir_) setenv("TMPDIR", saved_tmpdir_.c_str(), 1); else unsetenv("TMPDIR");
  }

  // Drains the channel through our own read end and counts the bytes.
  int count_tokens() {
    int n = 0;
    while (jobserver_try_acquire()) n++;
    for (int i = 0; i < n; i++) jobserver_release();
    return n;
  }

  std::string saved_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_F(Jobserver, OwnFifoHoldsJobsMinusOneTokensAndIsRemoved) {
  char dir[] = "/tmp/kiln-js-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("TMPDIR", dir, 1);
  jobserver_create(4);
  std::string path = fifo_path();
  ASSERT_TRUE(path.starts_with(std::string(dir) + "/KLfifo")) << path;
  EXPECT_EQ(path.size(), strlen(dir) + 1 + 12 + 6);  // mkstemp name plus six more
  EXPECT_TRUE(owns_fifo());
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  // A second opener sees exactly three "." bytes.
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  char buf[8];
  EXPECT_EQ(read(fd, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "...");
  EXPECT_EQ(write(fd, buf, 3), 3);
  close(fd);

  EXPECT_EQ(makeflags_for_submake(false, false, 0), " --jobserver-auth=fifo:" + path + " -j");
  remove_fifo();
  remove_fifo();  // safe twice
  EXPECT_NE(stat(path.c_str(), &st), 0);
  rmdir(dir);
}

TEST_F(Jobserver, EmptyTmpdirMeansSlashTmp) {
  setenv("TMPDIR", "", 1);
  jobserver_create(2);
  EXPECT_TRUE(fifo_path().starts_with("/tmp/KLfifo")) << fifo_path();
  EXPECT_EQ(count_tokens(), 1);
}

TEST_F(Jobserver, InheritedFifoIsUsedSilently) {
  char path[] = "/tmp/kiln-js-fifo-XXXXXX";
  int tmp = mkstemp(path);
  close(tmp);
  unlink(path);
  ASSERT_EQ(mkfifo(path, 0600), 0);
  int keep = open(path, O_RDWR | O_NONBLOCK);
  ASSERT_EQ(write(keep, "ab", 2), 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(false, "", true, std::string("fifo:") + path), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(owns_fifo());
  // Tokens come back in stack order: the most recently taken first.
  EXPECT_EQ(jobserver_try_acquire(), 1);
  EXPECT_EQ(jobserver_try_acquire(), 1);
  EXPECT_EQ(jobserver_try_acquire(), 0);
  EXPECT_EQ(tokens_held(), 2u);
  jobserver_release();
  jobserver_release();
  jobserver_release();  // an empty stack gives "."
  char buf[4];
  EXPECT_EQ(read(keep, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "ba.");
  EXPECT_EQ(makeflags_for_submake(true, true, 3),
            std::string(" --jobserver-auth=fifo:") + path + " -j -Orecurse");
  jobserver_reset();
  struct stat st;
  EXPECT_EQ(stat(path, &st), 0);  // not ours: not removed
  close(keep);
  unlink(path);
}

TEST_F(Jobserver, ClosedInheritedDescriptorIsUnavailable) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(dup2(p[0], 103), 103);
  close(p[0]);
  close(p[1]);  // 104 was never open
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(false, "", true, "103,104"), -9);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "kiln: Jobserver unavailable\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(true, "3;4", false, ""), -22);
  EXPECT_EQ(jobserver_join(false, "", true, "junk"), -2);
  EXPECT_EQ(jobserver_join(false, "", false, ""), -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "kiln: Jobserver unavailable\n");
  close(103);
  // The caller falls back to an own jobserver.
  cfg.jobserver_fifo = false;
  jobserver_create(3);
  EXPECT_EQ(count_tokens(), 2);
}

TEST_F(Jobserver, InheritedDescriptorsAreAnnounced) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string pair = std::to_string(p[0]) + "," + std::to_string(p[1]);
  testing::internal::CaptureStderr();
  EXPECT_EQ(jobserver_join(true, pair, true, pair), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "kiln: Jobserver available\n");
  EXPECT_EQ(makeflags_for_submake(true, false, 2),
            " --jobserver-fds=" + pair + " --jobserver-auth=" + pair + " -j -Otarget");
  EXPECT_EQ(makeflags_for_submake(true, false, 1),
            " --jobserver-fds=" + pair + " --jobserver-auth=" + pair + " -j -Oline");
  EXPECT_EQ(makeflags_for_submake(false, false, 0),
            " --jobserver-fds=" + pair + " --jobserver-auth=" + pair + " -j");
  EXPECT_EQ(makeflags_for_submake(true, true, 3),
            " --jobserver-fds=" + pair + " --jobserver-auth=" + pair + " -j -Orecurse");
  close(p[0]);
  close(p[1]);
}

TEST_F(Jobserver, AnonymousTransportsHoldTheirTokens) {
  cfg.jobserver_fifo = false;
  jobserver_create(5);
  EXPECT_EQ(fifo_path(), "");
  EXPECT_EQ(count_tokens(), 4);
  jobserver_reset();
  jobserver_create(1);  // a channel without tokens still exists
  EXPECT_GE(read_fd(), 0);
  EXPECT_EQ(count_tokens(), 0);
}

TEST_F(Jobserver, LoadLimit) {
  EXPECT_TRUE(load_ok());
  cfg.load_limit = 1e6;
  EXPECT_TRUE(load_ok());
  cfg.load_limit = -1;
  EXPECT_FALSE(load_ok());
}

// GNU make hands its jobserver to a "+" recipe; kiln joins it and takes a
// token from it.
TEST_F(Jobserver, JoinsGnuMake) {
  if (system("make --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no make";
  char dir[] = "/tmp/kiln-js-make-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string makefile = std::string(dir) + "/Makefile";
  std::ofstream(makefile) << "all:\n\t+" << JOBSERVER_PROBE << "\n";
  std::string cmd = std::string("make -s -j4 -C ") + dir + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  EXPECT_NE(out.find("joined=0 taken=1"), std::string::npos) << out;
  unlink(makefile.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace kiln::jobserver
