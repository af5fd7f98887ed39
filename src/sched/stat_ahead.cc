#include "sched/stat_ahead.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "graph/rule.h"
#include "sched/fscache.h"

namespace kiln::sched {

namespace {

// Below this many names the thread costs more than it saves.
constexpr size_t k_min_names = 4096;

enum : uint8_t { k_pending = 0, k_ready = 1, k_failed = 2, k_dropped = 3 };

struct result {
  std::atomic<uint8_t> state{k_pending};
  uint32_t mode = 0;
  int32_t mtime_nsec = 0;
  int64_t mtime_sec = 0;
  int64_t size = 0;
  uint64_t ino = 0;
};

// Everything the thread touches lives here, on the heap, and is freed
// only after the thread was joined: a fatal exit may end the process
// while it still runs.
struct work {
  std::vector<const char*> paths;  // texts of the string table, which never move
  std::unique_ptr<result[]> results;
  std::vector<uint32_t> slot_of;  // by string id; k_no_slot when not asked for
  std::atomic<bool> stop{false};
};

constexpr uint32_t k_no_slot = UINT32_MAX;

work* current = nullptr;
std::thread* worker = nullptr;

void run(work* w) {
  for (size_t i = 0; i < w->paths.size(); i++) {
    if (w->stop.load(std::memory_order_relaxed)) return;
    result& r = w->results[i];
    if (r.state.load(std::memory_order_relaxed) != k_pending) continue;
    struct stat st;
    bool ok = ::lstat(w->paths[i], &st) == 0;
    if (ok) {
      r.mode = st.st_mode;
      r.mtime_nsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
      r.mtime_sec = st.st_mtim.tv_sec;
      r.size = st.st_size;
      r.ino = st.st_ino;
    }
    uint8_t expected = k_pending;
    r.state.compare_exchange_strong(expected, ok ? k_ready : k_failed, std::memory_order_release,
                                    std::memory_order_relaxed);
  }
}

void add(work* w, graph::strid id) {
  if (id < 0) return;
  size_t i = static_cast<size_t>(id);
  if (i >= w->slot_of.size() || w->slot_of[i] != k_no_slot) return;
  w->slot_of[i] = static_cast<uint32_t>(w->paths.size());
  w->paths.push_back(graph::text(id));
}

}  // namespace

void stat_ahead_start() {
  if (current || file_system.lstat != k_real_file_system.lstat) return;
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) return;
  auto w = std::make_unique<work>();
  w->slot_of.assign(graph::stringtab_size(), k_no_slot);
  for (size_t r = 0; r < graph::rule_count(); r++) {
    const graph::rule* rule = graph::rule_at(static_cast<graph::ruleid>(r));
    if (!(rule->flags & graph::k_rule_phony)) {
      for (const graph::tgt* t = rule->first_tgt; t; t = t->next) add(w.get(), t->id);
    }
    for (const graph::kilndep* d = rule->first_dep; d; d = d->next) add(w.get(), d->id);
  }
  if (w->paths.size() < k_min_names) return;
  w->results.reset(new result[w->paths.size()]);
  // The thread takes no signal: the handlers stay with the main thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  current = w.release();
  worker = new std::thread(run, current);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

bool stat_ahead_take(graph::strid id, stat_info* info) {
  if (!current || id < 0 || static_cast<size_t>(id) >= current->slot_of.size()) return false;
  uint32_t slot = current->slot_of[static_cast<size_t>(id)];
  if (slot == k_no_slot) return false;
  result& r = current->results[slot];
  uint8_t state = r.state.load(std::memory_order_acquire);
  if (state != k_ready && state != k_failed) return false;
  r.state.store(k_dropped, std::memory_order_relaxed);  // taken once: the cache keeps it now
  *info = stat_info();
  if (state == k_failed) {
    info->nonexistent = true;
    return true;
  }
  info->mode = r.mode;
  info->mtime_sec = r.mtime_sec;
  info->mtime_nsec = r.mtime_nsec;
  info->size = r.size;
  info->ino = r.ino;
  return true;
}

void stat_ahead_forget(graph::strid id) {
  if (!current || id < 0 || static_cast<size_t>(id) >= current->slot_of.size()) return;
  uint32_t slot = current->slot_of[static_cast<size_t>(id)];
  if (slot != k_no_slot) current->results[slot].state.store(k_dropped, std::memory_order_relaxed);
}

void stat_ahead_stop() {
  if (!current) return;
  current->stop.store(true, std::memory_order_relaxed);
  worker->join();
  delete worker;
  delete current;
  worker = nullptr;
  current = nullptr;
}

}  // namespace kiln::sched
