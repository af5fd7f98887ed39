// Token spellings and the keyword table.
//
// Keywords are found in an open-addressing hash table of 512 slots (about
// 40 % full), built once: one hash of the candidate and, nearly always, one
// comparison per `@` token. A sorted copy serves the listing.
#include "front/tokens.h"

#include <algorithm>
#include <array>
#include <cstdint>

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

// Slots of the keyword hash table; a power of two, at least twice the
// number of keywords, so that every probe sequence ends at an empty slot.
constexpr uint32_t k_hash_slots = 512;
static_assert(k_hash_slots >= 2 * k_n_keywords);

using keyword_hash = std::array<const keyword_entry*, k_hash_slots>;

// FNV-1a over the bytes, reduced to a slot.
uint32_t keyword_hash_of(std::string_view word) {
  uint32_t h = 2166136261u;
  for (unsigned char c : word) h = (h ^ c) * 16777619u;
  return h & (k_hash_slots - 1);
}

const keyword_hash& hashed_keywords() {
  static const keyword_hash table = [] {
    keyword_hash t{};
    for (const keyword_entry& e : k_keywords_unsorted) {
      uint32_t slot = keyword_hash_of(e.text);
      while (t[slot]) slot = (slot + 1) & (k_hash_slots - 1);
      t[slot] = &e;
    }
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
  const keyword_hash& h = hashed_keywords();
  for (uint32_t slot = keyword_hash_of(word);; slot = (slot + 1) & (k_hash_slots - 1)) {
    const keyword_entry* e = h[slot];
    if (!e) return tok::end;
    if (e->text == word) return e->kind;
  }
}

int keyword_count() { return k_n_keywords; }

std::string_view keyword_spelling(int i) {
  if (i < 0 || i >= k_n_keywords) return {};
  return sorted_keywords()[i].text;
}

}  // namespace kiln::front
