#include "exec/syncbuf.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/settings.h"

namespace kiln::exec {
namespace {

// Everything in the buffer, in order, without flushing it.
std::string contents(syncbuf* buf) {
  std::string out;
  for (syncbuf_links* l = buf->head.next; l != &buf->head; l = l->next) {
    auto* chunk = reinterpret_cast<syncbuf_chunk*>(l);
    out.append(chunk->data, chunk->used);
  }
  return out;
}

size_t chunk_count(syncbuf* buf) {
  size_t n = 0;
  for (syncbuf_links* l = buf->head.next; l != &buf->head; l = l->next) n++;
  return n;
}

// Flushes into a pipe and returns what came out.
std::string flush_through_pipe(syncbuf* buf) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  syncbuf_flush(buf, fds[1]);
  close(fds[1]);
  std::string out;
  char piece[4096];
  ssize_t n;
  while ((n = read(fds[0], piece, sizeof piece)) > 0) out.append(piece, n);
  close(fds[0]);
  return out;
}

TEST(Syncbuf, AppendsAcrossChunkBordersInOrder) {
  syncbuf buf;
  syncbuf_init(&buf);
  syncbuf_append(&buf, "", 0);
  EXPECT_TRUE(syncbuf_empty(&buf));
  std::string expected;
  for (int i = 0; i < 3000; i++) {
    std::string line = "line " + std::to_string(i) + "\n";
    syncbuf_append(&buf, line.data(), line.size());
    expected += line;
  }
  EXPECT_EQ(contents(&buf), expected);
  EXPECT_EQ(chunk_count(&buf), (expected.size() + k_chunk_data - 1) / k_chunk_data);
  EXPECT_EQ(flush_through_pipe(&buf), expected);
  EXPECT_TRUE(syncbuf_empty(&buf));
}

TEST(Syncbuf, ReleasedChunksStayWithinTheCacheLimit) {
  syncbuf_cache_set_limit(3);
  syncbuf buf;
  syncbuf_init(&buf);
  std::string big(10 * k_chunk_data, 'x');
  syncbuf_append(&buf, big.data(), big.size());
  flush_through_pipe(&buf);
  EXPECT_EQ(syncbuf_cache_count(), 3u);
  syncbuf_cache_set_limit(1);
  EXPECT_EQ(syncbuf_cache_count(), 1u);
  syncbuf_cache_set_limit(10);
}

TEST(Syncbuf, StripsControlSequencesButKeepsLoneEscapes) {
  syncbuf buf;
  syncbuf_init(&buf);
  std::string text = "\x1b[1;31mred\x1b[0m plain \x1bX end\x1b";
  syncbuf_append(&buf, text.data(), text.size());
  syncbuf_strip_escapes(&buf);
  EXPECT_EQ(contents(&buf), "red plain \x1bX end\x1b");
  syncbuf_flush(&buf, -1);  // discard
}

TEST(Syncbuf, StripsASequenceSplitAcrossChunks) {
  for (size_t esc_at : {k_chunk_data - 1, k_chunk_data - 2, k_chunk_data - 4}) {
    syncbuf buf;
    syncbuf_init(&buf);
    std::string text(esc_at, 'a');
    text += "\x1b[01;32m";
    text += "green";
    syncbuf_append(&buf, text.data(), text.size());
    ASSERT_EQ(chunk_count(&buf), 2u);
    syncbuf_strip_escapes(&buf);
    EXPECT_EQ(contents(&buf), std::string(esc_at, 'a') + "green") << esc_at;
    syncbuf_flush(&buf, -1);  // discard
  }
}

TEST(Syncbuf, EscapeAtChunkEndWithoutBracketIsKept) {
  syncbuf buf;
  syncbuf_init(&buf);
  std::string text(k_chunk_data - 1, 'a');
  text += "\x1b" "b";
  syncbuf_append(&buf, text.data(), text.size());
  syncbuf_strip_escapes(&buf);
  EXPECT_EQ(contents(&buf), std::string(k_chunk_data - 1, 'a') + "\x1b" "b");
  syncbuf_flush(&buf, -1);
}

TEST(Syncbuf, FlushToAFileStripsUnlessAParentKilnKeepsThem) {
  syncbuf buf;
  syncbuf_init(&buf);
  std::string text = "\x1b[32mok\x1b[0m\n";
  syncbuf_append(&buf, text.data(), text.size());
  EXPECT_EQ(flush_through_pipe(&buf), "ok\n");

  // Under a parent kiln that synchronises output and reads our stdout
  // through a pipe, escapes go up unchanged; only fd 1 is excepted.
  cfg.kilnpid_present = cfg.parent_syncs_output = cfg.stdout_is_pipe = true;
  syncbuf_append(&buf, text.data(), text.size());
  EXPECT_EQ(flush_through_pipe(&buf), "ok\n");  // the pipe is not fd 1
  cfg.kilnpid_present = cfg.parent_syncs_output = cfg.stdout_is_pipe = false;
}

}  // namespace
}  // namespace kiln::exec
