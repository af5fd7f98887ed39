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

#include "base/diag.h"
#include "base/hooks.h"
#include "base/result_codes.h"
#include "base/settings.h"

namespace kiln::jobserver {

namespace {

// Buffer size asked for on both ends of an own socket pair.
constexpr int k_socket_buffer = 524288;
// The one-shot timer around a token read or write that might block.
constexpr long k_token_timer_usec = 10000;
// What an own FIFO's name is made of, after the mkstemp part.
constexpr char k_name_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

int g_fds[2] = {-1, -1};   // read, write
bool g_fds_owned = false;  // opened by this process (closed by jobserver_reset)
std::string g_fifo;        // own or inherited FIFO path
bool g_fifo_owned = false;

// Bytes taken from the channel, most recent last. A byte taken while the
// stack is full is not stored; "." goes back in its place.
char g_token_stack[k_token_stack_size];
size_t g_n_tokens = 0;

// Arms ITIMER_REAL as a one-shot 10 ms timer for its lifetime; the
// SIGALRM it may send interrupts a blocked read or write with EINTR.
class token_timer {
 public:
  token_timer() { arm(k_token_timer_usec); }
  ~token_timer() { arm(0); }
  token_timer(const token_timer&) = delete;
  token_timer& operator=(const token_timer&) = delete;

 private:
  static void arm(long usec) {
    struct itimerval t;
    memset(&t, 0, sizeof t);
    t.it_value.tv_usec = usec;
    setitimer(ITIMER_REAL, &t, nullptr);
  }
};

void make_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) diag::internal_error("18");
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) diag::internal_error("19");
}

void close_pair(int pair[2]) {
  for (int i = 0; i < 2; i++) {
    if (pair[i] >= 0) close(pair[i]);
    pair[i] = -1;
  }
}

void adopt(int pair[2], bool owned) {
  g_fds[0] = pair[0];
  g_fds[1] = pair[1];
  g_fds_owned = owned;
}

// Fills a new channel with n "." tokens one at a time; returns how many
// went in. The channel is fresh, not yet shared with any other process and
// its write end is non-blocking, so no write can wait: these writes need no
// timer, and must not have one, since SIGALRM still has its default,
// fatal action while the jobserver is set up.
int write_tokens(int fd, int n) {
  int written = 0;
  while (written < n && write(fd, ".", 1) == 1) written++;
  return written;
}

// Parses "R,W" with nothing after it.
bool parse_pair(const std::string& text, int* r, int* w) {
  char tail;
  return sscanf(text.c_str(), "%d,%d%c", r, w, &tail) == 2;
}

// Opens a FIFO twice for reading and writing (read descriptor first).
// Anything that is not a FIFO is refused, so that a stray MAKEFLAGS
// cannot make kiln read and rewrite an ordinary file or open a device.
bool open_fifo(const char* path, int pair[2]) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) return false;
  pair[0] = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (pair[0] >= 0) pair[1] = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (pair[1] < 0 || fstat(pair[0], &st) != 0 || !S_ISFIFO(st.st_mode)) {
    close_pair(pair);
    return false;
  }
  make_nonblocking(pair[0]);
  make_nonblocking(pair[1]);
  return true;
}

// The FIFO's path: TMPDIR (when set and not empty) or /tmp, a name made
// unique by mkstemp, and six more random characters. A relative TMPDIR is
// taken from the current directory and made absolute, since sub-makes open
// the path from their own directories. Returns "" when mkstemp fails.
std::string new_fifo_path() {
  const char* tmpdir = getenv("TMPDIR");
  std::string path = tmpdir && *tmpdir ? tmpdir : "/tmp";
  if (path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return "";
    path = std::string(cwd) + (cwd[strlen(cwd) - 1] == '/' ? "" : "/") + path;
    free(cwd);
  }
  path += path.back() == '/' ? "KLfifoXXXXXX" : "/KLfifoXXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) return "";
  close(fd);
  unlink(path.c_str());
  for (int i = 0; i < 6; i++) path += k_name_chars[rand() % 62];
  return path;
}

bool try_fifo(int tokens) {
  std::string path = new_fifo_path();
  if (path.empty() || mkfifo(path.c_str(), 0600) != 0) return false;
  int pair[2] = {-1, -1};
  if (!open_fifo(path.c_str(), pair) || write_tokens(pair[1], tokens) != tokens) {
    close_pair(pair);
    unlink(path.c_str());
    return false;
  }
  adopt(pair, true);
  g_fifo = path;
  g_fifo_owned = true;
  return true;
}

// The descriptors of a socket pair or pipe are inherited by sub-makes, so
// they must stay open across exec; ordinary children close them through
// their spawn file actions.
bool try_socket_pair(int tokens) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) diag::internal_error("28");
  make_nonblocking(pair[1]);
  int size = k_socket_buffer;
  for (int fd : pair) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  for (int fd : pair) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  if (write_tokens(pair[1], tokens) != tokens) {
    puts("kiln: Socket pair didn't work, using pipe instead");
    close_pair(pair);
    return false;
  }
  adopt(pair, true);
  return true;
}

int join_fifo(const std::string& auth) {
  std::string path = auth.substr(5);  // after "fifo:"
  int pair[2] = {-1, -1};
  if (path.empty() || !open_fifo(path.c_str(), pair)) return base::rc_not_found;
  adopt(pair, true);
  g_fifo = path;
  g_fifo_owned = false;
  return 0;
}

