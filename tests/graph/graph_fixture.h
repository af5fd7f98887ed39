// A fresh rule graph for every test: empty string table, no rules, no
// deferred or pending entries, -d off.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/add_rule.h"
#include "graph/config.h"
#include "graph/deferred.h"
#include "graph/rule.h"
#include "graph/stringtab.h"

namespace kiln::graph {

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stringtab_clear();
    stringtab_init(64, 1024);
    rules_clear();
    deferred_clear();
    conf = config();
    conf.expected_deps = 8;
  }
  void TearDown() override { conf.trace = false; }

  static parsed_name name(const std::string& n, uint32_t flags = 0) {
    parsed_name p;
    p.name = n;
    p.flags = flags;
    return p;
  }

  static parsed_name split(const std::string& pre, const std::string& suf, uint32_t flags = 0) {
    parsed_name p;
    p.name = pre;
    p.suffix = suf;
    p.has_suffix = true;
    p.flags = flags;
    return p;
  }

  static std::vector<parsed_name> names(std::initializer_list<const char*> list) {
    std::vector<parsed_name> out;
    for (const char* n : list) out.push_back(name(n));
    return out;
  }

  // An ordinary rule declared in the prefix.
  static ruleid simple_rule(std::initializer_list<const char*> targets,
                            std::initializer_list<const char*> deps, const char* prefix = ".",
                            uint32_t flags = 0, int line = 1) {
    return add_rule(names(targets), names(deps), nullptr, flags, prefix, 0, line, -1);
  }

  static ruleid rule_of(const char* target) {
    strid id = lookup(target);
    return id < 0 ? -2 : ruleid_by_tgt(id);
  }

  // The texts of the rule's dependency list, in order.
  static std::vector<std::string> dep_texts(ruleid id) {
    std::vector<std::string> out;
    for (kilndep* d = rule_at(id)->first_dep; d; d = d->next) out.push_back(text(d->id));
    return out;
  }

  static std::vector<std::string> target_texts(ruleid id) {
    std::vector<std::string> out;
    for (tgt* t = rule_at(id)->first_tgt; t; t = t->next) out.push_back(text(t->id));
    return out;
  }

  static std::vector<ruleid> dependants(ruleid id) {
    std::vector<ruleid> out;
    for_each_dependant(rule_at(id), [&](ruleid d) { out.push_back(d); });
    return out;
  }
};

}  // namespace kiln::graph
