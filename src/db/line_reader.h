// Whole-line reading from a stream, shared by the database reader and the
// compiler dependency file reader.
//
// The stream is read in 64 KiB blocks and lines are cut with memchr. The
// line buffer starts at 1024 bytes and doubles while a line does not fit;
// it is kept between lines, so a file costs one allocation per doubling.
// The reader reads ahead: it is meant for reading a stream to its end.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kiln::db {

class line_reader {
 public:
  explicit line_reader(FILE* stream) : stream_(stream) {}
  ~line_reader();
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;

  // Reads the next line, with its "\n" when there is one. Returns its
  // length, 0 at the end of the stream, -12 when a buffer cannot grow.
  // A NUL byte inside a line is kept (the length counts it).
  long next();

  // Appends the next line to the current one (a continuation). Returns
  // the length of the appended part, 0 at the end, -12 out of memory.
  long append_next();

  // Reads the next line like next(), but a line that lies whole inside
  // the read-ahead block is not copied: *line points into the block and
  // stays valid until the next call. Not NUL-terminated. Returns the
  // length, 0 at the end of the stream, -12 out of memory.
  long next_view(const char** line);

  // The current line (NUL-terminated) and its length.
  const char* data() const { return buffer_; }
  size_t size() const { return used_; }

 private:
  long read_into(size_t start);
  bool reserve(size_t needed);
  bool refill();

  FILE* stream_;
  char* buffer_ = nullptr;  // the current line
  size_t capacity_ = 0;
  size_t used_ = 0;
  char* block_ = nullptr;  // read-ahead from the stream
  size_t block_pos_ = 0;
  size_t block_end_ = 0;
};

}  // namespace kiln::db
