#include "graph/add_rule.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/diag.h"
#include "graph/config.h"
#include "graph/deferred.h"
#include "graph/path.h"

namespace kiln::graph {

namespace {

size_t count_percent(std::string_view s) {
  return static_cast<size_t>(std::count(s.begin(), s.end(), '%'));
}

// The name with its one "%" replaced by the stem.
std::string substitute(const std::string& name, const std::string& stem) {
  size_t at = name.find('%');
  return name.substr(0, at) + stem + name.substr(at + 1);
}

bool fits(const std::string& base, std::string_view pre, std::string_view suf) {
  return base.size() >= pre.size() + suf.size() && base.starts_with(pre) && base.ends_with(suf);
}

// The stem that the pattern rule's first target gives for the base.
std::string stem_for(const parsed_name& pattern, const std::string& base) {
  std::string_view pre, suf;
  if (pattern.has_suffix) {
    pre = pattern.name;
    suf = pattern.suffix;
    if (!fits(base, pre, suf)) {
      diag::fatal("Target %s%%%s didn't match base %s", pattern.name.c_str(),
                  pattern.suffix.c_str(), base.c_str());
    }
  } else {
    std::string_view name = pattern.name;
    if (count_percent(name) != 1) {
      diag::fatal("Target %s must have exactly one %% sign", pattern.name.c_str());
    }
    size_t at = name.find('%');
    pre = name.substr(0, at);
    suf = name.substr(at + 1);
    if (!fits(base, pre, suf)) {
      diag::fatal("Target %s didn't match base %s", pattern.name.c_str(), base.c_str());
    }
  }
  return base.substr(pre.size(), base.size() - pre.size() - suf.size());
}

parsed_name instance_target(const parsed_name& t, const std::string& stem) {
  parsed_name out;
  out.flags = t.flags & ~k_name_pattern;
  if ((t.flags & k_name_pattern) && !t.has_suffix && count_percent(t.name) == 1) {
    out.name = substitute(t.name, stem);
  } else if (t.has_suffix) {
    out.name = t.name + stem + t.suffix;
  } else {
    diag::fatal("Target %s must have exactly one %% sign", t.name.c_str());
  }
  return out;
}

parsed_name instance_dep(const parsed_name& d, const std::string& stem) {
  parsed_name out;
  out.flags = d.flags & ~k_name_dep_pattern;
  if (d.has_suffix) {
    out.name = d.name + stem + d.suffix;
  } else if (d.flags & k_name_dep_pattern) {
    size_t n = count_percent(d.name);
    if (n > 1) diag::fatal("Dep %s must have exactly zero or one %% signs", d.name.c_str());
    out.name = n == 1 ? substitute(d.name, stem) : d.name;
  } else {
    out.name = d.name;
  }
  return out;
}

constexpr size_t k_path_buffer = 1024;

// A rule's directory prefix, checked once for all its names.
struct prefix_info {
  std::string_view text;
  bool simple;
};

// Interns the name joined after the prefix and simplified, with `tail`
// appended; short names go through a stack buffer.
strid intern_prefixed(const prefix_info& p, std::string_view name, std::string_view tail = {}) {
  char buf[k_path_buffer];
  std::string_view prefix = p.text;
  if (name.empty()) name = ".";
  size_t n = p.simple ? join_simple_prefix_into(prefix, name, buf, sizeof(buf) - tail.size())
                      : join_simplify_into(prefix, name, buf, sizeof(buf) - tail.size());
  if (n != SIZE_MAX) {
    if (!tail.empty()) memcpy(buf + n, tail.data(), tail.size());
    return intern(buf, n + tail.size());
  }
  std::string path = join_simplify(prefix, name);
  path += tail;
  return intern(path.c_str(), path.size());
}

void add_targets(rule* r, const std::vector<parsed_name>& targets, const prefix_info& prefix,
                 const char* prefix_text, int line) {
  bool is_hook = r->flags & k_rule_clean_hooks;
  for (const parsed_name& t : targets) {
    strid id = intern_prefixed(prefix, t.name, is_hook ? "///" : "");
    const char* path = text(id);
    strid written = intern(t.name.c_str(), t.name.size());
    bool is_dist = (r->flags & k_rule_dist) || (t.flags & k_name_dist);
    if (add_target(r, id, written, is_dist) < 0) {
      if (line < 0) diag::fatal("Target %s already exists in rule", path);
      diag::fatal("Target %s already exists in rule at prefix %s line %d", path, prefix_text,
                  line);
    }
    set_ruleid_by_tgt(id, r->id, prefix_text, line);
  }
}

// The prefix's string id; rules come in runs of one Kilnfile, so the last
// one is checked first.
strid intern_prefix(std::string_view prefix) {
  static strid last = -1;
  if (last >= 0 && static_cast<size_t>(last) < stringtab_size() &&
      text_length(last) == prefix.size() && memcmp(text(last), prefix.data(), prefix.size()) == 0) {
    return last;
  }
  last = intern(prefix.data(), prefix.size());
  return last;
}

uint32_t dep_flags_from_parsed(uint32_t f) {
  uint32_t out = 0;
  if (f & k_name_recdep) out |= k_dep_recdep;
  if (f & k_name_orderonly) out |= k_dep_orderonly;
  if (f & k_name_wait) out |= k_dep_wait;
  return out;
}

}  // namespace

std::string prefixed_path(std::string_view prefix, std::string_view name) {
  if (name.empty()) return join_simplify(prefix, ".");
  return join_simplify(prefix, name);
}

uint32_t rule_flags_from_parsed(uint32_t p) {
  uint32_t f = 0;
  if (p & k_parsed_phony) f |= k_rule_phony;
  if (p & k_parsed_rectgt) f |= k_rule_rectgt;
  if (p & k_parsed_detouch) f |= k_rule_detouch;
  if (p & k_parsed_maybe) f |= k_rule_maybe;
  if (p & k_parsed_dist) f |= k_rule_dist;
  if (p & k_parsed_iscleanhook) f |= k_rule_iscleanhook;
  if (p & k_parsed_isdistcleanhook) f |= k_rule_isdistcleanhook;
  if (p & k_parsed_isbothcleanhook) f |= k_rule_isbothcleanhook;
  return f;
}

ruleid add_rule(const std::vector<parsed_name>& targets, const std::vector<parsed_name>& deps,
                const front::recipe* recipe, uint32_t flags, std::string_view prefix,
                int32_t scope, int line, strid base, strid stem) {
  if (targets.empty()) diag::fatal("Rules must have at least 1 target");
  if ((flags & k_rule_phony) && targets.size() > 1) {
    diag::fatal("Phony rules must not have multiple targets");
  }
  strid prefix_id = intern_prefix(prefix);
  const char* prefix_text = text(prefix_id);
  if (conf.trace) diag::trace("Rule %s (%s): add_rule\n", targets[0].name.c_str(), prefix_text);
  rule* r = new_rule(flags & k_rule_declared, prefix_id, base, recipe, scope, line, deps.size());
  r->stem = stem;
  prefix_info p{prefix, is_simple_prefix(prefix)};
  add_targets(r, targets, p, prefix_text, line);
  for (const parsed_name& d : deps) {
    strid id = intern_prefixed(p, d.name);
    strid written = intern(d.name.c_str(), d.name.size());
    if (add_dep(r, id, written, dep_flags_from_parsed(d.flags) | k_dep_explicit) == 0) {
      record_reverse_edge(id, r->id, false);
    }
  }
  return r->id;
}

ruleid expand_pattern_rule(const parsed_rule& pr, const std::string& base) {
  if (pr.flags & (k_parsed_iscleanhook | k_parsed_isdistcleanhook | k_parsed_isbothcleanhook)) {
    diag::internal_error("pattern clean hook");
  }
  if (pr.targets.empty()) diag::fatal("Rules must have at least 1 target");
  std::string stem = stem_for(pr.targets[0], base);
  std::vector<parsed_name> targets;
  targets.reserve(pr.targets.size());
  parsed_name first;
  first.name = base;
  first.flags = pr.targets[0].flags & ~k_name_pattern;
  targets.push_back(std::move(first));
  for (size_t i = 1; i < pr.targets.size(); i++) targets.push_back(instance_target(pr.targets[i], stem));
  std::vector<parsed_name> deps;
  deps.reserve(pr.deps.size());
  for (const parsed_name& d : pr.deps) deps.push_back(instance_dep(d, stem));
  strid base_id = intern(base.c_str(), base.size());
  strid stem_id = intern(stem.c_str(), stem.size());
  return add_rule(targets, deps, pr.recipe, rule_flags_from_parsed(pr.flags), pr.prefix, pr.scope,
                  pr.line, base_id, stem_id);
}

ruleid add_parsed_rule(const parsed_rule& pr) {
  if (pr.flags & k_parsed_pattern) {
    ruleid first = -1;
    for (const std::string& base : pr.bases) {
      ruleid id = expand_pattern_rule(pr, base);
      if (first < 0) first = id;
    }
    return first;
  }
  if (pr.flags & k_parsed_deponly) {
    uint32_t hooks = k_parsed_iscleanhook | k_parsed_isdistcleanhook | k_parsed_isbothcleanhook;
    add_deponly(pr.targets, pr.deps, (pr.flags & k_parsed_phony) != 0, pr.prefix,
                (pr.flags & hooks) != 0);
    return -1;
  }
  return add_rule(pr.targets, pr.deps, pr.recipe, rule_flags_from_parsed(pr.flags), pr.prefix,
                  pr.scope, pr.line, -1);
}

}  // namespace kiln::graph
