#include "front/directive.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/result_codes.h"
#include "engine/bytecode.h"
#include "ext/extension.h"

namespace kiln::front {

namespace eng = kiln::engine;

namespace {

// A fragment: opcode 1 with an address, then the given tail opcodes.
std::vector<uint8_t> fragment(int64_t address, std::initializer_list<unsigned> tail) {
  std::vector<uint8_t> code;
  eng::emit_opcode(code, eng::op_push_double);
  eng::emit_immediate(code, static_cast<double>(address));
  for (unsigned op : tail) eng::emit_opcode(code, op);
  return code;
}

// Directive results name files and targets, which cannot hold a NUL
// byte.
bool usable_name(const eng::str_obj* s, const char* directive) {
  if (!memchr(s->bytes, '\0', s->length)) return true;
  printf("string with NUL byte for directive %s\n", directive);
  return false;
}

int run_fragment(eng::engine* e, const std::vector<uint8_t>& code, FILE* report,
                 const char* headline) {
  size_t depth = e->stack.length;
  size_t bp = e->bp;
  int rc = eng::engine_run(e, code.data(), code.size());
  if (rc < 0) {
    report_run_failure(e, report, headline);
    drop_to(e, depth);
    return rc;
  }
  settle_exit(e, depth, bp);
  eng::clear_error(e);
  if (e->stack.length != depth + 1) {
    fprintf(report, "can't get item from stack in %s\n", headline ? headline : "directive");
    drop_to(e, depth);
    return base::rc_invalid;
  }
  return 0;
}

}  // namespace

void settle_exit(eng::engine* e, size_t depth, size_t bp) {
  if (e->err.code == 1 && e->stack.length > depth + 1) {
    // The result moves down to the first slot of the run; what lay
    // between (the frames of the functions @exit left) is dropped with
    // the slot it replaces.
    eng::value result = e->stack.items[e->stack.length - 1];
    e->stack.items[e->stack.length - 1] = e->stack.items[depth];
    e->stack.items[depth] = result;
    e->bp = depth;
    drop_to(e, depth + 1);
  }
  e->bp = bp;
}

void drop_to(eng::engine* e, size_t depth) {
  // A failed run may leave bp inside its frame; parse-time runs start
  // and end at the bottom frame.
  if (e->bp > depth) e->bp = depth;
  while (e->stack.length > depth) {
    if (eng::pop(e) < 0) break;
  }
}

void report_run_failure(eng::engine* e, FILE* out, const char* headline) {
  if (out == stdout) fflush(stderr);
  if (out == stderr) fflush(stdout);
  if (headline) fputs(headline, out);
  fprintf(out, "error %s\n", ext::script_error_message(e->err.code));
  fputs("Backtrace:\n", out);
  for (size_t i = 0; i < e->backtrace.length; i++) {
    eng::value v = e->backtrace.items[i];
    if (v.type == eng::t_str) {
      fwrite(v.str->bytes, 1, v.str->length, out);
      fputc('\n', out);
    } else {
      fputs("(-)\n", out);
    }
  }
  fputs("Additional information:\n", out);
  fflush(out);
  // value_dump writes to the stream it is given.
  eng::value_dump(out, e->err.info);
  fputc('\n', out);
  fprintf(out, "%s\n", ext::opcode_name(e->err.opcode));
  fflush(out);
  eng::backtrace_clear(e);
  eng::clear_error(e);
}

int run_code(eng::engine* e, int64_t address, FILE* report, const char* headline) {
  return run_fragment(e, fragment(address, {eng::op_jump}), report, headline);
}

int run_value(eng::engine* e, int64_t address, const char* headline) {
  return run_fragment(
      e, fragment(address, {eng::op_make_fun, eng::op_call_if_fun, eng::op_exit}), stderr,
      headline);
}

int run_directive(eng::engine* e, int64_t address, const char* name, bool allow_nil,
                  string_list* out) {
  out->clear();
  std::string headline = std::string("Error executing bytecode for ") + name + " directive\n";
  size_t depth = e->stack.length;
  size_t bp = e->bp;
  std::vector<uint8_t> code = fragment(address, {eng::op_jump});
  int rc = eng::engine_run(e, code.data(), code.size());
  if (rc < 0) {
    report_run_failure(e, stdout, headline.c_str());
    drop_to(e, depth);
    return base::rc_invalid;
  }
  settle_exit(e, depth, bp);
  eng::clear_error(e);
  if (e->stack.length != depth + 1) {
    printf("can't get item from stack in %s\n", name);
    drop_to(e, depth);
    return base::rc_invalid;
  }
  eng::value v = e->stack.items[e->stack.length - 1];
  rc = 0;
  if (v.type == eng::t_array) {
    for (size_t i = 0; i < v.array->size; i++) {
      eng::value item = v.array->items[i];
      if (item.type == eng::t_str) {
        if (!usable_name(item.str, name)) {
          rc = base::rc_invalid;
          break;
        }
        out->emplace_back(std::string(item.str->bytes, item.str->length));
      } else if (item.type == eng::t_nil && allow_nil) {
        out->emplace_back(std::nullopt);
      } else {
        printf("expected string or @nil, got type %d for directive %s\n",
               static_cast<int>(item.type), name);
        rc = base::rc_invalid;
        break;
      }
    }
  } else if (v.type == eng::t_str) {
    if (usable_name(v.str, name)) {
      out->emplace_back(std::string(v.str->bytes, v.str->length));
    } else {
      rc = base::rc_invalid;
    }
  } else {
    printf("expected str or array, got type %d in %s\n", static_cast<int>(v.type), name);
    rc = base::rc_invalid;
  }
  drop_to(e, depth);
  if (rc < 0) out->clear();
  return rc;
}

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < text.size()) {
    while (i < text.size() && is_blank(text[i])) i++;
    size_t start = i;
    while (i < text.size() && !is_blank(text[i])) i++;
    if (i > start) words.emplace_back(text, start, i - start);
  }
  return words;
}

