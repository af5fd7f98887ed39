#include "sched/fake_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "exec/spawn.h"
#include "graph/path.h"
#include "sched/fscache.h"

namespace kiln::sched::testing {

fake_system* fake_system::current_ = nullptr;

namespace {

constexpr int64_t k_ns = 1000000000;
constexpr int k_max_links = 8;

std::string directory_of(const std::string& key) {
  size_t slash = key.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : key.substr(0, slash);
}

std::vector<std::string> split_words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

}  // namespace

void fake_system::install(int wake_fd, const std::string& top) {
  current_ = this;
  wake_fd_ = wake_fd;
  top_ = top;
  make_dir(".");
  file_system = {lstat_call, stat_call, access_call};
  exec::processes = {spawn_call, wait_call};
}

void fake_system::uninstall() {
  file_system = k_real_file_system;
  exec::processes = exec::k_real_processes;
  current_ = nullptr;
}

fake_system::file& fake_system::touch(const std::string& path) {
  std::string key = graph::simplify_path(path);
  auto [it, made] = files_.try_emplace(key);
  if (made) {
    it->second.mode = S_IFREG | 0644;
    it->second.ino = next_ino_++;
  }
  it->second.time_ns = stamp();
  return it->second;
}

void fake_system::write(const std::string& path, const std::string& content) {
  touch(path).content = content;
}

void fake_system::append(const std::string& path, const std::string& content) {
  touch(path).content += content;
}

std::string fake_system::read(const std::string& path) const {
  const file* f = find(path, true);
  return f ? f->content : std::string();
}

bool fake_system::exists(const std::string& path) const { return find(path, true) != nullptr; }

void fake_system::remove(const std::string& path) { files_.erase(graph::simplify_path(path)); }

void fake_system::make_dir(const std::string& path) {
  file& f = touch(path);
  f.mode = S_IFDIR | 0755;
}

void fake_system::make_symlink(const std::string& target, const std::string& path) {
  file& f = touch(path);
  f.mode = S_IFLNK | 0777;
  f.content = target;
}

void fake_system::set_time(const std::string& path, int64_t sec, int64_t nsec, bool follow) {
  const file* f = find(path, follow);
  ASSERT_NE(f, nullptr) << "no fake file " << path;
  const_cast<file*>(f)->time_ns = sec * k_ns + nsec;
}

double fake_system::seconds() const {
  return static_cast<double>(now_ns_ - k_start_sec * k_ns) / static_cast<double>(k_ns);
}

int64_t fake_system::now_sec() const { return now_ns_ / k_ns; }

const fake_system::file* fake_system::find(const std::string& path, bool follow) const {
  std::string key = graph::simplify_path(path);
  for (int hops = 0; hops <= k_max_links; hops++) {
    auto it = files_.find(key);
    if (it == files_.end()) {
      errno = ENOENT;
      return nullptr;
    }
    if (!follow || !S_ISLNK(it->second.mode)) return &it->second;
    key = graph::join_simplify(directory_of(key), it->second.content);
  }
  errno = ELOOP;
  return nullptr;
}

int fake_system::fill(const char* path, struct stat* st, bool follow) const {
  const file* f = find(path, follow);
  if (!f) return -1;
  memset(st, 0, sizeof *st);
  st->st_mode = f->mode;
  st->st_nlink = 1;
  st->st_ino = f->ino;
  st->st_size = static_cast<off_t>(f->content.size());
  st->st_mtim.tv_sec = static_cast<time_t>(f->time_ns / k_ns);
  st->st_mtim.tv_nsec = static_cast<long>(f->time_ns % k_ns);
  st->st_atim = st->st_ctim = st->st_mtim;
  return 0;
}

int fake_system::lstat_call(const char* path, struct stat* st) {
  return current_->fill(path, st, false);
}

int fake_system::stat_call(const char* path, struct stat* st) {
  return current_->fill(path, st, true);
}

int fake_system::access_call(const char* path, int) {
  return current_->find(path, true) ? 0 : -1;
}

void fake_system::wake() const {
  char c = '.';
  if (wake_fd_ >= 0 && ::write(wake_fd_, &c, 1) < 0) {
  }
}

int fake_system::spawn_call(pid_t* pid, const char*, const posix_spawn_file_actions_t*,
                            const posix_spawnattr_t*, char* const argv[], char* const[]) {
  fake_system& fs = *current_;
  std::string line;
  for (char* const* w = argv; *w; w++) line += (w == argv ? "" : " ") + std::string(*w);
  if (argv[0] && argv[1] && argv[2] && strcmp(argv[0], "sh") == 0 && strcmp(argv[1], "-c") == 0) {
    line = argv[2];
  }
  size_t comment = line.find(" #");
  if (comment != std::string::npos) line.resize(comment);

  child c;
  c.pid = fs.next_pid_++;
  c.end_ns = fs.now_ns_;
  char cwd[4096];
  std::string here = getcwd(cwd, sizeof cwd) ? cwd : "";
  c.prefix = here.size() > fs.top_.size() ? here.substr(fs.top_.size() + 1) : ".";
  std::string part;
  std::istringstream parts(line);
  while (std::getline(parts, part, ';')) {
    step s;
    s.words = split_words(part);
    if (s.words.empty()) continue;
    size_t n = s.words.size();
    if (s.words[0] == "echo" && n >= 3 && (s.words[n - 2] == ">" || s.words[n - 2] == ">>")) {
      s.appends = s.words[n - 2] == ">>";
      s.redirect = graph::join_simplify(c.prefix, s.words[n - 1]);
      s.words.resize(n - 2);
    }
    if (s.words[0] == "sleep" && n == 2) {
      c.end_ns += std::llround(std::strtod(s.words[1].c_str(), nullptr) * k_ns);
    }
    c.steps.push_back(s);
  }
  fs.running_.push_back(c);
  fs.wake();
  *pid = c.pid;
  return 0;
}

int fake_system::run(child& c) {
  int code = 0;
  for (const step& s : c.steps) {
    const std::string& verb = s.words[0];
    code = 0;
    if (verb == "true" || verb == "sleep") {
    } else if (verb == "false") {
      code = 1;
    } else if (verb == "exit") {
      return s.words.size() > 1 ? atoi(s.words[1].c_str()) : 0;
    } else if (verb == "touch") {
      for (size_t i = 1; i < s.words.size(); i++) touch(graph::join_simplify(c.prefix, s.words[i]));
    } else if (verb == "echo") {
      std::string text;
      for (size_t i = 1; i < s.words.size(); i++) text += (i > 1 ? " " : "") + s.words[i];
      text += '\n';
      if (s.redirect.empty()) {
        fflush(stdout);
        if (::write(1, text.data(), text.size()) < 0) {
        }
      } else if (s.appends) {
        append(s.redirect, text);
      } else {
        write(s.redirect, text);
      }
    } else {
      ADD_FAILURE() << "the fake runner cannot run '" << verb << "'";
      code = 127;
    }
  }
  return code;
}

pid_t fake_system::wait_call(pid_t, int* status, int options) {
  fake_system& fs = *current_;
  if (fs.running_.empty()) {
    errno = ECHILD;
    return -1;
  }
  auto first = fs.running_.begin();
  for (auto it = fs.running_.begin(); it != fs.running_.end(); ++it) {
    if (it->end_ns < first->end_ns) first = it;
  }
  if (!(options & WNOHANG) || fs.waited_) {
    // The loop blocked until the next child ended.
    if (first->end_ns > fs.now_ns_) fs.now_ns_ = first->end_ns;
    fs.waited_ = false;
  }
  if (first->end_ns > fs.now_ns_) {
    fs.waited_ = true;
    fs.wake();
    return 0;
  }
  child c = *first;
  fs.running_.erase(first);
  *status = (fs.run(c) & 0xff) << 8;
  return c.pid;
}

}  // namespace kiln::sched::testing
