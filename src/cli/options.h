// The command line: program name and modes, options, usage text.
#pragma once

#include <cstdio>
#include <string>

namespace kiln::cli {

// The base name of argv[0], as kiln names itself in the usage text.
extern std::string program_name;

// Sets the mode and the short-name flag from the program name: klna
// (all), klnt (this) and klnp (project).
void mode_from_program_name(const char* argv0);

// Prints the usage text for the way kiln was started (on standard error
// for -h and errors).
void print_usage(FILE* out);

// --help: the usage and one line per option on standard output.
void print_help();

// What option processing decided.
enum option_outcome : int {
  options_continue = -1,  // go on with start-up
  // otherwise the process exit status (0 for -v/-G, 2 for errors)
};

// Processes the options strictly in order (the first non-option ends
// them), then the combination checks. --help and --version, anywhere
// among the options, print and end with status 0 before anything else. Messages and the usage text are
// printed here. Returns options_continue, or the exit status. On success
// *first_target is the index of the first target name in argv.
int process_options(int argc, char** argv, int* first_target);

// Moves the NAME=value words among the n target words into
// cfg.overrides (a later word for the same name wins) and closes the
// gaps. Returns the number of target words left.
int take_variable_words(int n, char** words);

// The processor count from a sysconf result: below 1 prints "can't detect
// CPU count, assuming 1" and gives 1, above 384 prints "capping CPU count
// at 384" and gives 384.
int processor_count(long online);

}  // namespace kiln::cli
