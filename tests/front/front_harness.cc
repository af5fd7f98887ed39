#include "front_harness.h"

#include <unistd.h>

#include <cstdio>

#include "engine/bytecode.h"

namespace kiln::front::testing {

namespace {

std::string read_all(FILE* f) {
  std::string s;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

}  // namespace

parse_result capture_calls(int (*fn)(void*), void* data) {
  fflush(stdout);
  fflush(stderr);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  int saved_out = dup(1);
  int saved_err = dup(2);
  dup2(fileno(out), 1);
  dup2(fileno(err), 2);
  parse_result r;
  r.rc = fn(data);
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  r.out = read_all(out);
  r.err = read_all(err);
  fclose(out);
  fclose(err);
  return r;
}

kilnfile_runner::kilnfile_runner() { engine::engine_init(&e_, 0); }

kilnfile_runner::~kilnfile_runner() {
  while (e_.stack.length > 0) engine::pop(&e_);
  engine::engine_free(&e_);
}

parse_result kilnfile_runner::parse(const std::string& text) {
  parse_context ctx;
  ctx.file_name = "Kilnfile";
  return parse(text, ctx);
}

parse_result kilnfile_runner::parse(const std::string& text, parse_context& ctx) {
  ctx.eng = &e_;
  ctx.rules = &rules_;
  struct args {
    const std::string* text;
    parse_context* ctx;
  } a{&text, &ctx};
  return capture_calls(
      [](void* p) {
        auto* x = static_cast<args*>(p);
        return parse_text(*x->text, *x->ctx);
      },
      &a);
}

engine::value kilnfile_runner::var(const char* name) {
  engine::value* v = engine::scope_find_cstr(e_.current_scope.scope, name, false);
  return v ? *v : engine::make_nil();
}

std::vector<uint8_t> kilnfile_runner::code_from(size_t from) const {
  return std::vector<uint8_t>(e_.bytecode.bytes + from, e_.bytecode.bytes + e_.bytecode.length);
}

code& code::op(unsigned opcode) {
  engine::emit_opcode(bytes, opcode);
  return *this;
}

code& code::d(double x) { return imm(1, x); }

code& code::n(double x) { return imm(9, x); }

code& code::imm(unsigned opcode, double x) {
  engine::emit_opcode(bytes, opcode);
  engine::emit_immediate(bytes, x);
  return *this;
}

}  // namespace kiln::front::testing
