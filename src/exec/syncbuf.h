// syncbuf: a rule's output buffer while output synchronisation is on.
//
// A syncbuf is a circular doubly linked list of 4096-byte chunks with the
// syncbuf record itself as the sentinel. Appends go to the last chunk; a
// full chunk (4078 bytes used) makes a new one. Released chunks go to one
// process-wide cache of at most 2 * jobs + 8 chunks, so that many parallel
// jobs with small outputs do not allocate over and over.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::exec {

constexpr size_t k_chunk_size = 4096;
constexpr size_t k_chunk_data = 4078;  // 4096 minus the 18-byte header

// Links shared by the sentinel and the chunks.
struct syncbuf_links {
  syncbuf_links* prev;
  syncbuf_links* next;
};

#pragma pack(push, 1)
struct syncbuf_chunk {
  syncbuf_links link;  // first member: a chunk is its links
  uint16_t used;
  char data[k_chunk_data];
};
#pragma pack(pop)
static_assert(sizeof(syncbuf_chunk) == k_chunk_size, "a chunk is exactly 4096 bytes");

struct syncbuf {
  syncbuf_links head;  // sentinel: head.next is the first chunk, head.prev the last
  uint8_t flags = 0;   // bit 0: an ESC byte was appended
};

constexpr uint8_t k_syncbuf_saw_escape = 0x1;

// Makes an empty buffer.
void syncbuf_init(syncbuf* buf);

// True when nothing is buffered.
bool syncbuf_empty(const syncbuf* buf);

// Appends bytes; an empty append does nothing. There is no upper bound.
void syncbuf_append(syncbuf* buf, const char* bytes, size_t length);

// Writes everything to fd (always 1 in a build) and empties the buffer.
// ANSI control sequences are stripped when an ESC was appended, fd is not
// a terminal, and kiln is not passing them up to a parent kiln that
// synchronises output itself.
void syncbuf_flush(syncbuf* buf, int fd);

// Strips ANSI control sequences (ESC '[' ... final byte 64..126) in place,
// chunk by chunk, carrying the state across chunk borders.
void syncbuf_strip_escapes(syncbuf* buf);

// Sets the cache capacity (2 * jobs + 8 at start-up).
void syncbuf_cache_set_limit(size_t chunks);

// Chunks currently held by the cache (for the memory statistics).
size_t syncbuf_cache_count();

// Writes all bytes, retrying on EINTR; returns how many were written.
size_t write_all(int fd, const char* bytes, size_t length);

}  // namespace kiln::exec
