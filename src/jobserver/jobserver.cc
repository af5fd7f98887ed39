#include "jobserver/jobserver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/diag.h"
#include "cli/settings.h"

namespace kiln::jobserver {

namespace {

constexpr size_t k_token_stack_size = 1024;
constexpr int k_socket_buffer = 524288;

int fds[2] = {-1, -1};  // read, write
std::string fifo;       // own or inherited FIFO path
bool fifo_owned = false;
bool fds_owned = false;  // descriptors this process opened (closed on reset)

// Bytes taken from the channel, most recent last. A byte taken while the
// stack is full is not stored; "." goes back in its place.
char token_stack[k_token_stack_size];
size_t n_tokens = 0;

// Arms a one-shot 10 ms real-time timer around a read or write that might
// block; the SIGALRM it sends interrupts the call with EINTR.
struct short_timer {
  short_timer() { arm(10000); }
  ~short_timer() { arm(0); }
  static void arm(long usec) {
    struct itimerval t;
    memset(&t, 0, sizeof t);
    t.it_value.tv_usec = usec;
    setitimer(ITIMER_REAL, &t, nullptr);
  }
};

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
}

void close_both(int pair[2]) {
  for (int i = 0; i < 2; i++) {
    if (pair[i] >= 0) close(pair[i]);
    pair[i] = -1;
  }
}

// Writes n "." tokens one at a time; returns how many went in.
int write_tokens(int fd, int n) {
  int written = 0;
  for (; written < n; written++) {
    short_timer timer;
    if (write(fd, ".", 1) != 1) break;
  }
  return written;
}

bool parse_pair(const std::string& text, int* r, int* w) {
  char tail;
  return sscanf(text.c_str(), "%d,%d%c", r, w, &tail) == 2;
}

bool try_fifo(int tokens) {
  const char* tmp = getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  std::string templ = dir + (dir.back() == '/' ? "" : "/") + "KLfifoXXXXXX";
  int fd = mkstemp(templ.data());
  if (fd < 0) return false;
  close(fd);
  unlink(templ.c_str());
  static const char k_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int i = 0; i < 6; i++) templ += k_chars[rand() % 62];
  if (mkfifo(templ.c_str(), 0600) != 0) return false;
  int pair[2] = {open(templ.c_str(), O_RDWR | O_CLOEXEC), -1};
  if (pair[0] >= 0) pair[1] = open(templ.c_str(), O_RDWR | O_CLOEXEC);
  if (pair[1] < 0 || !set_nonblocking(pair[0]) || !set_nonblocking(pair[1]) ||
      write_tokens(pair[1], tokens) != tokens) {
    close_both(pair);
    unlink(templ.c_str());
    return false;
  }
  fds[0] = pair[0];
  fds[1] = pair[1];
  fifo = templ;
  fifo_owned = fds_owned = true;
  return true;
}

bool try_socket_pair(int tokens) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    diag::internal_error("28");
  }
  set_nonblocking(pair[1]);
  int size = k_socket_buffer;
  for (int fd : pair) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  for (int fd : pair) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  if (write_tokens(pair[1], tokens) != tokens) {
    puts("kiln: Socket pair didn't work, using pipe instead");
    close_both(pair);
    return false;
  }
  fds[0] = pair[0];
  fds[1] = pair[1];
  fds_owned = true;
  return true;
}

void use_pipe(int tokens) {
  int pair[2];
  if (pipe2(pair, O_CLOEXEC) != 0) diag::internal_error("28.2");
  set_nonblocking(pair[1]);
  int written = write_tokens(pair[1], tokens);
  if (written != tokens) printf("kiln: Could not write all tokens to jobserver (only %d)\n", written);
  fds[0] = pair[0];
  fds[1] = pair[1];
  fds_owned = true;
}

void push_token(char c) {
  if (n_tokens < k_token_stack_size) token_stack[n_tokens++] = c;
}

}  // namespace

