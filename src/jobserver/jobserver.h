// The jobserver: job slots shared with a parent make and with sub-makes.
//
// A shared channel holds one byte (a token) per free job slot beyond the
// one slot every process owns implicitly. kiln takes a byte before it
// starts an additional child and writes a byte back when such a child
// ends; the last running child always holds the implicit slot and gives
// nothing back. kiln joins the channel of a parent make named in MAKEFLAGS,
// or creates its own: a FIFO under TMPDIR, else a socket pair, else a pipe.
// Sub-makes find the channel through the MAKEFLAGS text of makeflags.h:
// they inherit the descriptors of a socket pair or pipe; a FIFO is named by
// its path and also handed over as a pair of descriptors, for makes that
// only understand descriptors.
//
// A read or write that might block runs under a 10 ms one-shot real-time
// timer; the SIGALRM handler, installed without SA_RESTART by the build's
// signal set-up, makes such a call return with EINTR instead of waiting.
//
// This header also brings in makeflags.h and resource_limits.h, so that the
// build loop and the spawner need only this one.
#pragma once

#include <cstddef>
#include <string>

#include "jobserver/makeflags.h"
#include "jobserver/resource_limits.h"

namespace kiln::jobserver {

// Capacity of the token stack, the bytes taken and not yet given back.
constexpr size_t k_token_stack_size = 1024;

// Joins the parent's jobserver that read_makeflags() found. Returns 0 when
// it is usable, else -2 (none), -22 (malformed) or -9 (descriptors not
// open). A "fifo:" value is joined silently; descriptor values print
// "kiln: Jobserver available" or "kiln: Jobserver unavailable" on
// standard error.
int jobserver_join();

// The same from explicit values.
int jobserver_join(const inherited_flags& flags);
int jobserver_join(bool has_fds, const std::string& fds, bool has_auth, const std::string& auth);

// Creates an own jobserver holding j - 1 tokens ("."): a FIFO under TMPDIR
// (or /tmp) when cfg.jobserver_fifo is set, else or when that fails a
// socket pair, else a pipe. Never fails; a socket pair or pipe that cannot
// be made at all is an internal error ("28", "28.2").
void jobserver_create(int j);

// The last-resort transport on its own: a pipe holding j - 1 tokens.
void jobserver_create_pipe(int j);

// Takes one token without blocking: 1 when taken, 0 when none was there or
// another process was faster.
int jobserver_try_acquire();

// Gives one token back: the most recently taken byte, or "." when the
// token stack is empty. A token that cannot be written is lost.
void jobserver_release();

// Removes the FIFO this process created, once: ownership and path are
// cleared before the unlink. Safe to call any number of times.
void remove_fifo();

// Registers remove_fifo as the FIFO step of the fatal exit.
void install_fifo_hook();

// The channel's read and write descriptors (-1 before join or create).
// Children that are not sub-makes close them.
int read_fd();
int write_fd();

// The FIFO's path, own or inherited; empty when the channel is no FIFO or
// an own FIFO was removed.
const std::string& fifo_path();

// The channel as one sub-make inherits it: the read and write descriptors
// named in its MAKEFLAGS and left open across exec.
struct submake_channel {
  int read_fd = -1;
  int write_fd = -1;
  bool is_own_pair = false;  // opened for this sub-make alone; closed after its spawn
};

// The descriptors for the next sub-make. A socket pair or pipe is shared
// as it is. A FIFO is opened afresh, blocking and not close-on-exec: a
// sub-make that switches its read end to non-blocking mode then changes
// only its own open file, not kiln's nor a sibling's, and a make that reads
// its tokens with a blocking read never sees EAGAIN. Both are -1 when the
// FIFO cannot be opened; the sub-make then gets the path alone.
submake_channel open_submake_channel();

// Closes the pair that open_submake_channel opened; call after the spawn.
void close_submake_channel(submake_channel* c);

// Whether this process created the FIFO and still has to remove it.
bool owns_fifo();

// Number of bytes on the token stack.
size_t tokens_held();

// Forgets the channel: removes an owned FIFO, closes descriptors this
// process opened, empties the token stack. For tests.
void jobserver_reset();

}  // namespace kiln::jobserver
