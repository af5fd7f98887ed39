// Script engine memory: dictionary operations, scope lookups, object
// churn with the malloc-backed and the arena-backed allocator, and one
// collection over a large heap. Each case runs several times; minimum and
// median wall times are reported in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"

using namespace kiln::engine;

namespace {

constexpr int k_runs = 5;

double time_ms(const std::function<void()>& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::milli>(end - start).count();
}

// Runs setup-free case f k_runs times on a fresh engine each.
void report(const char* name, int arena_mode, const std::function<void(engine*)>& f) {
  std::vector<double> times;
  for (int i = 0; i < k_runs; i++) {
    auto* e = new engine;
    engine_init(e, arena_mode);
    times.push_back(time_ms([&] { f(e); }));
    engine_free(e);
    delete e;
  }
  std::sort(times.begin(), times.end());
  printf("%-40s %-7s min %8.2f ms  median %8.2f ms\n", name, arena_mode ? "arena" : "malloc",
         times.front(), times[times.size() / 2]);
}

std::vector<std::string> shuffled_keys(size_t n) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < n; i++) keys.push_back("obj/src/dir" + std::to_string(i % 300) + "/f" + std::to_string(i) + ".o");
  uint64_t state = 99;
  for (size_t i = n - 1; i > 0; i--) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::swap(keys[i], keys[(state >> 33) % (i + 1)]);
  }
  return keys;
}

void dictionary_case(engine* e) {
  static const std::vector<std::string> keys = shuffled_keys(200000);
  tree_obj* t = tree_new(e);
  for (const auto& k : keys) {
    value kv = make_object(t_str, string_new(e, k.data(), k.size()));
    tree_set(e, t, kv, make_number(1));
    value_unref(e, kv);
  }
  size_t found = 0;
  for (const auto& k : keys) found += tree_get(t, k.data(), k.size()) != nullptr;
  for (const auto& k : keys) tree_delete(e, t, k.data(), k.size());
  if (found != keys.size()) printf("lookup mismatch\n");
  value_unref(e, make_object(t_tree, t));
}

void scope_case(engine* e) {
  scope_obj* top = e->current_scope.scope;
  char name[32];
  for (int i = 0; i < 2000; i++) {
    snprintf(name, sizeof name, "VAR_%d", i);
    scope_add_cstr(e, top, name, make_number(i));
  }
  scope_obj* mid = scope_new(e, 128, top, false);
  scope_obj* inner = scope_new(e, 128, mid, false);
  double sum = 0;
  for (int round = 0; round < 500; round++) {
    for (int i = 0; i < 2000; i++) {
      int len = snprintf(name, sizeof name, "VAR_%d", i);
      sum += scope_find(inner, name, len, true)->num;
    }
  }
  if (sum < 0) printf("impossible\n");
  value_unref(e, make_object(t_sc, inner));
  value_unref(e, make_object(t_sc, mid));
}

void churn_case(engine* e) {
  // Strings of mixed sizes appended to arrays that are dropped in turn.
  for (int round = 0; round < 20; round++) {
    array_obj* a = array_new(e);
    for (int i = 0; i < 50000; i++) {
      value s = make_object(t_str, string_new_empty(e, static_cast<size_t>(i % 200)));
      array_push(e, a, s);
      value_unref(e, s);
    }
    value_unref(e, make_object(t_array, a));
  }
}

void collect_case(engine* e) {
  // 300000 reachable objects and 300000 in garbage cycles; only the
  // collection itself is timed by the caller's wall clock, the rest is
  // setup that the other cases measure already.
  array_obj* keep = array_new(e);
  e->extra_root = make_object(t_array, keep);
  for (int i = 0; i < 300000; i++) {
    value s = make_object(t_str, string_new(e, "x", 1));
    array_push(e, keep, s);
    value_unref(e, s);
    value a = make_object(t_array, array_new(e));
    array_push(e, a.array, a);
    value_unref(e, a);
  }
  double ms = time_ms([&] {
    e->gc_permitted = 1;
    engine_collect(e);
    e->gc_permitted = 0;
  });
  printf("    (collection of 600000 objects: %.2f ms)\n", ms);
  value_clear(e, &e->extra_root);
}

}  // namespace

int main() {
  for (int arena : {0, 1}) {
    report("dictionary 200000 set/get/delete", arena, dictionary_case);
    report("scope 1000000 lookups through 2 parents", arena, scope_case);
    report("string churn 1000000 objects", arena, churn_case);
    report("collection setup + collect", arena, collect_case);
  }
  printf("arena total bytes: %zu\n", arena_total_bytes());
  return 0;
}
