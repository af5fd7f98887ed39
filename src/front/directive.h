// Running script code while a Kilnfile is parsed: directive fragments
// with their string-list results, variable initialisers, shell
// assignments, and the failure reports of all of them.
//
// The engine stack is empty when a parse-time run starts and is left
// empty after it, whether the run succeeds or fails (leftovers of a
// failed run are dropped).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace kiln::front {

// A directive's result: the texts in order; an absent entry stands for
// an @nil element (allowed only where the caller asked for it).
using string_list = std::vector<std::optional<std::string>>;

// Prints the engine's error as a failed run reports it: headline (if
// any), "error %s", the backtrace lines, "Additional information:", the
// dumped value and the opcode's name. Clears the error slot and the
// backtrace afterwards.
void report_run_failure(engine::engine* e, FILE* out, const char* headline);

// Runs the code at `address` (ending in 159) through the fragment 1
// <address> 29 and converts its single result to a string list; a string
// holding a NUL byte is refused. Failures are reported on standard
// output; returns 0 or -22.
int run_directive(engine::engine* e, int64_t address, const char* name, bool allow_nil,
                  string_list* out);

// Runs the code at `address` (ending in 159) for its single value, which
// stays on the stack. On failure the report goes to `report` with the
// headline and the stack is left as it was; returns 0 or negative.
int run_code(engine::engine* e, int64_t address, FILE* report, const char* headline);

// Runs the function at `address` (no arguments) through the fragment
// 1 <address> 6 58 159; its value stays on the stack. Failures are
// reported on standard error with the headline; returns 0 or negative.
int run_value(engine::engine* e, int64_t address, const char* headline);

// After a run from stack height `depth` and base pointer `bp` that ended
// normally. @exit ends a run where it stands, so inside a function it
// leaves that function's frame (and its callers') below the result on
// top: the result is kept as the run's single value and the frames are
// dropped. bp is restored either way.
void settle_exit(engine::engine* e, size_t depth, size_t bp);

// Pops every stack slot above `depth`.
void drop_to(engine::engine* e, size_t depth);

// Shell assignment: the value on top of the stack must be a non-empty
// array of strings; it is run as a command (no shell) and replaced by
// its output, whole or split into words. On failure *message gets the
// text to report; returns 0 or negative.
int shell_assign(engine::engine* e, bool split, const char** message);

// Splits text at runs of space, tab, CR and LF.
std::vector<std::string> split_words(const std::string& text);

}  // namespace kiln::front
