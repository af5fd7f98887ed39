#include "front/builtin_table.h"

#include <array>

#include "engine/bytecode.h"
#include "ext/opcodes.h"

namespace kiln::front {

namespace {

// The keyword column of the opcode tables names token kinds; none is no
// keyword, which no table entry is looked up by.
namespace keyword {
using enum tok;
constexpr tok none = tok::end;
}  // namespace keyword

// Every opcode with a keyword: the core set's, the library's and the
// build extension's.
#define KILN_BUILTIN_ENTRY(name, number, arity, kw, ...) {keyword::kw, number, arity},
constexpr builtin_entry k_builtins[] = {
    KILN_CORE_OPCODES(KILN_BUILTIN_ENTRY)
    KILN_LIBRARY_OPCODES(KILN_BUILTIN_ENTRY)
    KILN_EXTENSION_OPCODES(KILN_BUILTIN_ENTRY)
};
#undef KILN_BUILTIN_ENTRY

}  // namespace

const builtin_entry* find_builtin(tok kind) {
  static const auto table = [] {
    std::array<const builtin_entry*, static_cast<size_t>(tok::n_kinds)> t{};
    for (const builtin_entry& b : k_builtins) {
      if (b.kind != keyword::none) t[static_cast<size_t>(b.kind)] = &b;
    }
    return t;
  }();
  size_t i = static_cast<size_t>(kind);
  return i < table.size() ? table[i] : nullptr;
}

}  // namespace kiln::front
