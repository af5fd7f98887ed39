// Tables made from the opcode lists: each list row becomes an
// opcode_row, and one pair of functions checks a range's rows and indexes
// them by opcode, so that the core, library and extension ranges build
// their tables the same way.
#pragma once

#include <array>
#include <cstddef>

namespace kiln::engine {

struct engine;

struct opcode_row {
  unsigned number = 0;
  int arity = 0;                       // operands checked before run; -1: varies
  int (*run)(engine* e) = nullptr;     // null: not run through the table
  const char* text = nullptr;          // the name an error report gives it
};

// Whether every row's number lies in [first, first + N) and none is given
// twice.
template <size_t N, size_t R>
constexpr bool rows_fit(const opcode_row (&rows)[R], unsigned first) {
  bool seen[N] = {};
  for (const opcode_row& r : rows) {
    if (r.number < first || r.number - first >= N || seen[r.number - first]) return false;
    seen[r.number - first] = true;
  }
  return true;
}

// The rows indexed by number - first; a number without a row gets an
// empty one.
template <size_t N, size_t R>
constexpr std::array<opcode_row, N> index_rows(const opcode_row (&rows)[R], unsigned first) {
  std::array<opcode_row, N> table{};
  for (const opcode_row& r : rows) table[r.number - first] = r;
  return table;
}

}  // namespace kiln::engine
