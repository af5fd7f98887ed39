// Token spellings and the keyword table.
//
// Keywords are found by binary search in a table sorted once by byte
// order; with about 200 entries that is at most eight comparisons for
// every `@` token.
#include "front/tokens.h"

#include <algorithm>
#include <array>

namespace kiln::front {

namespace {

struct keyword_entry {
  std::string_view text;
  tok kind;
};

#define KILN_KW_ENTRY(kind, text) keyword_entry{text, tok::kind},
constexpr keyword_entry k_keywords_unsorted[] = {
    KILN_KEYWORDS(KILN_KW_ENTRY)
    keyword_entry{"@le8", tok::kw_be8},
};
#undef KILN_KW_ENTRY

constexpr int k_n_keywords =
    sizeof(k_keywords_unsorted) / sizeof(k_keywords_unsorted[0]);

using keyword_table = std::array<keyword_entry, k_n_keywords>;

const keyword_table& sorted_keywords() {
  static const keyword_table table = [] {
    keyword_table t;
    std::copy(std::begin(k_keywords_unsorted), std::end(k_keywords_unsorted),
              t.begin());
    std::sort(t.begin(), t.end(),
              [](const keyword_entry& a, const keyword_entry& b) {
                return a.text < b.text;
              });
    return t;
  }();
  return table;
}

constexpr std::string_view k_class_names[] = {
    "end of input", "newline", "@",          "@<TAB>",
    "@@<TAB>",      "variable reference",    "number",
    "string",       "free-form token",       "@word",
    "shell command", "Lua block",            "invalid character",
};

#define KILN_TOK_TEXT(kind, text) text,
constexpr std::string_view k_fixed_names[] = {
    KILN_PUNCTUATION(KILN_TOK_TEXT)
    KILN_KEYWORDS(KILN_TOK_TEXT)
};
#undef KILN_TOK_TEXT

constexpr int k_n_classes = static_cast<int>(tok::colon);
static_assert(sizeof(k_class_names) / sizeof(k_class_names[0]) ==
              static_cast<size_t>(k_n_classes));
static_assert(sizeof(k_fixed_names) / sizeof(k_fixed_names[0]) ==
              static_cast<size_t>(tok::n_kinds) - k_n_classes);

}  // namespace

std::string_view token_name(tok kind) {
  int k = static_cast<int>(kind);
  if (k < 0 || k >= static_cast<int>(tok::n_kinds)) return "unknown token";
  if (k < k_n_classes) return k_class_names[k];
  return k_fixed_names[k - k_n_classes];
}

tok keyword_kind(std::string_view word) {
  const keyword_table& t = sorted_keywords();
  auto it = std::lower_bound(
      t.begin(), t.end(), word,
      [](const keyword_entry& e, std::string_view w) { return e.text < w; });
  if (it == t.end() || it->text != word) return tok::end;
  return it->kind;
}

int keyword_count() { return k_n_keywords; }

std::string_view keyword_spelling(int i) {
  if (i < 0 || i >= k_n_keywords) return {};
  return sorted_keywords()[i].text;
}

}  // namespace kiln::front
