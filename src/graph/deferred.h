// Dependencies added after their rules: the deferred list filled by
// dependency-only declarations and compiler dependency files and resolved
// once every rule exists (making implicit rules for targets without one),
// and the run-time addition of dependencies during the build.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "graph/add_rule.h"
#include "graph/rule.h"

namespace kiln::graph {

// Deferred entry flag bits.
constexpr uint32_t k_defer_phony = 0x2;            // make the target's rule phony
constexpr uint32_t k_defer_missing_allowed = 0x4;  // the dependency may be missing
// The dependency attributes a dependency-only declaration gives.
constexpr uint32_t k_defer_recdep = 0x8;
constexpr uint32_t k_defer_orderonly = 0x10;
constexpr uint32_t k_defer_wait = 0x20;

// Appends a deferred entry; dep -1 records only that the target exists.
void defer_dep(strid target, strid dep, uint32_t flags);

// A dependency-only declaration: names are made absolute with respect to
// the prefix and simplified; (target, -1) is deferred for each target, then
// (target, dependency) for each dependency with its @recdep, @orderonly and
// @wait attributes. With hook_targets the targets are clean-hook
// pseudo-targets and get "///" after the simplified name.
void add_deponly(const std::vector<parsed_name>& targets, const std::vector<parsed_name>& deps,
                 bool phony, std::string_view prefix, bool hook_targets = false);

// Number of deferred entries waiting.
size_t deferred_count();

// Makes a rule with an empty recipe in prefix "." for a target that has
// none; returns its id.
ruleid make_implicit_rule(strid target, int32_t scope);

// Applies and empties the deferred list: implicit rules first for every
// target without a rule, then the dependencies in order (not explicit).
void resolve_deferred_deps(int32_t scope);

// Adds dependencies during the build: names are joined after the directory
// and simplified. Every target needs a rule that is neither executed nor
// queued, every dependency a rule; messages on standard error. Returns 0,
// -2 (a name without rule) or -22 (a target already executed or queued).
// Targets before the failing one keep their new dependencies.
int add_deps_at_run_time(std::string_view directory, const std::vector<std::string>& targets,
                         const std::vector<std::string>& deps, uint32_t dep_flags);

// Forgets the deferred list (tests only).
void deferred_clear();

}  // namespace kiln::graph
