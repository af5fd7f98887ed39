#include "fuzz/fuzz_common.h"

#include <sanitizer/allocator_interface.h>
#include <sanitizer/lsan_interface.h>

#include <sys/mman.h>

#include <csetjmp>
#include <cstdlib>

// Every call of exit() in the harness binary comes here (-Wl,--wrap=exit).
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status);

namespace kiln::fuzz {

namespace {

// The heap blocks of the run in progress: an open-addressing set written
// by the sanitizer's allocation hooks, which must not allocate. When half
// full, it takes no more blocks for the run (a later exit() may then
// report leaks).
constexpr size_t k_slots = size_t{1} << 20;
const void* const k_tombstone = reinterpret_cast<const void*>(1);
// Both tables are mapped rather than global, so that the leak checker
// does not scan them for pointers (which would also hide real leaks).
const void** g_blocks = nullptr;
size_t* g_touched = nullptr;  // the slots filled since the run began
size_t g_used = 0;            // entries of g_touched
bool g_tracking = false;

jmp_buf g_exit_point;
bool g_in_target = false;

size_t slot_of(const volatile void* p) {
  uint64_t x = reinterpret_cast<uintptr_t>(p);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  return x & (k_slots - 1);
}

void on_malloc(const volatile void* p, size_t) {
  if (!g_tracking || !p) return;
  if (g_used >= k_slots / 2) return;
  size_t i = slot_of(p);
  while (g_blocks[i] && g_blocks[i] != k_tombstone) i = (i + 1) & (k_slots - 1);
  if (!g_blocks[i]) g_touched[g_used++] = i;
  g_blocks[i] = const_cast<const void*>(p);
}

void on_free(const volatile void* p) {
  if (!g_tracking || !p) return;
  for (size_t i = slot_of(p); g_blocks[i]; i = (i + 1) & (k_slots - 1)) {
    if (g_blocks[i] == const_cast<const void*>(p)) {
      g_blocks[i] = k_tombstone;
      return;
    }
  }
}

void forget_blocks(bool excuse) {
  for (size_t k = 0; k < g_used; k++) {
    const void*& b = g_blocks[g_touched[k]];
    if (excuse && b != k_tombstone) __lsan_ignore_object(b);
    b = nullptr;
  }
  g_used = 0;
}

void* map_table(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) abort();
  return p;
}

}  // namespace

int run_catching_exit(void (*fn)(void*), void* data) {
  if (!g_blocks) {
    g_blocks = static_cast<const void**>(map_table(k_slots * sizeof(void*)));
    g_touched = static_cast<size_t*>(map_table(k_slots / 2 * sizeof(size_t)));
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  }
  g_tracking = true;
  g_in_target = true;
  volatile int exited = 0;
  if (setjmp(g_exit_point) == 0) {
    fn(data);
  } else {
    exited = 1;
  }
  g_in_target = false;
  g_tracking = false;
  forget_blocks(exited != 0);
  return exited ? 1 : 0;
}

int bracket_depth(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  for (char c : text) {
    if (c == '(' || c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
    } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
      depth--;
    }
  }
  return deepest;
}

bool escapes_are_well_formed(std::string_view text) {
  auto is_hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  for (size_t i = 0; i + 1 < text.size(); i++) {
    if (text[i] != '\\') continue;
    size_t n = text[i + 1] == 'u' ? 4 : text[i + 1] == 'x' ? 2 : 0;
    for (size_t k = 0; k < n; k++) {
      if (i + 2 + k >= text.size() || !is_hex(text[i + 2 + k])) return false;
    }
  }
  return true;
}

}  // namespace kiln::fuzz

extern "C" void __wrap_exit(int status) {
  if (kiln::fuzz::g_in_target) longjmp(kiln::fuzz::g_exit_point, 1);
  __real_exit(status);
}
