// The text format of ".kiln.db": reading it into the tables and writing
// the tables out.
//
// Lines end in "\n". Strings are double-quoted and escaped (db/quoting.h).
//
// Version 1:
//
//     @v1@
//     <empty line>
//     "<directory>" "<target>":          one block per cmd DB entry,
//     \t"<word>" "<word>" ...            in list order; one line per
//                                        command, markers first
//     <empty line>                       between blocks
//     "<directory>" "<target>":
//     \t"NI" "E" "NM" "cc" "-c" "a.c"
//
// Version 2 starts with "@v2@" and an empty line, has the same blocks,
// then one line per tssz DB entry in list order:
//
//     "<file>" = <size> <seconds> <nanoseconds>
//
// (the new values when the entry was updated in this run, else the stored
// ones), then one entry per compiler dependency file whose content is
// cached: a header line and one line per rule line of the file,
//
//     "<file>" @ "<base>" <size> <seconds> <nanoseconds> <inode>
//     \t"<target>" ... : "<dependency>" ...
//
// (names resolved against the base directory; a file read again when any
// of the four numbers differs). Files written before the cache existed
// simply have no such entries. Every line after the first block or entry is preceded by one
// empty line, so tssz lines are separated by empty lines too.
//
// The reader is more lenient than the writer:
// - A first line other than "@v2@" and "@v1@" is read as a line of a
//   version 1 file.
// - Leading blanks and TABs are skipped; a line beginning with a TAB is a
//   command line of the current block.
// - After a closing quote comes a blank, TAB, colon, "=", newline or the
//   end of the line.
// - A header is exactly two strings and a colon, then optional blanks.
// - A tssz line (version 2 only) is a string, "=" and exactly three
//   decimal integers, a leading minus allowed, separated by blanks or TABs.
// - A block ends at the next line that is not a command line, or at the
//   end of the file; a header without command lines yields no entry.
// - Anything else is a syntax error, which abandons the whole file.
// - A malformed \u or \x escape is a syntax error, reported first as
//   "kiln: <file>:<line>: Invalid string unicode escape: \u<chars>" (or
//   \x) on standard error.
#pragma once

#include <cstdio>

namespace kiln::db {

// Reads the stream from its current position to the end into the tables
// (interning every name). Returns 0, -1 on a syntax error or a read error
// (what was read stays in the tables; the caller empties them) or -12 out
// of memory. name is the file's name for messages; version, when given,
// receives the version of the file's first line (1 or 2), or 0 when it
// has none.
int db_read(FILE* stream, const char* name = ".kiln.db", int* version = nullptr);

// Writes the header and every entry of the tables: version 1 (cmd DB
// only) or 2. Returns 0, or -1 when the stream reports an error.
int db_write_tables(FILE* stream, int version);

}  // namespace kiln::db
