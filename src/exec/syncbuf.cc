#include "exec/syncbuf.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/settings.h"

namespace kiln::exec {

namespace {

// Free chunks, linked through their next pointer.
syncbuf_links* cache_head = nullptr;
size_t cache_count = 0;
size_t cache_limit = 10;  // 2 * jobs + 8 with the default of one job

syncbuf_chunk* as_chunk(syncbuf_links* links) { return reinterpret_cast<syncbuf_chunk*>(links); }

syncbuf_chunk* chunk_take() {
  syncbuf_chunk* chunk;
  if (cache_head) {
    chunk = as_chunk(cache_head);
    cache_head = cache_head->next;
    cache_count--;
  } else {
    chunk = static_cast<syncbuf_chunk*>(malloc(sizeof(syncbuf_chunk)));
    if (!chunk) abort();
  }
  chunk->used = 0;
  return chunk;
}

void chunk_release(syncbuf_chunk* chunk) {
  if (cache_count < cache_limit) {
    chunk->link.next = cache_head;
    cache_head = &chunk->link;
    cache_count++;
  } else {
    free(chunk);
  }
}

void link_last(syncbuf* buf, syncbuf_chunk* chunk) {
  chunk->link.prev = buf->head.prev;
  chunk->link.next = &buf->head;
  buf->head.prev->next = &chunk->link;
  buf->head.prev = &chunk->link;
}

// Escapes are passed up unchanged when this kiln's standard output is a
// pipe to a parent kiln that synchronises output itself.
bool parent_keeps_escapes(int fd) {
  return fd == 1 && cfg.kilnpid_present && cfg.parent_syncs_output && cfg.stdout_is_pipe;
}

}  // namespace

void syncbuf_init(syncbuf* buf) {
  buf->head.prev = &buf->head;
  buf->head.next = &buf->head;
  buf->flags = 0;
}

bool syncbuf_empty(const syncbuf* buf) { return buf->head.next == &buf->head; }

void syncbuf_append(syncbuf* buf, const char* bytes, size_t length) {
  if (length == 0) return;
  if (memchr(bytes, 27, length)) buf->flags |= k_syncbuf_saw_escape;
  if (syncbuf_empty(buf)) link_last(buf, chunk_take());
  while (length > 0) {
    syncbuf_chunk* last = as_chunk(buf->head.prev);
    size_t room = k_chunk_data - last->used;
    if (room == 0) {
      link_last(buf, chunk_take());
      continue;
    }
    size_t n = length < room ? length : room;
    memcpy(last->data + last->used, bytes, n);
    last->used = static_cast<uint16_t>(last->used + n);
    bytes += n;
    length -= n;
  }
}

void syncbuf_strip_escapes(syncbuf* buf) {
  // 0: plain text; 1: just saw ESC; 2: inside a control sequence.
  int state = 0;
  for (syncbuf_links* l = buf->head.next; l != &buf->head; l = l->next) {
    syncbuf_chunk* chunk = as_chunk(l);
    size_t out = 0;
    for (size_t i = 0; i < chunk->used; i++) {
      char c = chunk->data[i];
      if (state == 2) {
        if (c >= 64 && c <= 126) state = 0;
        continue;
      }
      if (state == 1) {
        if (c == '[') {
          state = 2;
          continue;
        }
        // An ESC not followed by '[' is an ordinary byte; it was held back.
        chunk->data[out++] = 27;
        state = 0;
      }
      if (c == 27) {
        state = 1;
        continue;
      }
      chunk->data[out++] = c;
    }
    if (state == 1 && (l->next == &buf->head || as_chunk(l->next)->used == 0 ||
                       as_chunk(l->next)->data[0] != '[')) {
      // The ESC ends this chunk and no '[' follows: keep it where it was.
      chunk->data[out++] = 27;
      state = 0;
    }
    chunk->used = static_cast<uint16_t>(out);
  }
}

void syncbuf_flush(syncbuf* buf, int fd) {
  if ((buf->flags & k_syncbuf_saw_escape) && !isatty(fd) && !parent_keeps_escapes(fd)) {
    syncbuf_strip_escapes(buf);
  }
  while (!syncbuf_empty(buf)) {
    syncbuf_chunk* chunk = as_chunk(buf->head.next);
    write_all(fd, chunk->data, chunk->used);
    chunk->link.next->prev = &buf->head;
    buf->head.next = chunk->link.next;
    chunk_release(chunk);
  }
  buf->flags = 0;
}

void syncbuf_cache_set_limit(size_t chunks) {
  cache_limit = chunks;
  while (cache_count > cache_limit) {
    syncbuf_links* l = cache_head;
    cache_head = l->next;
    cache_count--;
    free(as_chunk(l));
  }
}

size_t syncbuf_cache_count() { return cache_count; }

size_t write_all(int fd, const char* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace kiln::exec
