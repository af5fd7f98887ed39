// Turning parsed rules into rules: the parsed rule record that the front
// end and @addrule fill in, Add rule with its checks, and the expansion of
// pattern rules once per base.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "graph/rule.h"

namespace kiln::graph {

// Parsed rule flag bits (the grammar's rule_flags).
constexpr uint32_t k_parsed_phony = 0x1;
constexpr uint32_t k_parsed_rectgt = 0x2;
constexpr uint32_t k_parsed_detouch = 0x4;
constexpr uint32_t k_parsed_maybe = 0x8;
constexpr uint32_t k_parsed_dist = 0x10;
constexpr uint32_t k_parsed_deponly = 0x20;           // dependency-only declaration
constexpr uint32_t k_parsed_iscleanhook = 0x40;
constexpr uint32_t k_parsed_isdistcleanhook = 0x80;
constexpr uint32_t k_parsed_isbothcleanhook = 0x100;
constexpr uint32_t k_parsed_pattern = 0x200;          // pattern rule, expanded per base

// Flag bits of a parsed target.
constexpr uint32_t k_name_pattern = 0x1;  // a pattern containing "%"
constexpr uint32_t k_name_dist = 0x2;     // @disttgt: a distribution target

// Flag bits of a parsed dependency.
constexpr uint32_t k_name_dep_pattern = 0x1;  // may contain "%"
constexpr uint32_t k_name_recdep = 0x2;       // @recdep
constexpr uint32_t k_name_orderonly = 0x4;    // @orderonly
constexpr uint32_t k_name_wait = 0x8;         // @wait

// A target or dependency as written. With has_suffix the name is a split
// pattern: `name` is the text before the stem and `suffix` the text after.
struct parsed_name {
  std::string name;
  std::string suffix;
  bool has_suffix = false;
  uint32_t flags = 0;
};

// One rule declaration, in the order the Kilnfiles declared them.
struct parsed_rule {
  std::vector<parsed_name> targets;
  std::vector<parsed_name> deps;
  std::vector<std::string> bases;  // pattern rules only
  const front::recipe* recipe = nullptr;
  int32_t scope = 0;
  std::string prefix = ".";  // directory prefix, relative to the top
  int line = -1;
  uint32_t flags = 0;  // k_parsed_*
};

// The rule flags (k_rule_*) for a parsed rule's declared flags.
uint32_t rule_flags_from_parsed(uint32_t parsed_flags);

// Makes a rule: targets and dependencies are joined after the prefix
// (unless absolute) and simplified; clean hooks get "///" after each
// target. Fatal on no targets, on a phony rule with several targets, on a
// target listed twice and on a target that already has a rule. Returns the
// rule id. `flags` are k_rule_* declared flags.
ruleid add_rule(const std::vector<parsed_name>& targets, const std::vector<parsed_name>& deps,
                const front::recipe* recipe, uint32_t flags, std::string_view prefix,
                int32_t scope, int line, strid base, strid stem = -1);

// The instance of a pattern rule for one base (fatal when the patterns do
// not fit the base); returns its rule id.
ruleid expand_pattern_rule(const parsed_rule& pr, const std::string& base);

// Adds a parsed rule: every instance of a pattern rule, the deferred
// entries of a dependency-only declaration, or one ordinary rule. Returns
// the id of the (first) rule made, or -1 when none was made.
ruleid add_parsed_rule(const parsed_rule& pr);

// The path of a name written in the directory prefix: joined with "/"
// unless absolute, then simplified.
std::string prefixed_path(std::string_view prefix, std::string_view name);

}  // namespace kiln::graph
