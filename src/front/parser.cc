// The Kilnfile parser: file structure, top-level statements, variable
// definitions, functions, scopes and parse-time directives.
#include "front/parser_internal.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "base/hooks.h"
#include "base/result_codes.h"
#include "front/builtin_table.h"
#include "front/codegen.h"
#include "front/directive.h"
#include "front/lexer.h"

namespace kiln::front {

namespace detail {

bool parser::fail(const char* fmt, ...) {
  if (failed_) return false;
  failed_ = true;
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  // Spaces where a recipe line's tab belongs make the line a statement
  // of its own, which rarely parses; it may fail at its end of line.
  char hint[96] = "";
  int line = lex_.get_line();
  int n_spaces = after_recipe_spaces_;
  bool at_line_end = t_ == tok::newline || t_ == tok::end;
  if (n_spaces > 0 && (line == after_recipe_line_ ||
                       (line == after_recipe_line_ + 1 && at_line_end))) {
    char where[32] = "";
    if (line != after_recipe_line_) snprintf(where, sizeof where, " on line %d", after_recipe_line_);
    snprintf(hint, sizeof hint, " (did you mean TAB instead of %d space%s%s?)", n_spaces,
             n_spaces == 1 ? "" : "s", where);
  }
  fflush(stdout);
  if (ctx_.leading_path.empty()) {
    fprintf(stderr, "kiln: %s at file %s line %d col %d%s.\n", msg, ctx_.file_name.c_str(),
            line, lex_.get_column(), hint);
  } else {
    fprintf(stderr, "kiln: %s at file %s/%s line %d col %d%s\n", msg, ctx_.leading_path.c_str(),
            ctx_.file_name.c_str(), line, lex_.get_column(), hint);
  }
  if (open_function_line_ >= 0) {
    fprintf(stderr, "kiln: note: in the body of the @function $%s of line %d.\n",
            open_function_.c_str(), open_function_line_);
  }
  return false;
}

int open_nesting = 0;

bool parser::nested(bool (parser::*construct)()) {
  if (open_nesting >= k_max_nesting) return fail("nesting deeper than %d levels", k_max_nesting);
  ++open_nesting;
  bool ok = (this->*construct)();
  --open_nesting;
  return ok;
}


// ---------------------------------------------------------------------------
// File structure

int parser::run() {
  if (ctx_.scope_index >= 0) {
    scope_ = e()->object_cache.items[ctx_.scope_index];
  } else {
    scope_ = e()->current_scope;
  }
  advance();
  if (!declaration()) return base::rc_parse_failed;
  if (ctx_.declaration_only) return base::rc_parse_failed;
  if (!statement_list(&parser::at_end_of_file)) return base::rc_parse_failed;
  if (t_ != tok::end) {
    fail("syntax error");
    return base::rc_parse_failed;
  }
  return 0;
}

bool parser::declaration() {
  while (t_ == tok::newline) advance();
  if (t_ != tok::kw_toplevel && t_ != tok::kw_subfile) return fail("syntax error");
  bool is_top = t_ == tok::kw_toplevel;
  advance();
  if (t_ != tok::newline && t_ != tok::end) return fail("syntax error");
  ctx_.declaration_seen = true;
  ctx_.declared_toplevel = is_top;
  if (is_top != ctx_.expects_toplevel) {
    if (ctx_.rules && ctx_.rules->probe_mode) {
      failed_ = true;
      return false;
    }
    return fail(is_top ? "Expected @subfile, got @toplevel. Exiting.\n"
                       : "Expected @toplevel, got @subfile. Exiting.\n");
  }
  if (ctx_.declaration_only) return true;
  accept(tok::newline);
  return true;
}

bool parser::statement_list(bool (parser::*is_end)() const) {
  while (!(this->*is_end)()) {
    if (!statement()) return false;
  }
  return true;
}

bool parser::end_of_statement() {
  if (t_ == tok::newline) {
    advance();
    return true;
  }
  if (t_ == tok::end) return true;
  return fail("syntax error");
}

bool parser::statement() {
  if (acting() && t_ != tok::newline) {
    run_context& rc = current_run_context();
    rc.line = lex_.get_line();
    rc.dir_prefix = ctx_.dir_prefix;
  }
  switch (t_) {
    case tok::newline: advance(); return true;
    case tok::varref: {
      std::string name = val_.text;
      advance();
      switch (t_) {
        case tok::assign: case tok::default_assign: case tok::plus_assign:
        case tok::call_if_fun: case tok::shell_assign: case tok::shell_assign_split:
          return variable_definition(name);
        default:
          // A variable reference that is no assignment starts a rule.
          return rule_statement(&name);
      }
    }
    case tok::kw_function: return function_definition();
    case tok::kw_beginscope: case tok::kw_beginholeyscope: return nested(&parser::scope_block);
    case tok::kw_if: return nested(&parser::toplevel_if);
    case tok::kw_call: return call_directive();
    case tok::kw_print: return print_directive();
    case tok::kw_version: return version_statement();
    case tok::lua_text: return fail("Lua not compiled in");
    case tok::kw_order: return order_directive();
    case tok::kw_fileinclude: case tok::kw_dirinclude: case tok::kw_projdirinclude:
      return include_directive();
    case tok::kw_cdepincludes: return cdepincludes_directive();
    case tok::freeform: case tok::string: case tok::lparen:
    case tok::kw_phonyrule: case tok::kw_mayberule: case tok::kw_distrule:
    case tok::kw_rectgtrule: case tok::kw_detouchrule: case tok::kw_deponly:
    case tok::kw_cleanhook: case tok::kw_distcleanhook: case tok::kw_bothcleanhook:
    case tok::kw_patrule: case tok::kw_disttgt:
      return rule_statement(nullptr);
    default:
      return fail("syntax error");
  }
}

bool parser::bind(const std::string& name, eng::value v) {
  if (!acting()) return true;
  int64_t index = eng::cache_add_string(e(), name.data(), name.size());
  if (index < 0) return fail("can't add symbol for function, probably out of memory");
  int rc = eng::scope_set(e(), scope(), e()->object_cache.items[index], v);
  if (rc < 0) return fail("out of memory");
  return true;
}

// ---------------------------------------------------------------------------
// Variable definitions

int64_t parser::compile_function_of(const std::string& name, bool is_append, int64_t old_index) {
  int64_t address = gen_.here();
  gen_.op_imm(eng::op_function, 0);
  if (is_append) {
    gen_.push_double(static_cast<double>(old_index));
    gen_.op(eng::op_cache_get);
    gen_.op(eng::op_call_if_fun);
    gen_.op(eng::op_dupnonrec);
  }
  if (!expression()) return -1;
  if (is_append) gen_.op(eng::op_embed_list);
  gen_.op(eng::op_return);
  int64_t index = 0;
  if (acting()) {
    index = eng::cache_add_string(e(), name.data(), name.size());
    if (index < 0) {
      fail("can't add symbol for function, probably out of memory");
      return -1;
    }
  }
  if (gen_.op_imm(eng::op_trailer, static_cast<double>(index)) < 0) {
    fail("out of memory");
    return -1;
  }
  return address;
}

bool parser::variable_definition(const std::string& name) {
  bool lazy = accept(tok::call_if_fun);
  tok kind = t_;
  if (kind == tok::shell_assign || kind == tok::shell_assign_split) {
    if (lazy) return fail("syntax error");
    advance();
    int64_t address = compile_function_of(name, false, 0);
    if (address < 0) return false;
    if (!end_of_statement()) return false;
    if (!acting()) return true;
    std::string headline = "Error executing bytecode for var " + name + "\n";
    if (run_value(e(), address, headline.c_str()) < 0) return fail("error in assignment");
    const char* message = nullptr;
    int rc = shell_assign(e(), kind == tok::shell_assign_split, &message);
    if (rc < 0) {
      drop_to(e(), 0);
      return fail("%s", message ? message : "shell-assign failed");
    }
    bool ok = bind(name, e()->stack.items[e()->stack.length - 1]);
    drop_to(e(), 0);
    return ok;
  }
  if (kind != tok::assign && kind != tok::default_assign && kind != tok::plus_assign) {
    return fail("syntax error");
  }
  advance();
  int64_t old_index = 0;
  if (kind == tok::plus_assign && acting()) {
    eng::value* old = eng::scope_find(scope(), name.data(), name.size(), true);
    if (!old) return fail("Can't find old symbol function for %s", name.c_str());
    old_index = eng::cache_add_value(e(), *old);
    if (old_index < 0) return fail("out of memory");
  }
  int64_t address = compile_function_of(name, kind == tok::plus_assign, old_index);
  if (address < 0) return false;
  if (!end_of_statement()) return false;
  if (!acting()) return true;
  if (kind == tok::default_assign) {
    bool exists = eng::scope_find(scope(), name.data(), name.size(), !lazy) != nullptr;
    if (exists) return true;
  }
  if (lazy) return bind(name, eng::make_typed(eng::t_fun, static_cast<double>(address)));
  std::string headline = "Error executing bytecode for var " + name + "\n";
  if (run_value(e(), address, headline.c_str()) < 0) {
    return fail(kind == tok::plus_assign ? "error in += assignment" : "error in assignment");
  }
  bool ok = bind(name, e()->stack.items[e()->stack.length - 1]);
  drop_to(e(), 0);
  return ok;
}

// ---------------------------------------------------------------------------
// Functions

bool parser::function_definition() {
  int open_line = lex_.get_line();
  advance();
  if (t_ != tok::varref) return fail("syntax error");
  std::string name = val_.text;
  advance();
  if (!expect(tok::lparen)) return false;
  gen_.open_function();
  if (t_ != tok::rparen) {
    for (;;) {
      if (t_ != tok::varref) return fail("syntax error");
      if (gen_.add_local(val_.text) == base::rc_exists) return fail("can't have two same names");
      advance();
      if (!accept(tok::comma)) break;
    }
  }
  if (!expect(tok::rparen)) return false;
  int k = gen_.n_params();
  gen_.end_parameters();
  int64_t address = gen_.here();
  if (!bind(name, eng::make_typed(eng::t_fun, static_cast<double>(address)))) return false;
  if (!end_of_statement()) return false;
  gen_.op_imm(eng::op_function, k);
  open_function_line_ = open_line;
  open_function_ = name;
  while (t_ == tok::newline) advance();
  while (t_ == tok::kw_locvar) {
    advance();
    if (t_ != tok::varref) return fail("syntax error");
    std::string local = val_.text;
    advance();
    if (!expect(tok::assign) || !expression()) return false;
    if (gen_.add_local(local) == base::rc_exists) return fail("can't have two same names");
    if (!end_of_statement()) return false;
    while (t_ == tok::newline) advance();
  }
  if (!body_list(&parser::at_endfunction)) return false;
  if (t_ == tok::end) {
    open_function_line_ = -1;
    return fail("missing @endfunction for the @function $%s of line %d", name.c_str(), open_line);
  }
  if (!expect(tok::kw_endfunction)) return false;
  open_function_line_ = -1;
  gen_.op(eng::op_nil);
  gen_.push_double(k);
  gen_.push_double(gen_.n_locals());
  gen_.op(eng::op_return_counts);
  int64_t index = 0;
  if (acting()) {
    index = eng::cache_add_string(e(), name.data(), name.size());
    if (index < 0) return fail("can't add symbol for function, probably out of memory");
  }
  gen_.op_imm(eng::op_trailer, static_cast<double>(index));
  gen_.close_function();
  return end_of_statement();
}


// ---------------------------------------------------------------------------
// Scopes, conditions and directives at the top level

bool parser::scope_block() {
  bool holey = t_ == tok::kw_beginholeyscope;
  advance();
  std::string name;
  if (t_ == tok::varref) {
    name = val_.text;
    advance();
  }
  if (!end_of_statement()) return false;
  eng::value saved_scope = scope_;
  eng::value saved_current = e()->current_scope;
  if (acting()) {
    eng::scope_obj* s = eng::scope_new(e(), eng::k_root_scope_buckets, scope(), holey);
    if (!s) return fail("out of memory");
    eng::value sv = eng::make_object(eng::t_sc, s);
    // The object cache holds the scope from now on.
    bool ok = name.empty() || bind(name, sv);
    eng::value_unref(e(), sv);
    if (!ok) return false;
    scope_ = sv;
    eng::value_assign(e(), &e()->current_scope, sv);
  }
  bool ok = statement_list(&parser::at_endscope) && expect(tok::kw_endscope);
  if (acting()) {
    scope_ = saved_scope;
    eng::value_assign(e(), &e()->current_scope, saved_current);
  }
  return ok && end_of_statement();
}

bool parser::run_condition(bool* result) {
  *result = false;
  int64_t address = gen_.here();
  if (!expect(tok::lparen) || !expression() || !expect(tok::rparen)) return false;
  gen_.op(eng::op_exit);
  if (!acting()) return true;
  if (run_code(e(), address, stderr, "Error executing bytecode for @if directive\n") < 0) {
    return fail("error in @if");
  }
  eng::value v = e()->stack.items[e()->stack.length - 1];
  if (!eng::is_number_type(v.type)) {
    fprintf(stderr, "expected boolean, got type %d\n", static_cast<int>(v.type));
    drop_to(e(), 0);
    return fail("error in @if");
  }
  *result = v.num != 0;
  drop_to(e(), 0);
  return true;
}

bool parser::toplevel_if() {
  advance();
  bool outer = do_actions_;
  bool taken = false;
  bool cond = false;
  if (!run_condition(&cond)) return false;
  for (;;) {
    do_actions_ = outer && !taken && cond;
    gen_.set_enabled(do_actions_);
    taken = taken || cond;
    if (!end_of_statement() || !statement_list(&parser::at_endif_branch)) break;
    if (t_ == tok::kw_elseif) {
      advance();
      do_actions_ = outer && !taken;
      gen_.set_enabled(do_actions_);
      if (!run_condition(&cond)) break;
      continue;
    }
    if (t_ == tok::kw_else) {
      advance();
      cond = true;
      // The else branch must be the last one.
      do_actions_ = outer && !taken;
      gen_.set_enabled(do_actions_);
      taken = true;
      if (!end_of_statement() || !statement_list(&parser::at_endif_branch)) break;
      if (t_ != tok::kw_endif) {
        fail("syntax error");
        break;
      }
    }
    do_actions_ = outer;
    gen_.set_enabled(outer);
    return expect(tok::kw_endif) && end_of_statement();
  }
  do_actions_ = outer;
  gen_.set_enabled(outer);
  return false;
}

bool parser::call_value() {
  switch (t_) {
    case tok::kw_stdout: case tok::kw_stderr: case tok::kw_error: case tok::kw_dump:
    case tok::kw_addrule: case tok::kw_adddeps:
      return output_statement(false);
    default: break;
  }
  if (!expression()) return false;
  return gen_.op(eng::op_pop) >= 0;
}

bool parser::call_directive() {
  advance();
  int64_t address = gen_.here();
  if (!call_value()) return false;
  gen_.op(eng::op_nil);
  gen_.op(eng::op_exit);
  if (!end_of_statement()) return false;
  if (!acting()) return true;
  if (run_code(e(), address, stderr, "Error executing bytecode for call directive\n") < 0) {
    return fail("error in @call");
  }
  drop_to(e(), 0);
  return true;
}

bool parser::print_directive() {
  advance();
  if (t_ != tok::number) return fail("syntax error");
  double x = val_.number;
  advance();
  if (acting()) printf("%g\n", x);
  return end_of_statement();
}

bool parser::version_statement() {
  advance();
  if (!expect(tok::lparen)) return false;
  if (t_ != tok::string) return fail("syntax error");
  std::string id = val_.text;
  advance();
  if (!expect(tok::rparen)) return false;
  if (acting() && !(id.size() == 40 && known_revision(id.c_str()))) {
    fflush(stdout);
    fprintf(stderr, "Incompatible version of kiln installed, expected to contain git SHA1:\n%s\n",
            id.c_str());
    return fail("incompatible version");
  }
  return end_of_statement();
}


}  // namespace detail

using detail::parser;

int parse_stream(FILE* in, parse_context& ctx) {
  parser p(in, ctx);
  int rc = p.run();
  return rc < 0 ? -89 : 0;
}

int parse_text(const std::string& text, parse_context& ctx) {
  // fmemopen refuses an empty buffer; an empty temporary file stands in.
  FILE* in = text.empty() ? tmpfile() : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (!in) return base::rc_parse_failed;
  int rc = parse_stream(in, ctx);
  fclose(in);
  return rc;
}

bool known_revision(const char* hex40) {
  return up.is_known_revision && up.is_known_revision(hex40);
}

}  // namespace kiln::front
