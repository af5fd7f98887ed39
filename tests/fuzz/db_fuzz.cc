// Fuzz harness of the ".kiln.db" reader, fed from a memory stream. A file
// that reads without error is written out again (version 2) and the
// output must read back and write out to the same bytes.
//
// Inputs kept out: NUL bytes, raw or as \u0000 or \x00 (a NUL in a name
// is a known fault of the string table, which aborts), malformed \u and
// \x escapes (they end the reader by design) and inputs longer than 64 KiB.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/db_format.h"
#include "db/db_tables.h"
#include "db/quoting.h"
#include "fuzz/fuzz_common.h"
#include "graph/stringtab.h"

namespace {

constexpr size_t k_max_input = 65536;

struct read_job {
  const char* bytes;
  size_t size;
  int rc = 0;
};

void read(void* data) {
  auto* job = static_cast<read_job*>(data);
  FILE* f = fmemopen(const_cast<char*>(job->bytes), job->size, "r");
  if (!f) abort();
  job->rc = kiln::db::db_read(f);
  fclose(f);
}

std::string write_tables() {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* f = open_memstream(&buffer, &length);
  if (!f) abort();
  if (kiln::db::db_write_tables(f, 2) != 0) abort();
  fclose(f);
  std::string out(buffer, length);
  free(buffer);
  return out;
}

// Empties the tables. Names stay interned (the reader does not care
// whether a name is new) until the string table grows large.
void reset_tables() {
  kiln::db::db_tables_clear();
  if (kiln::graph::stringtab_size() > 4096) {
    kiln::graph::stringtab_clear();
    kiln::graph::stringtab_init(64, 1024);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiln::db::db_init_escapes();
  kiln::graph::stringtab_init(64, 1024);
  kiln::db::db_tables_init(64, 64);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = kiln::fuzz::as_text(data, size);
  if (size == 0 || size > k_max_input) return -1;
  if (memchr(data, 0, size) || kiln::fuzz::contains(text, "\\u0000") ||
      kiln::fuzz::contains(text, "\\x00")) {
    return -1;
  }
  if (!kiln::fuzz::escapes_are_well_formed(text)) return -1;
  reset_tables();
  read_job job{text.data(), size};
  int exited = kiln::fuzz::run_catching_exit(read, &job);
  if (exited || job.rc != 0) {
    reset_tables();
    return 0;
  }
  std::string first = write_tables();
  reset_tables();
  read_job again{first.data(), first.size()};
  if (kiln::fuzz::run_catching_exit(read, &again) != 0 || again.rc != 0) {
    fprintf(stderr, "fuzz: the written database does not read back (%d):\n%s", again.rc,
            first.c_str());
    abort();
  }
  std::string second = write_tables();
  if (second != first) {
    fprintf(stderr, "fuzz: database changed on the round trip:\n%s---\n%s", first.c_str(),
            second.c_str());
    abort();
  }
  reset_tables();
  return 0;
}