int jobserver_join(bool has_fds, const std::string& fds_text, bool has_auth,
                   const std::string& auth) {
  if (!has_fds && has_auth && auth.compare(0, 5, "fifo:") == 0) {
    std::string path = auth.substr(5, auth.find(' ', 5) - 5);
    int pair[2] = {open(path.c_str(), O_RDWR | O_CLOEXEC), -1};
    if (pair[0] >= 0) pair[1] = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (pair[1] < 0) {
      close_both(pair);
      return -2;
    }
    set_nonblocking(pair[0]);
    set_nonblocking(pair[1]);
    fds[0] = pair[0];
    fds[1] = pair[1];
    fifo = path;
    fifo_owned = false;
    fds_owned = true;
    return 0;
  }
  int r;
  int w;
  if (!has_fds && !has_auth) return -2;
  if (!has_fds && !parse_pair(auth, &r, &w)) return -2;
  if (!parse_pair(has_fds ? fds_text : auth, &r, &w)) {
    fputs("kiln: Jobserver unavailable\n", stderr);
    return -22;
  }
  if (fcntl(r, F_GETFD) < 0 || fcntl(w, F_GETFD) < 0) {
    fputs("kiln: Jobserver unavailable\n", stderr);
    return -9;
  }
  fputs("kiln: Jobserver available\n", stderr);
  // Inherited descriptors are shared with other processes: they stay
  // blocking, and the 10 ms timer keeps a read from hanging.
  fds[0] = r;
  fds[1] = w;
  fds_owned = false;
  return 0;
}

void jobserver_create(int j) {
  int tokens = j - 1;
  if (cfg.jobserver_fifo) {
    if (try_fifo(tokens)) return;
    puts("kiln: FIFO didn't work, trying something else instead");
  }
  if (try_socket_pair(tokens)) return;
  use_pipe(tokens);
}

int jobserver_try_acquire() {
  struct pollfd p = {fds[0], POLLIN, 0};
  int ret = poll(&p, 1, 0);
  if (ret < 0) {
    if (errno == EINTR) return 0;
    printf("111 ret %d, errno %d\n", ret, errno);
    diag::internal_error();
  }
  if (ret == 0) return 0;
  char c;
  ssize_t n = recv(fds[0], &c, 1, MSG_DONTWAIT);
  if (n == 1) {
    push_token(c);
    return 1;
  }
  if (!(n < 0 && errno == ENOTSOCK)) return 0;  // another process was faster
  {
    short_timer timer;
    n = read(fds[0], &c, 1);
  }
  if (n == 1) {
    push_token(c);
    return 1;
  }
  if (n > 1) {
    printf("222 ret %d, errno %d\n", static_cast<int>(n), errno);
    diag::internal_error();
  }
  return 0;
}

void jobserver_release() {
  char c = n_tokens > 0 ? token_stack[--n_tokens] : '.';
  short_timer timer;
  ssize_t n = write(fds[1], &c, 1);
  (void)n;  // a token that cannot be written back is lost
}

std::string makeflags_for_submake(bool sync_on, bool recurse, int mode) {
  char buf[128];
  const char* sync = mode == sync_line ? "line" : "target";
  if (!fifo.empty()) {
    if (!sync_on) {
      snprintf(buf, sizeof buf, " --jobserver-auth=fifo:%s -j", fifo.c_str());
    } else if (recurse) {
      snprintf(buf, sizeof buf, " --jobserver-auth=fifo:%s -j -Orecurse", fifo.c_str());
    } else {
      snprintf(buf, sizeof buf, " --jobserver-auth=fifo:%s -j -O%s", fifo.c_str(), sync);
    }
  } else {
    int r = fds[0];
    int w = fds[1];
    if (!sync_on) {
      snprintf(buf, sizeof buf, " --jobserver-fds=%d,%d --jobserver-auth=%d,%d -j", r, w, r, w);
    } else if (recurse) {
      snprintf(buf, sizeof buf, " --jobserver-fds=%d,%d --jobserver-auth=%d,%d -j -Orecurse", r, w,
               r, w);
    } else {
      snprintf(buf, sizeof buf, " --jobserver-fds=%d,%d --jobserver-auth=%d,%d -j -O%s", r, w, r,
               w, sync);
    }
  }
  return buf;
}

bool load_ok() {
  if (cfg.load_limit >= 1e100) return true;
  double load;
  if (getloadavg(&load, 1) != 1) return false;
  return !(load > cfg.load_limit);
}

void remove_fifo() {
  if (!fifo_owned) return;
  std::string path = fifo;
  fifo_owned = false;
  fifo.clear();
  unlink(path.c_str());
}

void install_fifo_hook() { diag::hooks.remove_fifo = remove_fifo; }

int read_fd() { return fds[0]; }
int write_fd() { return fds[1]; }
const std::string& fifo_path() { return fifo; }
bool owns_fifo() { return fifo_owned; }
size_t tokens_held() { return n_tokens; }

void jobserver_reset() {
  remove_fifo();
  if (fds_owned) close_both(fds);
  fds[0] = fds[1] = -1;
  fifo.clear();
  fds_owned = false;
  n_tokens = 0;
}

}  // namespace kiln::jobserver
