// Fuzz harness of the Kilnfile reader: lexer, parser, compiler and the
// directive code that runs while the file is read, on a fresh engine per
// input with the build extension and the JSON built-ins installed. The
// input is the top-level Kilnfile, read from a memory file the way the
// program reads its own (rules of @addrule included).
// Shell assignments and writing opens are refused by the engine's
// no-side-effects setting. After each parse the engine stack must be
// empty, the reference counts explained and every engine byte returned.
//
// Inputs kept out (each reason is a known fault tracked on its own, or a
// by-design end of the process that would only slow the campaign):
// - longer than 4096 bytes, or brackets nested deeper than 64 (the
//   recursive-descent parser has no depth limit yet);
// - "hashsize" directives (huge table sizes abort);
// - "@projdirinclude" (including "." recurses without end);
// - malformed \u and \x escapes (they end the lexer by design);
// - scripts run under an instruction budget, as they may loop for ever;
// - with "@exit" the stack balance is not checked (an @exit inside a
//   called function leaves the frame behind).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/settings.h"
#include "engine/engine.h"
#include "ext/extension.h"
#include "front/includes.h"
#include "front/rule_builtins.h"
#include "front/rule_list.h"
#include "fuzz/engine_teardown.h"
#include "fuzz/fuzz_common.h"
#include "json/reader.h"

namespace {

namespace eng = kiln::engine;

constexpr size_t k_max_input = 4096;
constexpr int k_max_depth = 64;
// Scripts may loop for ever: the whole parse gets this many instructions.
constexpr long k_instruction_budget = 50000;

int count_instruction(void* data, unsigned) {
  long* left = static_cast<long*>(data);
  return --*left < 0 ? -4097 : 0;
}

int g_file = -1;  // the memory file holding the input
std::string g_file_path;

struct parse_job {
  eng::engine* e = nullptr;
  kiln::front::rule_list* rules = nullptr;
  long budget = k_instruction_budget;
};

// Creates the engine too, so that an exit() leaves only blocks of this run.
void parse(void* data) {
  auto* job = static_cast<parse_job*>(data);
  eng::engine* e = job->e;
  if (eng::engine_init(e, 0) != 0) abort();
  e->extension_hook = kiln::ext::extension_hook;
  e->no_side_effects = 1;
  e->trap_hook = count_instruction;
  e->trap_data = &job->budget;
  kiln::front::parse_top_level(e, job->rules, g_file_path);
}

void abandon(eng::engine* e) {
  auto release = [e](void* block, size_t bytes) {
    if (block) e->realloc_hook(block, 0, bytes);
  };
  release(e->stack.items, e->stack.capacity * sizeof(eng::value));
  release(e->cstack.items, e->cstack.capacity * sizeof(eng::value));
  release(e->object_cache.items, e->object_cache.capacity * sizeof(eng::value));
  release(e->backtrace.items, e->backtrace.capacity * sizeof(eng::value));
  release(e->bytecode.bytes, e->bytecode.capacity);
  release(e->gc_block.items, e->gc_block.capacity * sizeof(eng::gc_entry));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiln::json::register_builtins();
  kiln::front::install_scope_directories();
  kiln::front::install_rule_builtins();
  g_file = memfd_create("kiln-kilnfile-fuzz", 0);
  if (g_file < 0) abort();
  g_file_path = "/proc/self/fd/" + std::to_string(g_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = kiln::fuzz::as_text(data, size);
  if (size == 0 || size > k_max_input) return -1;
  if (kiln::fuzz::bracket_depth(text) > k_max_depth) return -1;
  if (kiln::fuzz::contains(text, "hashsize") || kiln::fuzz::contains(text, "@projdirinclude")) {
    return -1;
  }
  if (!kiln::fuzz::escapes_are_well_formed(text)) return -1;
  if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != static_cast<ssize_t>(size)) {
    abort();
  }
  kiln::cfg = kiln::settings{};
  eng::engine e;
  kiln::front::rule_list rules;
  parse_job job{&e, &rules};
  int exited = kiln::fuzz::run_catching_exit(parse, &job);
  kiln::front::set_active_rule_list(nullptr);
  if (exited) {
    // The abandoned frames still hold references, so the collector would
    // rightly refuse: give back the large vectors and leave the objects
    // (excused from leak checking).
    abandon(&e);
    kiln::front::clear_scope_directories();
    return 0;
  }

  if (!kiln::fuzz::contains(text, "@exit") && e.stack.length != 0) {
    fprintf(stderr, "fuzz: %zu values left on the engine stack\n", e.stack.length);
    abort();
  }
  kiln::fuzz::free_engine_checked(&e);
  kiln::front::clear_scope_directories();
  return 0;
}
