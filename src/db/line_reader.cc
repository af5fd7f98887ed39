#include "db/line_reader.h"

#include <cstdlib>

namespace kiln::db {

namespace {
constexpr size_t k_initial_line_capacity = 1024;
}

line_reader::~line_reader() { free(buffer_); }

bool line_reader::grow() {
  size_t capacity = capacity_ ? capacity_ * 2 : k_initial_line_capacity;
  char* p = static_cast<char*>(realloc(buffer_, capacity));
  if (!p) return false;
  buffer_ = p;
  capacity_ = capacity;
  return true;
}

long line_reader::read_into(size_t start) {
  used_ = start;
  for (;;) {
    // Keep room for the terminating NUL.
    if (used_ + 1 >= capacity_ && !grow()) return -12;
    int c = getc_unlocked(stream_);
    if (c == EOF) break;
    buffer_[used_++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer_[used_] = '\0';
  return static_cast<long>(used_ - start);
}

long line_reader::next() { return read_into(0); }

long line_reader::append_next() { return read_into(used_); }

}  // namespace kiln::db
