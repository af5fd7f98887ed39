#include "db/db_format.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_tables.h"
#include "db/line_reader.h"
#include "db/quoting.h"
#include "graph/stringtab.h"

namespace kiln::db {

namespace {

constexpr int k_syntax_error = -1;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The reader's state between lines: the version and the block being
// collected.
struct reader_state {
  int version = 1;
  bool in_block = false;
  bool in_cdep_block = false;  // the block is a dependency-file entry
  graph::strid cdep_file = -1;
  graph::strid cdep_base = -1;
  file_stamp cdep_stamp;
  std::vector<graph::strid> cdep_ids;
  graph::strid target = -1;
  graph::strid directory = -1;
  command_builder commands;
  std::string word;
  std::string bad_escape;
  char bad_escape_kind = 0;  // 'u' or 'x' after a malformed escape
  graph::strid last_directory = -1;
  std::string last_directory_text;
};

// One line being parsed.
struct cursor {
  const char* line;
  size_t length;
  size_t pos;

  bool at_end() const { return pos >= length || line[pos] == '\n'; }
  void skip_blanks() {
    while (pos < length && is_blank(line[pos])) pos++;
  }
};

// After a closing quote comes a blank, TAB, colon, "=", newline or the
// end of the line.
int check_after_quote(const cursor& c) {
  if (c.pos < c.length) {
    char next = c.line[c.pos];
    if (!is_blank(next) && next != ':' && next != '=' && next != '\n') return k_syntax_error;
  }
  return 0;
}

// Reads a quoted string at the cursor, appending it to out. Returns 0 or
// k_syntax_error.
int read_string(cursor& c, reader_state& st, std::string& out) {
  if (c.pos >= c.length || c.line[c.pos] != '"') return k_syntax_error;
  long end = read_quoted(c.line, c.length, c.pos, out, st.bad_escape);
  if (end == k_quoted_bad_u) st.bad_escape_kind = 'u';
  if (end == k_quoted_bad_x) st.bad_escape_kind = 'x';
  if (end < 0) return k_syntax_error;
  c.pos = static_cast<size_t>(end);
  return check_after_quote(c);
}

// Reads a quoted name. A name without escapes is taken from the line as
// it stands; one with escapes is decoded into st.word. A NUL byte cannot
// be part of a name: the file is corrupt, which is a syntax error.
int read_name_text(cursor& c, reader_state& st, std::string_view* text) {
  if (c.pos >= c.length || c.line[c.pos] != '"') return k_syntax_error;
  size_t end = plain_run_end(c.line, c.length, c.pos + 1);
  if (end < c.length && c.line[end] == '"') {
    *text = std::string_view(c.line + c.pos + 1, end - c.pos - 1);
    c.pos = end + 1;
    if (check_after_quote(c) < 0) return k_syntax_error;
  } else {
    st.word.clear();
    if (read_string(c, st, st.word) < 0) return k_syntax_error;
    *text = st.word;
  }
  if (memchr(text->data(), '\0', text->size())) return k_syntax_error;
  return 0;
}

// Reads a quoted name and interns it.
int read_name(cursor& c, reader_state& st, graph::strid* id) {
  std::string_view text;
  if (read_name_text(c, st, &text) < 0) return k_syntax_error;
  *id = graph::intern(text.data(), text.size());
  return 0;
}

// Interns the directory of a header. Consecutive blocks mostly share their
// directory, so the last one is remembered.
graph::strid intern_directory(reader_state& st, std::string_view text) {
  if (st.last_directory < 0 || text != st.last_directory_text) {
    st.last_directory = graph::intern(text.data(), text.size());
    st.last_directory_text = text;
  }
  return st.last_directory;
}

// Parses a decimal integer (optional leading minus) that must be followed
// by a blank, TAB, newline or the end of the line.
int read_number(cursor& c, int64_t* out) {
  const char* begin = c.line + c.pos;
  const char* end = c.line + c.length;
  auto [p, ec] = std::from_chars(begin, end, *out);
  if (ec != std::errc() || p == begin) return k_syntax_error;
  c.pos = static_cast<size_t>(p - c.line);
  if (c.pos < c.length && !is_blank(c.line[c.pos]) && c.line[c.pos] != '\n') return k_syntax_error;
  return 0;
}

// Turns the collected block into a `dbe`; a header without commands
// yields nothing.
int end_block(reader_state& st) {
  int r = 0;
  if (st.in_cdep_block) {
    r = cdep_db_insert(st.cdep_file, st.cdep_base, st.cdep_stamp, st.cdep_ids.data(),
                       st.cdep_ids.size(), false);
  } else if (st.in_block && !st.commands.command_sizes.empty()) {
    r = cmd_db_insert(st.target, st.directory, st.commands);
  }
  st.in_block = false;
  st.in_cdep_block = false;
  st.cdep_ids.clear();
  st.commands.clear();
  return r;
}

// A TAB line of a dependency-file entry: the quoted targets, a colon,
// the quoted dependencies.
int parse_cdep_rule_line(cursor& c, reader_state& st) {
  std::vector<graph::strid>& ids = st.cdep_ids;
  size_t counts = ids.size();
  ids.push_back(0);
  ids.push_back(0);
  int side = 0;  // 0 targets, 1 dependencies
  for (;;) {
    c.skip_blanks();
    if (c.at_end()) break;
    if (c.line[c.pos] == ':') {
      if (side == 1) return k_syntax_error;
      side = 1;
      c.pos++;
      if (!c.at_end() && !is_blank(c.line[c.pos])) return k_syntax_error;
      continue;
    }
    graph::strid id;
    if (read_name(c, st, &id) < 0) return k_syntax_error;
    ids.push_back(id);
    ids[counts + side]++;
  }
  return side == 1 ? 0 : k_syntax_error;
}

// A TAB line: the quoted words of one command of the current block.
int parse_command_line(cursor& c, reader_state& st) {
  if (st.in_cdep_block) return parse_cdep_rule_line(c, st);
  if (!st.in_block) return k_syntax_error;
  st.commands.begin_command();
  for (;;) {
    c.skip_blanks();
    if (c.at_end()) return 0;
    // The word goes straight into the builder's text.
    size_t before = st.commands.text.size();
    if (read_string(c, st, st.commands.text) < 0) return k_syntax_error;
    st.commands.add_length(st.commands.text.size() - before);
  }
}

// Exactly n numbers separated by blanks, then the end of the line.
int read_numbers_to_end(cursor& c, int64_t* v, int n) {
  for (int i = 0; i < n; i++) {
    c.skip_blanks();
    if (read_number(c, &v[i]) < 0) return k_syntax_error;
  }
  c.skip_blanks();
  return c.at_end() ? 0 : k_syntax_error;
}

// After the first string and "=": exactly three numbers.
int parse_tssz_line(cursor& c, reader_state& st, graph::strid file) {
  if (st.version != 2) return k_syntax_error;
  c.pos++;  // "="
  int64_t v[3];
  if (read_numbers_to_end(c, v, 3) < 0) return k_syntax_error;
  return tssz_db_insert_stored(file, v[1], v[2], v[0]);
}

// After the file's name and "@": the base directory and the file's size,
// seconds, nanoseconds and inode.
int parse_cdep_header(cursor& c, reader_state& st, graph::strid file) {
  if (st.version != 2) return k_syntax_error;
  c.pos++;  // "@"
  c.skip_blanks();
  if (read_name(c, st, &st.cdep_base) < 0) return k_syntax_error;
  int64_t v[4];
  if (read_numbers_to_end(c, v, 4) < 0) return k_syntax_error;
  st.cdep_stamp = {v[1], v[2], v[0], static_cast<uint64_t>(v[3])};
  st.cdep_file = file;
  st.in_cdep_block = true;
  return 0;
}

// After the first string: the second string, a colon, optional blanks.
int parse_header_line(cursor& c, reader_state& st, graph::strid directory) {
  graph::strid target;
  if (read_name(c, st, &target) < 0) return k_syntax_error;
  c.skip_blanks();
  if (c.pos >= c.length || c.line[c.pos] != ':') return k_syntax_error;
  c.pos++;
  c.skip_blanks();
  if (!c.at_end()) return k_syntax_error;
  st.in_block = true;
  st.directory = directory;
  st.target = target;
  return 0;
}

int parse_line(const char* line, size_t length, reader_state& st) {
  cursor c{line, length, 0};
  if (length > 0 && line[0] == '\t') return parse_command_line(c, st);
  int r = end_block(st);
  if (r < 0) return r;
  c.skip_blanks();
  if (c.at_end()) return 0;
  // The first string is a file name (tssz line) or a directory (header);
  // the character after it tells which.
  std::string_view first;
  if (read_name_text(c, st, &first) < 0) return k_syntax_error;
  c.skip_blanks();
  if (c.pos < c.length && c.line[c.pos] == '=') {
    return parse_tssz_line(c, st, graph::intern(first.data(), first.size()));
  }
  if (c.pos < c.length && c.line[c.pos] == '@') {
    return parse_cdep_header(c, st, graph::intern(first.data(), first.size()));
  }
  return parse_header_line(c, st, intern_directory(st, first));
}

// Output is gathered in a buffer and handed to the stream in large
// pieces.
constexpr size_t k_flush_at = 64 * 1024;

struct writer {
  FILE* stream;
  std::string buffer;
  bool failed = false;

