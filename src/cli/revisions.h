// The table of compatible revisions: 20-byte identifiers of source
// revisions, written as 40 hexadecimal digits. The first entry is the
// build's own identifier (taken from git when the source tree is a git
// checkout; 40 zeros for an unversioned build).
#pragma once

#include <cstddef>

namespace kiln::cli {

// Number of entries and the entry at i (40 lowercase hex digits).
size_t revision_count();
const char* revision_at(size_t i);

// True when text is 40 hexadecimal digits naming an entry of the table
// (compared without regard to case).
bool is_known_revision(const char* text);

// -G: every entry, one per line, on standard output.
void print_revisions();

// -v: the identifier, the rights notice, the authors and the licence.
void print_version();

}  // namespace kiln::cli
