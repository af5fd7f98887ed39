#include "db/line_reader.h"

#include <cstdlib>
#include <cstring>

#include "base/result_codes.h"

namespace kiln::db {

namespace {
constexpr size_t k_initial_line_capacity = 1024;
constexpr size_t k_block_size = 64 * 1024;
}  // namespace

line_reader::~line_reader() {
  free(buffer_);
  free(block_);
}

// Makes room for needed bytes plus the terminating NUL, doubling.
bool line_reader::reserve(size_t needed) {
  if (needed + 1 <= capacity_) return true;
  size_t capacity = capacity_ ? capacity_ : k_initial_line_capacity;
  while (capacity < needed + 1) capacity *= 2;
  char* p = static_cast<char*>(realloc(buffer_, capacity));
  if (!p) return false;
  buffer_ = p;
  capacity_ = capacity;
  return true;
}

// Reads the next block; false at the end of the stream (or on an error,
// which the caller sees through ferror).
bool line_reader::refill() {
  if (!block_) {
    block_ = static_cast<char*>(malloc(k_block_size));
    if (!block_) return false;
  }
  block_pos_ = 0;
  block_end_ = fread(block_, 1, k_block_size, stream_);
  return block_end_ > 0;
}

long line_reader::read_into(size_t start) {
  used_ = start;
  if (!reserve(used_)) return base::rc_no_memory;
  for (;;) {
    if (block_pos_ == block_end_ && !refill()) break;
    const char* from = block_ + block_pos_;
    size_t avail = block_end_ - block_pos_;
    const char* nl = static_cast<const char*>(memchr(from, '\n', avail));
    size_t n = nl ? static_cast<size_t>(nl - from) + 1 : avail;
    if (!reserve(used_ + n)) return base::rc_no_memory;
    memcpy(buffer_ + used_, from, n);
    used_ += n;
    block_pos_ += n;
    if (nl) break;
  }
  buffer_[used_] = '\0';
  return static_cast<long>(used_ - start);
}

long line_reader::next() { return read_into(0); }

long line_reader::next_view(const char** line) {
  if (block_pos_ < block_end_) {
    const char* from = block_ + block_pos_;
    size_t avail = block_end_ - block_pos_;
    const char* nl = static_cast<const char*>(memchr(from, '\n', avail));
    if (nl) {
      size_t n = static_cast<size_t>(nl - from) + 1;
      block_pos_ += n;
      *line = from;
      return static_cast<long>(n);
    }
  }
  long n = read_into(0);
  *line = buffer_;
  return n;
}

long line_reader::append_next() { return read_into(used_); }

}  // namespace kiln::db
