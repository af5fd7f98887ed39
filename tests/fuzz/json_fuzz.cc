// Fuzz harness of the JSON decoders: the pull parser behind @jsontest,
// the value builder behind @jsondec and the file reader behind @jsonin,
// on one engine for the whole campaign, which must be back to its empty
// state after every input (stack, references, bytes). All three must agree on whether the text
// is one JSON value; a decoded value is encoded, and that text must
// decode and encode again to the same bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "fuzz/fuzz_common.h"
#include "json/reader.h"
#include "json/writer.h"

namespace {

namespace eng = kiln::engine;

constexpr size_t k_max_input = 65536;
constexpr int k_depth_budget = 2048;

eng::engine g_engine;
size_t g_empty_bytes = 0;  // the engine's bytes in use with no value alive
int g_file = -1;  // a memory file the file reader reads the input from
std::string g_file_path;

int append_sink(kiln::json::json_writer* w, const char* bytes, size_t length) {
  static_cast<std::string*>(w->sink_data)->append(bytes, length);
  return 0;
}

// Encodes and pops the top value; false when it is too deep to encode.
bool encode_top(eng::engine* e, std::string* out) {
  kiln::json::json_writer w;
  kiln::json::json_writer_init(&w, false, 2, append_sink, out);
  eng::value v = e->stack.items[e->stack.length - 1];
  int rc = kiln::json::json_encode_value(e, v, &w, k_depth_budget);
  eng::pop(e);
  if (rc != 0) eng::clear_error(e);
  return rc == 0;
}

[[noreturn]] void fail(const char* what, const std::string& text) {
  fprintf(stderr, "fuzz: %s:\n%s\n", what, text.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiln::json::register_builtins();
  if (eng::engine_init(&g_engine, 0) != 0) abort();
  g_engine.gc_permitted = 1;
  eng::engine_collect(&g_engine);
  g_empty_bytes = g_engine.alloc.bytes_in_use;
  g_file = memfd_create("kiln-json-fuzz", 0);
  if (g_file < 0) abort();
  g_file_path = "/proc/self/fd/" + std::to_string(g_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > k_max_input) return -1;
  const char* text = reinterpret_cast<const char*>(data);
  eng::engine& e = g_engine;

  bool valid = kiln::json::json_test_text(text, size);
  int rc = kiln::json::json_decode_text(&e, text, size);
  // Beyond the engine's C stack (nesting deeper than it holds) the
  // builder fails with the engine's status; the others are not compared.
  bool limited = rc != 0 && rc != -1;
  if (limited && e.err.code == 0) fail("a failed decode left no error", std::string(text, size));
  if (!limited && (rc == 0) != valid) {
    fail("@jsontest and @jsondec disagree", std::string(text, size));
  }
  std::string first;
  bool encoded = rc == 0 && encode_top(&e, &first);
  eng::clear_error(&e);

  if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != static_cast<ssize_t>(size)) {
    abort();
  }
  int file_rc = kiln::json::json_read_file(&e, g_file_path.c_str());
  if (file_rc != rc && !limited) fail("@jsonin and @jsondec disagree", std::string(text, size));
  if (file_rc == 0) eng::pop(&e);
  eng::clear_error(&e);

  if (encoded) {
    if (kiln::json::json_decode_text(&e, first.data(), first.size()) != 0) {
      fail("the encoded text does not decode", first);
    }
    std::string second;
    if (!encode_top(&e, &second) || second != first) {
      fail("encoding changed on the round trip", first + "\n---\n" + second);
    }
  }
  if (e.stack.length != 0) abort();
  eng::engine_verify_refcounts(&e);
  eng::engine_collect(&e);
  if (e.alloc.bytes_in_use != g_empty_bytes) {
    fprintf(stderr, "fuzz: %zu engine bytes in use, %zu when empty\n", e.alloc.bytes_in_use,
            g_empty_bytes);
    abort();
  }
  return 0;
}
