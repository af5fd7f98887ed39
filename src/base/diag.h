// Diagnostics: the fatal exit, internal-error aborts and the -d trace.
//
// Every message starts with "kiln: ". Fatal ones read
// "kiln: *** <message>. Exiting." on standard error and end the process
// with status 2 after the running children are gone and the database is
// written back. Broken invariants print a short numeric marker on standard
// output and abort, so that a core dump shows where.
#pragma once

#include <cstdarg>

namespace kiln::diag {

// Ends the run: removes an owned jobserver FIFO, prints the message, waits
// for running children, writes the database back and exits with status 2.
// The steps that belong to later subsystems are the fatal-exit members of
// kiln::up (base/hooks.h), filled as the subsystems come up.
[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void vfatal(const char* fmt, va_list ap);

// Flushes both streams, restores SIGABRT, releases the script engine's
// large areas (up.release_engine) and aborts.
[[noreturn]] void internal_error();

// Prints the marker with puts on standard output, then internal_error().
[[noreturn]] void internal_error(const char* marker);

// Installs the handlers that turn crash signals into internal_error()
// with the marker "signal N". They run on an alternate signal stack, so
// that a C stack overflow is reported too.
void install_crash_handlers();

// Current depth of the -d trace; every trace line is indented by one space
// per level.
extern int depth;

// Writes the indentation of the current depth to standard output.
void trace_indent();

// Prints an indented -d trace line on standard output.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kiln::diag
