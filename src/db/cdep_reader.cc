#include "db/cdep_reader.h"

#include "db/line_reader.h"
#include "graph/path.h"

namespace kiln::db {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_continuation(const char* line, size_t length, size_t pos) {
  return line[pos] == '\\' && pos + 1 < length && line[pos + 1] == '\n';
}

// Skips blanks, TABs and backslash-newline pairs.
size_t skip_space(const char* line, size_t length, size_t pos) {
  while (pos < length) {
    if (is_blank(line[pos])) {
      pos++;
    } else if (is_continuation(line, length, pos)) {
      pos += 2;
    } else {
      break;
    }
  }
  return pos;
}

// Cuts the word starting at pos and returns its end: the position of the
// blank, TAB, newline, colon or backslash-newline pair that ends it, or the
// end of the line. A lone "$" or backslash at the end is kept in the word
// so that decoding rejects it.
size_t cut_word(const char* line, size_t length, size_t pos) {
  while (pos < length) {
    char c = line[pos];
    if (is_blank(c) || c == '\n' || c == ':') break;
    if (c == '\\' || c == '$') {
      if (pos + 1 < length && line[pos + 1] != '\n') {
        pos += 2;
        continue;
      }
      if (c == '\\' && pos + 1 < length) break;  // a continuation: white space
      pos++;
      break;
    }
    pos++;
  }
  return pos;
}

// Decodes the escapes of line[begin, end) into out. Returns false on a
// bad "$" pair, a lone "$" or backslash at the end, or a NUL byte (plain
// or escaped), which no path can hold.
bool decode_word(const char* line, size_t begin, size_t end, std::string& out) {
  out.clear();
  for (size_t i = begin; i < end; i++) {
    char c = line[i];
    if (c == '\0') return false;
    if (c == '$') {
      if (i + 1 >= end || line[i + 1] != '$') return false;
      out += '$';
      i++;
    } else if (c == '\\') {
      if (i + 1 >= end || line[i + 1] == '\0') return false;
      out += line[i + 1];
      i++;
    } else {
      out += c;
    }
  }
  return true;
}

std::string resolve(const cdep_context& ctx, const std::string& word) {
  return graph::join_simplify(ctx.base, word);
}

bool at_line_end(const char* line, size_t length, size_t pos) {
  return pos >= length || line[pos] == '\n';
}

// True when the line ends in a backslash-newline whose backslash is not
// escaped: the run of backslashes before the newline is odd.
bool continues(const char* line, size_t length) {
  if (length < 2 || line[length - 1] != '\n' || line[length - 2] != '\\') return false;
  size_t run = 0;
  for (size_t i = length - 1; i > 0 && line[i - 1] == '\\'; i--) run++;
  return run % 2 == 1;
}

void report(const std::vector<dep_rule_line>& lines, const cdep_callbacks& cb) {
  for (const dep_rule_line& l : lines) {
    if (cb.on_new_line) cb.on_new_line(cb.user);
    if (cb.on_target) {
      for (const std::string& t : l.targets) cb.on_target(t, cb.user);
    }
    if (cb.on_dependency) {
      for (const std::string& d : l.deps) cb.on_dependency(d, cb.user);
    }
  }
}

int read_lines(line_reader& reader, cdep_context& ctx, std::vector<dep_rule_line>& lines) {
  dep_rule_line current;
  size_t line_number = 0;  // physical lines read so far
  for (;;) {
    long n = reader.next();
    if (n < 0) return static_cast<int>(n);
    if (n == 0) return 0;
    size_t first_line = ++line_number;
    while (continues(reader.data(), reader.size())) {
      long more = reader.append_next();
      if (more < 0) return static_cast<int>(more);
      if (more == 0) break;
      line_number++;
    }
    int r = parse_cdep_line(reader.data(), reader.size(), ctx, &current);
    if (r < 0) {
      ctx.error_line = first_line;
      return -1;
    }
    if (r > 0) lines.push_back(std::move(current));
  }
}

}  // namespace

int parse_cdep_line(const char* line, size_t length, const cdep_context& ctx,
                    dep_rule_line* out) {
  size_t pos = skip_space(line, length, 0);
  if (at_line_end(line, length, pos)) return 0;
  out->targets.clear();
  out->deps.clear();
  if (ctx.has_extra_target) out->targets.push_back(resolve(ctx, ctx.extra_target));
  std::string word;
  // Target words, up to the colon.
  for (;;) {
    size_t end = cut_word(line, length, pos);
    if (at_line_end(line, length, end)) return -1;
    if (!decode_word(line, pos, end, word)) return -1;
    if (!word.empty()) out->targets.push_back(resolve(ctx, word));
    if (line[end] == ':') {
      pos = end + 1;
      break;
    }
    pos = skip_space(line, length, end);
  }
  // Dependency words, up to the end of the line.
  pos = skip_space(line, length, pos);
  while (!at_line_end(line, length, pos)) {
    size_t end = cut_word(line, length, pos);
    if (end < length && line[end] == ':') return -1;
    if (!decode_word(line, pos, end, word)) return -1;
    if (!word.empty()) out->deps.push_back(resolve(ctx, word));
    if (at_line_end(line, length, end)) break;
    pos = skip_space(line, length, end);
  }
  return 1;
}

int read_cdep_file(FILE* stream, cdep_context& ctx, const cdep_callbacks* callbacks) {
  line_reader reader(stream);
  std::vector<dep_rule_line> parsed;
  std::vector<dep_rule_line>& lines = callbacks ? parsed : ctx.lines;
  size_t kept = lines.size();
  int result = read_lines(reader, ctx, lines);
  if (result < 0) {
    lines.resize(kept);  // a rejected file leaves nothing behind
    return result;
  }
  if (callbacks) report(parsed, *callbacks);
  return 0;
}

}  // namespace kiln::db
