#include "cli/revisions.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>

// Angle brackets: only the include path finds it (the CMake build's
// generated directory, or this folder in the self-build), never a copy
// that the other build left beside this file.
#include <kiln_revision.h>

namespace kiln::cli {

namespace {

// Revisions whose Kilnfiles this build reads. The build's own identifier
// comes first; older compatible revisions are appended as releases are
// made.
const char* const k_revisions[] = {
    KILN_BUILD_REVISION,
};

bool is_hex40(const char* text) {
  for (int i = 0; i < 40; i++) {
    if (!isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return text[40] == '\0';
}

}  // namespace

size_t revision_count() { return sizeof k_revisions / sizeof k_revisions[0]; }

const char* revision_at(size_t i) { return k_revisions[i]; }

bool is_known_revision(const char* text) {
  if (!is_hex40(text)) return false;
  for (const char* r : k_revisions) {
    if (strcasecmp(r, text) == 0) return true;
  }
  return false;
}

void print_revisions() {
  for (const char* r : k_revisions) printf("%s\n", r);
  fflush(stdout);
}

void print_version() {
  printf("kiln %s\n", k_revisions[0]);
  puts("Copyright (c) the kiln developers. All rights reserved.");
  puts("Written by the kiln developers.");
  puts("Licensed under the MIT licence: free to use, copy, modify and distribute.");
  fflush(stdout);
}

}  // namespace kiln::cli
