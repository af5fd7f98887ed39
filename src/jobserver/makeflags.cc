// MAKEFLAGS texts.
//
// Inherited text: words separated by blanks (spaces or tabs), leading
// blanks skipped. kiln looks at three kinds of word and ignores the rest:
//
//   -O<mode>                    output sync mode, judged by its first letter:
//                               l line (1), n none (0), t target (2),
//                               r recurse (3); blanks after "-O" are skipped,
//                               so "-O line" is the same as "-Oline"
//   --jobserver-fds=R,W         the parent's token channel: read and write
//                               descriptors
//   --jobserver-auth=R,W        the same in the newer spelling
//   --jobserver-auth=fifo:PATH  the parent's token channel is a named FIFO
//
// A value runs from after the "=" to the next blank. When a word occurs
// more than once the last one counts.
//
// Text for a sub-make, always beginning with a blank, one of:
//
//   " --jobserver-auth=fifo:PATH --jobserver-fds=R,W --jobserver-auth=R,W -j"
//                                                    FIFO channel
//   " --jobserver-auth=fifo:PATH -j"                 FIFO that could not be
//                                                    opened for the sub-make
//   " --jobserver-fds=R,W --jobserver-auth=R,W -j"   socket pair or pipe
//
// each followed by " -O<line|target|recurse>" when output sync is on:
// "recurse" for the recursive mode, "line" for line mode, "target"
// otherwise. R and W are descriptors the sub-make inherits; for a FIFO they
// are opened on it for that sub-make alone.
//
// The order of the jobserver words is what lets every make version from
// 4.0 on share the slots. A make takes the last "--jobserver-auth=" (or its
// older alias "--jobserver-fds=") it sees; one that knows no FIFO stops
// with an error when that last value is "fifo:PATH", so the descriptor
// form comes last. Makes before 4.2 know only "--jobserver-fds=" and skip
// the unknown "--jobserver-auth=" words. A client that understands only
// the FIFO looks for the "fifo:" word wherever it stands. The text is
// never cut: a long FIFO path is passed whole.
#include "jobserver/makeflags.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/settings.h"
#include "jobserver/jobserver.h"

namespace kiln::jobserver {

namespace {

inherited_flags g_inherited;
bool g_was_read = false;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

const char* skip_blanks(const char* p) {
  while (is_blank(*p)) p++;
  return p;
}

const char* word_end(const char* p) {
  while (*p && !is_blank(*p)) p++;
  return p;
}

bool has_prefix(const char* word, size_t length, const char* prefix, size_t prefix_length) {
  return length >= prefix_length && memcmp(word, prefix, prefix_length) == 0;
}

// Applies the mode letter found after "-O".
void take_sync_letter(char letter, inherited_flags* out) {
  switch (letter) {
    case 'l': out->output_sync = sync_line; break;
    case 'n': out->output_sync = sync_none; break;
    case 't': out->output_sync = sync_target; break;
    case 'r': out->output_sync = sync_recurse; break;
    default: fputs("kiln: invalid output sync mode in MAKEFLAGS, using default\n", stderr);
  }
}

}  // namespace

inherited_flags parse_makeflags(const char* text) {
  static const char k_fds[] = "--jobserver-fds=";
  static const char k_auth[] = "--jobserver-auth=";
  inherited_flags out;
  const char* p = skip_blanks(text);
  while (*p) {
    const char* word = p;
    p = word_end(word);
    size_t length = static_cast<size_t>(p - word);
    if (has_prefix(word, length, "-O", 2)) {
      const char* mode = word + 2;
      if (mode == p) {  // "-O" alone: the mode is the next word
        mode = skip_blanks(p);
        p = word_end(mode);
      }
      take_sync_letter(*mode, &out);
    } else if (has_prefix(word, length, k_fds, sizeof k_fds - 1)) {
      out.has_fds = true;
      out.fds.assign(word + sizeof k_fds - 1, p);
    } else if (has_prefix(word, length, k_auth, sizeof k_auth - 1)) {
      out.has_auth = true;
      out.auth.assign(word + sizeof k_auth - 1, p);
    }
    p = skip_blanks(p);
  }
  // The parent synchronises output when the mode it passed is not none.
  out.parent_syncs_output = out.output_sync == sync_line || out.output_sync == sync_target ||
                            out.output_sync == sync_recurse;
  return out;
}

const inherited_flags& read_makeflags() {
  if (g_was_read) return g_inherited;
  g_was_read = true;
  const char* text = getenv("MAKEFLAGS");
  if (text) g_inherited = parse_makeflags(text);
  unsetenv("MAKEFLAGS");
  // Checked now, before kiln opens anything of its own.
  const std::string& pair = g_inherited.has_fds ? g_inherited.fds : g_inherited.auth;
  int r = -1, w = -1;
  bool names_pair = (g_inherited.has_fds || g_inherited.has_auth) && !pair.starts_with("fifo:") &&
                    sscanf(pair.c_str(), "%d,%d", &r, &w) == 2;
  if (names_pair && !(is_channel(r) && is_channel(w))) g_inherited.descriptors_stale = true;
  return g_inherited;
}

const inherited_flags& inherited() { return g_inherited; }

bool is_channel(int fd) {
  struct stat st;
  if (fd < 0 || fcntl(fd, F_GETFD) < 0 || fstat(fd, &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

std::string makeflags_for_submake(const submake_channel& channel, bool sync_on, bool recurse,
                                  int mode) {
  std::string text;
  const std::string& fifo = fifo_path();
  if (!fifo.empty()) text = " --jobserver-auth=fifo:" + fifo;
  if (fifo.empty() || channel.read_fd >= 0) {
    char buf[64];
    snprintf(buf, sizeof buf, " --jobserver-fds=%d,%d --jobserver-auth=%d,%d", channel.read_fd,
             channel.write_fd, channel.read_fd, channel.write_fd);
    text += buf;
  }
  text += " -j";
  if (sync_on) {
    text += recurse ? " -Orecurse" : mode == sync_line ? " -Oline" : " -Otarget";
  }
  return text;
}

}  // namespace kiln::jobserver
