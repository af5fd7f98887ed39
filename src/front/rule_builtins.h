// The rule-building built-ins of the build extension: @addrule (opcode
// 67) adds a rule described by a dictionary and @adddeps (opcode 66) adds
// dependencies, to the parse in progress or, for @adddeps, to the rule
// graph during the build. Both pop their arguments and push nothing; a
// failure fills the engine's error slot and registers nothing.
#pragma once

#include "engine/engine.h"

namespace kiln::front {

// @addrule(rule): the one operand is the rule's dictionary ("tgts",
// "deps", "shells", "attrs"). Returns 0 or a negative result.
int builtin_addrule(engine::engine* e);

// @adddeps(targets, dependencies, options): adds every dependency to
// every target, with the options' "rec", "orderonly" and "wait".
// Returns 0 or a negative result.
int builtin_adddeps(engine::engine* e);

// Hands both built-ins to the extension dispatcher (kiln::up).
void install_rule_builtins();

}  // namespace kiln::front
