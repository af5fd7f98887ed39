// Fuzz harness of the compiler dependency-file reader, fed from a memory
// stream. The first input byte picks the base directory and whether an
// extra target is set; every path read must already be simplified, and a
// file that reads must report the same lines through the callbacks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/cdep_reader.h"
#include "fuzz/fuzz_common.h"
#include "graph/path.h"

namespace {

constexpr size_t k_max_input = 65536;

const char* const k_bases[] = {".", "sub", "a/b/../c", "/abs", "..", "x/./y"};

struct collected {
  std::vector<std::string> items;  // "\n" starts a line
};

void check_simplified(const std::string& path) {
  if (path.empty() || kiln::graph::simplify_path(path) != path) {
    fprintf(stderr, "fuzz: path \"%s\" is not simplified\n", path.c_str());
    abort();
  }
}

int read_stream(const uint8_t* data, size_t size, kiln::db::cdep_context& ctx,
                const kiln::db::cdep_callbacks* callbacks) {
  FILE* f = size ? fmemopen(const_cast<uint8_t*>(data), size, "r") : tmpfile();
  if (!f) abort();
  int rc = kiln::db::read_cdep_file(f, ctx, callbacks);
  fclose(f);
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > k_max_input) return -1;
  unsigned choice = data[0];
  data++;
  size--;
  kiln::db::cdep_context ctx;
  ctx.base = k_bases[(choice & 7) % std::size(k_bases)];
  if (choice & 8) {
    ctx.has_extra_target = true;
    ctx.extra_target = (choice & 16) ? "/out/extra.o" : "obj/../extra.o";
  }
  int rc = read_stream(data, size, ctx, nullptr);
  if (rc != 0) {
    if (!ctx.lines.empty()) {
      fprintf(stderr, "fuzz: a failed read reported %zu lines\n", ctx.lines.size());
      abort();
    }
    return 0;
  }
  for (const kiln::db::dep_rule_line& line : ctx.lines) {
    for (const std::string& t : line.targets) check_simplified(t);
    for (const std::string& d : line.deps) check_simplified(d);
  }
  kiln::db::cdep_callbacks cb;
  collected got;
  cb.user = &got;
  cb.on_new_line = [](void* u) { static_cast<collected*>(u)->items.push_back("\n"); };
  cb.on_target = [](const std::string& p, void* u) {
    static_cast<collected*>(u)->items.push_back("t" + p);
  };
  cb.on_dependency = [](const std::string& p, void* u) {
    static_cast<collected*>(u)->items.push_back("d" + p);
  };
  kiln::db::cdep_context again = ctx;
  again.lines.clear();
  if (read_stream(data, size, again, &cb) != 0 || !again.lines.empty()) abort();
  collected want;
  for (const kiln::db::dep_rule_line& line : ctx.lines) {
    want.items.push_back("\n");
    for (const std::string& t : line.targets) want.items.push_back("t" + t);
    for (const std::string& d : line.deps) want.items.push_back("d" + d);
  }
  if (want.items != got.items) {
    fprintf(stderr, "fuzz: the callbacks saw other lines than the list\n");
    abort();
  }
  return 0;
}