namespace {

// Runs argv with standard input /dev/null and standard output a pipe;
// collects the output. Returns 0, or -1 on a read error or a non-zero
// exit status.
int capture_output(const std::vector<std::string>& args, std::string* output) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(1);
  }
  close(fds[1]);
  // The buffer starts at 2048 bytes and, whenever fewer than 1025 bytes
  // are free before a read, grows to twice its size plus 1025.
  std::vector<char> buf(2048);
  size_t used = 0;
  bool failed = false;
  for (;;) {
    if (buf.size() - used < 1025) buf.resize(buf.size() * 2 + 1025);
    ssize_t n = read(fds[0], buf.data() + used, 1024);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed = true;
      break;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  output->assign(buf.data(), used);
  return 0;
}

}  // namespace

int shell_assign(eng::engine* e, bool split, const char** message) {
  eng::value v = e->stack.items[e->stack.length - 1];
  std::vector<std::string> args;
  bool ok = v.type == eng::t_array && v.array->size > 0;
  for (size_t i = 0; ok && i < v.array->size; i++) {
    eng::value item = v.array->items[i];
    if (item.type != eng::t_str) {
      ok = false;
    } else {
      args.emplace_back(item.str->bytes, item.str->length);
    }
  }
  if (!ok) {
    *message = "shell-assign supported only from non-empty array of strings";
    return base::rc_invalid;
  }
  std::string output;
  if (e->no_side_effects || capture_output(args, &output) < 0) {
    *message = "shell-assign failed";
    return -1;
  }
  eng::pop(e);
  if (!split) {
    eng::str_obj* s = eng::string_new(e, output.data(), output.size());
    if (!s) {
      *message = "shell-assign failed in cinder (OOM)";
      return base::rc_no_memory;
    }
    eng::value sv = eng::make_object(eng::t_str, s);
    eng::push_value(e, sv);
    eng::value_unref(e, sv);
    return 0;
  }
  eng::array_obj* a = eng::array_new(e);
  if (!a) {
    *message = "shell-assign failed in cinder (OOM)";
    return base::rc_no_memory;
  }
  eng::value av = eng::make_object(eng::t_array, a);
  int rc = eng::push_value(e, av);
  eng::value_unref(e, av);
  if (rc < 0) return rc;
  for (const std::string& w : split_words(output)) {
    // The word stays rooted on the C stack while the array grows.
    int64_t slot = eng::cstack_string_new(e, w.data(), w.size());
    if (slot < 0) {
      *message = "shell-assign failed in cinder (OOM)";
      return base::rc_no_memory;
    }
    rc = eng::array_push(e, a, e->cstack.items[slot]);
    eng::cstack_pop(e);
    if (rc < 0) {
      *message = "shell-assign failed in cinder (OOM)";
      return rc;
    }
  }
  return 0;
}

}  // namespace kiln::front
