#include "cli/makeflags.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/settings.h"

namespace kiln::cli {

makeflags_values makeflags;

namespace {

bool starts_with(const char* word, size_t length, const char* prefix) {
  size_t n = strlen(prefix);
  return length >= n && memcmp(word, prefix, n) == 0;
}

void parse_sync_word(const char* after_o, const char* end, makeflags_values* out) {
  while (after_o < end && *after_o == ' ') after_o++;
  switch (after_o < end ? *after_o : '\0') {
    case 'l': out->output_sync = sync_line; break;
    case 'n': out->output_sync = sync_none; break;
    case 't': out->output_sync = sync_target; break;
    case 'r': out->output_sync = sync_recurse; break;
    default:
      fputs("kiln: invalid output sync mode in MAKEFLAGS, using default\n", stderr);
  }
}

}  // namespace

makeflags_values parse_makeflags(const char* text) {
  makeflags_values out;
  const char* p = text;
  while (*p == ' ') p++;
  while (*p) {
    const char* word = p;
    while (*p && *p != ' ') p++;
    size_t length = static_cast<size_t>(p - word);
    if (starts_with(word, length, "-O")) {
      // "-O" may stand alone with the mode in the next word.
      const char* mode = word + 2;
      const char* end = p;
      if (mode == end) {
        while (*p == ' ') p++;
        mode = p;
        while (*p && *p != ' ') p++;
        end = p;
      }
      parse_sync_word(mode, end, &out);
    } else if (starts_with(word, length, "--jobserver-fds=")) {
      out.has_fds = true;
      out.fds.assign(word + 16, length - 16);
    } else if (starts_with(word, length, "--jobserver-auth=")) {
      out.has_auth = true;
      out.auth.assign(word + 17, length - 17);
    }
    while (*p == ' ') p++;
  }
  return out;
}

void read_environment_makeflags() {
  const char* text = getenv("MAKEFLAGS");
  if (text) makeflags = parse_makeflags(text);
  unsetenv("MAKEFLAGS");
}

void apply_makeflags_output_sync() {
  int inherited = makeflags.output_sync;
  if (inherited == sync_line || inherited == sync_target || inherited == sync_recurse) {
    cfg.parent_syncs_output = true;
  }
  if (cfg.output_sync == sync_unset) cfg.output_sync = inherited;
}

}  // namespace kiln::cli