  void flush() {
    if (!buffer.empty() && fwrite(buffer.data(), 1, buffer.size(), stream) != buffer.size()) {
      failed = true;
    }
    buffer.clear();
  }
  void maybe_flush() {
    if (buffer.size() >= k_flush_at) flush();
  }
  void number(int64_t v) {
    char digits[24];
    auto r = std::to_chars(digits, digits + sizeof digits, v);
    buffer.append(digits, r.ptr);
  }
  void quoted(graph::strid id) { append_quoted(buffer, graph::text(id), graph::text_length(id)); }
};

void write_block(writer& w, const dbe* e) {
  w.quoted(e->directory);
  w.buffer += ' ';
  w.quoted(e->target);
  w.buffer += ":\n";
  for (uint32_t c = 0; c < e->n_commands; c++) {
    db_command cmd = e->commands[c];
    w.buffer += '\t';
    for (uint32_t i = 0; i < cmd.n_words; i++) {
      if (i) w.buffer += ' ';
      db_word word = cmd.words[i];
      append_quoted(w.buffer, word.text, word.length);
    }
    w.buffer += '\n';
  }
}

void write_cdep_entry(writer& w, const cdepe* e) {
  w.quoted(e->file);
  w.buffer += " @ ";
  w.quoted(e->base);
  for (int64_t n : {e->stamp.size, e->stamp.sec, e->stamp.nsec, static_cast<int64_t>(e->stamp.ino)}) {
    w.buffer += ' ';
    w.number(n);
  }
  w.buffer += '\n';
  for (uint32_t i = 0; i < e->n_ids;) {
    uint32_t n_targets = static_cast<uint32_t>(e->ids[i]);
    uint32_t n_deps = static_cast<uint32_t>(e->ids[i + 1]);
    i += 2;
    w.buffer += '\t';
    for (uint32_t k = 0; k < n_targets; k++, i++) {
      w.quoted(e->ids[i]);
      w.buffer += ' ';
    }
    w.buffer += ':';
    for (uint32_t k = 0; k < n_deps; k++, i++) {
      w.buffer += ' ';
      w.quoted(e->ids[i]);
    }
    w.buffer += '\n';
  }
}

void write_tssz_line(writer& w, const tsdbe* e) {
  w.quoted(e->file);
  w.buffer += " = ";
  tssz_values v = tssz_db_written(e);
  w.number(v.size);
  w.buffer += ' ';
  w.number(v.sec);
  w.buffer += ' ';
  w.number(v.nsec);
  w.buffer += '\n';
}

// db_read's loop, between the bulk load's begin and end.
int read_lines(FILE* stream, const char* name, int* version) {
  line_reader reader(stream);
  reader_state st;
  if (version) *version = 0;
  const char* line = nullptr;
  long n = reader.next_view(&line);
  if (n < 0) return static_cast<int>(n);
  bool have_line = n > 0;
  long line_number = 1;
  if (n == 5 && (memcmp(line, "@v2@\n", 5) == 0 || memcmp(line, "@v1@\n", 5) == 0)) {
    st.version = line[2] - '0';
    if (version) *version = st.version;
    have_line = false;
  }
  for (;;) {
    if (!have_line) {
      n = reader.next_view(&line);
      if (n < 0) return static_cast<int>(n);
      if (n == 0) break;
      line_number++;
    }
    have_line = false;
    int r = parse_line(line, static_cast<size_t>(n), st);
    if (r < 0) {
      if (st.bad_escape_kind) {
        fflush(stdout);
        fprintf(stderr, "kiln: %s:%ld: Invalid string unicode escape: \\%c%s\n", name,
                line_number, st.bad_escape_kind, st.bad_escape.c_str());
      }
      return r;
    }
  }
  // A read error cut the file short: what was read is not the whole story.
  if (ferror(stream)) return k_syntax_error;
  return end_block(st);
}

}  // namespace

int db_read(FILE* stream, const char* name, int* version) {
  db_tables_begin_load();
  int r = read_lines(stream, name, version);
  db_tables_end_load();
  return r;
}

int db_write_tables(FILE* stream, int version) {
  writer w{stream, {}};
  w.buffer.reserve(k_flush_at + 4096);
  w.buffer += version == 1 ? "@v1@\n\n" : "@v2@\n\n";
  bool first = true;
  for (const dbe* e = cmd_db_first(); e; e = e->next) {
    if (!first) w.buffer += '\n';
    first = false;
    write_block(w, e);
    w.maybe_flush();
  }
  if (version != 1) {
    for (const tsdbe* e = tssz_db_first(); e; e = e->next) {
      if (!first) w.buffer += '\n';
      first = false;
      write_tssz_line(w, e);
      w.maybe_flush();
    }
    for (const cdepe* e = cdep_db_first(); e; e = e->next) {
      if (cdep_db_only_used() && !e->used) continue;
      if (!first) w.buffer += '\n';
      first = false;
      write_cdep_entry(w, e);
      w.maybe_flush();
    }
  }
  w.flush();
  if (fflush(stream) != 0 || w.failed || ferror(stream)) return -1;
  return 0;
}

}  // namespace kiln::db
