#include "jobserver/test_support.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kiln::jobserver::testing_support {

namespace {

void on_alarm(int) {}

// Reads both pipes until both reach end of file or the deadline passes.
bool collect(int out_fd, int err_fd, int timeout_ms, child_result* r) {
  struct pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* dest[2] = {&r->out, &r->err};
  int open_count = 2;
  int waited = 0;
  while (open_count > 0 && waited < timeout_ms) {
    int n = poll(p, 2, 50);
    if (n == 0) waited += 50;
    if (n <= 0) continue;
    for (int i = 0; i < 2; i++) {
      if (p[i].fd < 0 || p[i].revents == 0) continue;
      char buf[4096];
      ssize_t got = read(p[i].fd, buf, sizeof buf);
      if (got > 0) {
        dest[i]->append(buf, static_cast<size_t>(got));
      } else {
        p[i].fd = -1;
        open_count--;
      }
    }
  }
  return open_count == 0;
}

}  // namespace

void install_alarm_handler() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_alarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
}

child_result run_in_child(const std::function<int()>& fn, int timeout_ms) {
  child_result r;
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return r;
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    int status = fn();
    fflush(stdout);
    fflush(stderr);
    _exit(status);
  }
  close(out[1]);
  close(err[1]);
  bool finished = collect(out[0], err[0], timeout_ms, &r);
  if (!finished) kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
  close(out[0]);
  close(err[0]);
  r.status = finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string run_shell(const std::string& command) {
  std::string text;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return text;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  pclose(p);
  return text;
}

scratch_dir::scratch_dir() {
  char templ[] = "/tmp/kiln-jobserver-test-XXXXXX";
  if (mkdtemp(templ)) path_ = templ;
}

scratch_dir::~scratch_dir() {
  if (!path_.empty()) run_shell("rm -rf '" + path_ + "'");
}

}  // namespace kiln::jobserver::testing_support
