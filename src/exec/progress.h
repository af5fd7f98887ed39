// Progress on a terminal: when standard output is a terminal (and not
// -s), each command's echo line starts with "[n/total] ", n counting the
// rules started so far and total the rules known to run so far (queued
// for running), as the build discovers them. Piped or redirected output
// carries no prefix.
#pragma once

#include <string>

namespace kiln::exec {

// Decides once whether progress is shown: standard output is a terminal
// and -s is not given.
void progress_init();

// A rule was queued to run: the total grows.
void progress_rule_queued();

// The prefix for the echo of a rule's command; first is true for the
// rule's first command, which counts the rule as started. Empty when
// progress is not shown.
std::string progress_prefix(bool first);

}  // namespace kiln::exec
