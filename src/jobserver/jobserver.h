// The jobserver: job slots shared with make and with sub-makes.
//
// A shared channel holds one byte per free job slot beyond the one slot
// every process owns implicitly. kiln takes a byte before it starts an
// additional child and writes a byte back when such a child ends; the last
// running child always holds the implicit slot and gives nothing back.
// kiln joins a parent make's channel named in MAKEFLAGS, or creates its own:
// a FIFO (named in MAKEFLAGS as "--jobserver-auth=fifo:PATH"), else a
// socket pair, else a pipe (named as "--jobserver-fds=R,W
// --jobserver-auth=R,W"). Blocking token reads and writes run under a
// 10 ms one-shot timer whose SIGALRM handler (installed without
// SA_RESTART) makes them return with EINTR.
#pragma once

#include <string>

namespace kiln::jobserver {

// Joins the parent's jobserver from the MAKEFLAGS values: a "fifo:" auth
// value silently, descriptor values with "kiln: Jobserver available" or
// "kiln: Jobserver unavailable" on standard error. Returns 0, or -2 (none),
// -22 (malformed), -9 (descriptors not open).
int jobserver_join(bool has_fds, const std::string& fds, bool has_auth, const std::string& auth);

// Creates an own jobserver with j - 1 tokens: a FIFO under TMPDIR (or
// /tmp) when cfg.jobserver_fifo is set, else or on failure a socket pair,
// else a pipe. Never fails.
void jobserver_create(int j);

// Takes one token without blocking: 1 when taken, else 0.
int jobserver_try_acquire();

// Gives one token back: the most recently taken byte, or "." when none.
void jobserver_release();

// The MAKEFLAGS text for a sub-make (always starting with a blank).
std::string makeflags_for_submake(bool sync_on, bool recurse, int mode);

// Whether the load average allows another child.
bool load_ok();

// Removes the FIFO this process created; safe to call more than once.
void remove_fifo();

// Installs remove_fifo as the fatal exit's FIFO hook.
void install_fifo_hook();

// The channel's descriptors (-1 when none); children that are not
// sub-makes close them.
int read_fd();
int write_fd();

// The FIFO's path, own or inherited ("" when the channel is no FIFO), and
// whether this process created it.
const std::string& fifo_path();
bool owns_fifo();

// Number of taken bytes on the token stack.
size_t tokens_held();

// Forgets the channel (closing own descriptors); for tests.
void jobserver_reset();

}  // namespace kiln::jobserver
