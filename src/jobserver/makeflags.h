// MAKEFLAGS: how a parent make tells kiln about its jobserver and output
// synchronisation, and how kiln tells its sub-makes about its own.
//
// kiln reads MAKEFLAGS exactly once at start-up and then removes it from
// its environment, so that no child inherits the parent's text; a sub-make
// gets a text of kiln's own making, set only around its spawn. See
// makeflags.cc for the format of both texts.
#pragma once

#include <string>

namespace kiln::jobserver {

// What kiln takes from an inherited MAKEFLAGS text.
struct inherited_flags {
  int output_sync = 4;               // output_sync_mode; sync_unset (4) when no valid -O word
  bool parent_syncs_output = false;  // an -O word named line, target or recurse
  bool has_fds = false;              // a "--jobserver-fds=" word was found
  std::string fds;                   // its value, e.g. "3,4"
  bool has_auth = false;             // a "--jobserver-auth=" word was found
  std::string auth;                  // its value, "R,W" or "fifo:PATH"
  // Set by read_makeflags when the descriptor pair named is not open as a
  // pipe or socket at start-up: a make that does not treat kiln as a
  // sub-make closes them but still names them, and kiln's own files would
  // later take those numbers.
  bool descriptors_stale = false;
};

// Parses a MAKEFLAGS text. An -O word whose mode letter is unknown prints
// "kiln: invalid output sync mode in MAKEFLAGS, using default" on standard
// error and leaves the mode as it was.
inherited_flags parse_makeflags(const char* text);

// Reads MAKEFLAGS from the environment (once; later calls return the first
// result), keeps what it found for jobserver_join() and removes the
// variable from the environment.
const inherited_flags& read_makeflags();

// Whether the descriptor is open as a pipe, FIFO or socket.
bool is_channel(int fd);

// What read_makeflags() found (all unset before it ran).
const inherited_flags& inherited();

struct submake_channel;  // jobserver.h

// The MAKEFLAGS text for a sub-make: the channel in use (the FIFO's path
// and the descriptors the sub-make inherits, or the descriptors alone),
// "-j", and the output sync word when sync_on ("-Orecurse" when recurse,
// else "-Oline" for mode 1 and "-Otarget" otherwise). Always begins with a
// blank.
std::string makeflags_for_submake(const submake_channel& channel, bool sync_on, bool recurse,
                                  int mode);

}  // namespace kiln::jobserver