// One more descriptor on a FIFO; blocking and inherited across exec.
int open_fifo_for_child(const char* path) {
  int fd = open(path, O_RDWR | O_NOCTTY);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

void push_token(char c) {
  if (g_n_tokens < k_token_stack_size) g_token_stack[g_n_tokens++] = c;
}

}  // namespace

int jobserver_join() { return jobserver_join(inherited()); }

int jobserver_join(const inherited_flags& flags) {
  if (flags.descriptors_stale) {
    fputs("kiln: Jobserver unavailable\n", stderr);
    return base::rc_bad_descriptor;
  }
  return jobserver_join(flags.has_fds, flags.fds, flags.has_auth, flags.auth);
}

int jobserver_join(bool has_fds, const std::string& fds, bool has_auth, const std::string& auth) {
  if (!has_fds && has_auth && auth.starts_with("fifo:")) return join_fifo(auth);
  int r;
  int w;
  if (!has_fds && !has_auth) return base::rc_not_found;
  if (!has_fds && !parse_pair(auth, &r, &w)) return base::rc_not_found;
  if (!parse_pair(has_fds ? fds : auth, &r, &w)) {
    fputs("kiln: Jobserver unavailable\n", stderr);
    return base::rc_invalid;
  }
  if (fcntl(r, F_GETFD) < 0 || fcntl(w, F_GETFD) < 0) {
    fputs("kiln: Jobserver unavailable\n", stderr);
    return base::rc_bad_descriptor;
  }
  fputs("kiln: Jobserver available\n", stderr);
  // Shared with other processes: the descriptors stay as the parent made
  // them (blocking); the 10 ms timer keeps a read from hanging.
  int pair[2] = {r, w};
  adopt(pair, false);
  g_fifo.clear();
  g_fifo_owned = false;
  return 0;
}

void jobserver_create(int j) {
  int tokens = j > 1 ? j - 1 : 0;
  if (cfg.jobserver_fifo) {
    if (try_fifo(tokens)) return;
    puts("kiln: FIFO didn't work, trying something else instead");
  }
  if (try_socket_pair(tokens)) return;
  jobserver_create_pipe(j);
}

void jobserver_create_pipe(int j) {
  int tokens = j > 1 ? j - 1 : 0;
  int pair[2];
  if (pipe(pair) != 0) diag::internal_error("28.2");
  make_nonblocking(pair[1]);
  int written = write_tokens(pair[1], tokens);
  if (written != tokens) printf("kiln: Could not write all tokens to jobserver (only %d)\n", written);
  adopt(pair, true);
}

int jobserver_try_acquire() {
  if (g_fds[0] < 0) return 0;
  struct pollfd p = {g_fds[0], POLLIN, 0};
  int ret = poll(&p, 1, 0);
  if (ret < 0) {
    if (errno == EINTR) return 0;
    printf("111 ret %d, errno %d\n", ret, errno);
    diag::internal_error();
  }
  if (ret == 0) return 0;
  char c;
  ssize_t n = recv(g_fds[0], &c, 1, MSG_DONTWAIT);
  if (n == 1) {
    push_token(c);
    return 1;
  }
  if (n >= 0 || errno != ENOTSOCK) return 0;  // another process was faster
  // A FIFO or pipe: the byte may be gone by now, so the read is bounded.
  {
    token_timer timer;
    n = read(g_fds[0], &c, 1);
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
  char c = g_n_tokens > 0 ? g_token_stack[--g_n_tokens] : '.';
  token_timer timer;
  ssize_t n = write(g_fds[1], &c, 1);
  (void)n;  // a token that cannot be written back is lost
}

submake_channel open_submake_channel() {
  submake_channel c;
  if (g_fifo.empty()) {
    c.read_fd = g_fds[0];
    c.write_fd = g_fds[1];
    return c;
  }
  c.read_fd = open_fifo_for_child(g_fifo.c_str());
  if (c.read_fd >= 0) c.write_fd = open_fifo_for_child(g_fifo.c_str());
  if (c.write_fd < 0) {
    if (c.read_fd >= 0) close(c.read_fd);
    c.read_fd = -1;
    return c;
  }
  c.is_own_pair = true;
  return c;
}

void close_submake_channel(submake_channel* c) {
  if (c->is_own_pair) {
    close(c->read_fd);
    close(c->write_fd);
  }
  *c = submake_channel();
}

void remove_fifo() {
  if (!g_fifo_owned) return;
  std::string path;
  path.swap(g_fifo);
  g_fifo_owned = false;
  unlink(path.c_str());
}

void install_fifo_hook() { up.remove_fifo = remove_fifo; }

int read_fd() { return g_fds[0]; }

int write_fd() { return g_fds[1]; }

const std::string& fifo_path() { return g_fifo; }

bool owns_fifo() { return g_fifo_owned; }

size_t tokens_held() { return g_n_tokens; }

void jobserver_reset() {
  remove_fifo();
  if (g_fds_owned) close_pair(g_fds);
  g_fds[0] = g_fds[1] = -1;
  g_fds_owned = false;
  g_fifo.clear();
  g_n_tokens = 0;
}

}  // namespace kiln::jobserver
