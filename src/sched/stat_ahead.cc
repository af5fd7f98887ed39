#include "sched/stat_ahead.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "base/diag.h"
#include "graph/rule.h"
#include "sched/fscache.h"

namespace kiln::sched {

namespace {

// Below this many names the thread costs more than it saves.
constexpr size_t k_min_names = 4096;

enum : uint8_t { k_pending = 0, k_ready = 1, k_failed = 2, k_dropped = 3 };

// The names go in chunks, each freed as soon as all of its results are
// settled (taken, dropped or no longer wanted) and the thread is past it,
// so that the memory goes back to the system while the build goes on:
// each chunk is a mapping of its own.
constexpr size_t k_chunk_bits = 12;
constexpr size_t k_chunk_size = size_t{1} << k_chunk_bits;

struct chunk {
  const char* paths[k_chunk_size];  // texts of the string table, which never move
  stat_info infos[k_chunk_size];
  std::atomic<uint8_t> states[k_chunk_size];
};

// Everything the thread touches lives here, on the heap, and is freed
// only after the thread was joined (or, for a chunk, once it is past it):
// a fatal exit may end the process while it still runs.
struct work {
  size_t n_names = 0;
  std::vector<chunk*> chunks;      // null once freed
  std::vector<uint32_t> settled;   // per chunk: results no longer pending for the cache
  size_t chunks_left = 0;
  size_t chunks_waiting = 0;       // settled, but the thread was not past them yet
  size_t done_seen = 0;            // chunks_done at the last look
  std::atomic<size_t> chunks_done{0};  // chunks the thread is past
  std::vector<uint32_t> slot_of;   // by string id; k_no_slot when not asked for
  std::atomic<bool> stop{false};
};

constexpr uint32_t k_no_slot = UINT32_MAX;

work* current = nullptr;
std::thread* worker = nullptr;

size_t chunk_names(const work* w, size_t c) {
  size_t end = (c + 1) * k_chunk_size;
  return (end < w->n_names ? end : w->n_names) - c * k_chunk_size;
}

void run(work* w) {
  for (size_t c = 0; c < w->chunks.size(); c++) {
    chunk* ch = w->chunks[c];
    size_t n = chunk_names(w, c);
    for (size_t i = 0; i < n; i++) {
      if (w->stop.load(std::memory_order_relaxed)) return;
      if (ch->states[i].load(std::memory_order_relaxed) != k_pending) continue;
      struct stat st;
      bool ok = ::lstat(ch->paths[i], &st) == 0;
      ch->infos[i] = stat_info_of(ok, st);
      uint8_t expected = k_pending;
      ch->states[i].compare_exchange_strong(expected, ok ? k_ready : k_failed,
                                            std::memory_order_release, std::memory_order_relaxed);
    }
    w->chunks_done.store(c + 1, std::memory_order_release);
  }
}

// Frees every chunk whose results are all settled and that the thread is
// past; when none is left, the thread is finished and everything goes.
void free_settled_chunks() {
  work* w = current;
  size_t done = w->chunks_done.load(std::memory_order_acquire);
  w->done_seen = done;
  for (size_t c = 0; c < done; c++) {
    if (w->chunks[c] && w->settled[c] == chunk_names(w, c)) {
      munmap(w->chunks[c], sizeof(chunk));
      w->chunks[c] = nullptr;
      w->chunks_left--;
      w->chunks_waiting--;
    }
  }
  if (w->chunks_left == 0) stat_ahead_stop();
}

// Counts a result of chunk c as settled; frees what can be freed when the
// chunk is complete.
void settle(size_t c) {
  work* w = current;
  if (++w->settled[c] == chunk_names(w, c)) {
    w->chunks_waiting++;
    free_settled_chunks();
  }
}

// The state of the name's result, or null when it has none (any more).
std::atomic<uint8_t>* state_of(graph::strid id, size_t* chunk_index, size_t* slot_index) {
  if (!current || id < 0 || static_cast<size_t>(id) >= current->slot_of.size()) return nullptr;
  uint32_t slot = current->slot_of[static_cast<size_t>(id)];
  if (slot == k_no_slot) return nullptr;
  *chunk_index = slot >> k_chunk_bits;
  *slot_index = slot & (k_chunk_size - 1);
  chunk* ch = current->chunks[*chunk_index];
  return ch ? &ch->states[*slot_index] : nullptr;
}

void add(work* w, std::vector<const char*>& paths, graph::strid id) {
  if (id < 0) return;
  size_t i = static_cast<size_t>(id);
  if (i >= w->slot_of.size() || w->slot_of[i] != k_no_slot) return;
  w->slot_of[i] = static_cast<uint32_t>(paths.size());
  paths.push_back(graph::text(id));
}

}  // namespace

void stat_ahead_start() {
  if (current || file_system.lstat != k_real_file_system.lstat) return;
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) return;
  auto w = std::make_unique<work>();
  w->slot_of.assign(graph::stringtab_size(), k_no_slot);
  std::vector<const char*> paths;
  for (size_t r = 0; r < graph::rule_count(); r++) {
    const graph::rule* rule = graph::rule_at(static_cast<graph::ruleid>(r));
    if (!(rule->flags & graph::k_rule_phony)) {
      for (const graph::tgt* t = rule->first_tgt; t; t = t->next) add(w.get(), paths, t->id);
    }
    for (const graph::kilndep* d = rule->first_dep; d; d = d->next) add(w.get(), paths, d->id);
  }
  if (paths.size() < k_min_names) return;
  w->n_names = paths.size();
  size_t n_chunks = (paths.size() + k_chunk_size - 1) / k_chunk_size;
  for (size_t c = 0; c < n_chunks; c++) {
    void* m = mmap(nullptr, sizeof(chunk), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    if (m == MAP_FAILED) diag::fatal("out of memory");
    auto* ch = static_cast<chunk*>(m);
    size_t n = chunk_names(w.get(), c);
    for (size_t i = 0; i < n; i++) {
      ch->paths[i] = paths[c * k_chunk_size + i];
      new (&ch->states[i]) std::atomic<uint8_t>(k_pending);
      new (&ch->infos[i]) stat_info();
    }
    w->chunks.push_back(ch);
  }
  w->settled.assign(n_chunks, 0);
  w->chunks_left = n_chunks;
  // The thread takes no signal: the handlers stay with the main thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  current = w.release();
  worker = new std::thread(run, current);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

bool stat_ahead_take(graph::strid id, stat_info* info) {
  if (current && current->chunks_waiting &&
      current->chunks_done.load(std::memory_order_relaxed) != current->done_seen) {
    free_settled_chunks();
  }
  size_t c, i;
  std::atomic<uint8_t>* state = state_of(id, &c, &i);
  if (!state) return false;
  uint8_t s = state->load(std::memory_order_acquire);
  if (s == k_dropped) return false;
  if (s == k_pending) {
    // Not ready: the caller calls lstat itself, and the thread need not.
    if (state->compare_exchange_strong(s, k_dropped, std::memory_order_acquire)) {
      settle(c);
      return false;
    }
    // It became ready meanwhile.
  }
  state->store(k_dropped, std::memory_order_relaxed);  // taken once: the cache keeps it now
  *info = current->chunks[c]->infos[i];
  settle(c);
  return true;
}

void stat_ahead_forget(graph::strid id) {
  size_t c, i;
  std::atomic<uint8_t>* state = state_of(id, &c, &i);
  if (!state || state->exchange(k_dropped, std::memory_order_acquire) == k_dropped) return;
  settle(c);
}

void stat_ahead_stop() {
  if (!current) return;
  current->stop.store(true, std::memory_order_relaxed);
  worker->join();
  delete worker;
  for (chunk* ch : current->chunks) {
    if (ch) munmap(ch, sizeof(chunk));
  }
  delete current;
  worker = nullptr;
  current = nullptr;
}

}  // namespace kiln::sched
