// The Kilnfile parser and compiler of script code.
//
// Reading is token by token with one token of look-ahead. Expressions
// compile in order as they are read; an access expression (a variable
// with its postfixes) leaves its last access opcode pending, so that the
// caller can turn it into a load, a store or a deletion.
#include "front/parser.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "cli/settings.h"
#include "front/builtin_table.h"
#include "front/codegen.h"
#include "front/directive.h"
#include "front/lexer.h"

namespace kiln::front {

namespace eng = kiln::engine;

namespace {

// Operator levels, lowest first; 0 means "not a binary operator".
int binary_level(tok t) {
  switch (t) {
    case tok::or_or: return 1;
    case tok::and_and: return 2;
    case tok::pipe: return 3;
    case tok::caret: return 4;
    case tok::amp: return 5;
    case tok::equal_equal: case tok::not_equal: return 6;
    case tok::less: case tok::less_equal: case tok::greater: case tok::greater_equal: return 7;
    case tok::shift_left: case tok::shift_right: return 8;
    case tok::plus: case tok::minus: case tok::dot: return 9;
    case tok::star: case tok::slash: case tok::percent: return 10;
    default: return 0;
  }
}

unsigned binary_opcode(tok t) {
  switch (t) {
    case tok::pipe: return 13;
    case tok::caret: return 14;
    case tok::amp: return 12;
    case tok::equal_equal: return 7;
    case tok::not_equal: return 8;
    case tok::less: return 16;
    case tok::less_equal: return 18;
    case tok::greater: return 17;
    case tok::greater_equal: return 19;
    case tok::shift_left: return 20;
    case tok::shift_right: return 21;
    case tok::plus: return 22;
    case tok::minus: return 23;
    case tok::dot: return eng::op_str_append;
    case tok::star: return 24;
    case tok::slash: return 25;
    case tok::percent: return 26;
    default: return 0;
  }
}

// A setting directive used as a value: its keyword, message subject and
// the field it writes.
struct size_setting {
  tok kind;
  const char* subject;
  size_t settings::*field;  // nullptr: checked only
};

const size_setting k_size_settings[] = {
    {tok::kw_expecteddeps, "Expected deps", &settings::expected_deps},
    {tok::kw_expectedtotaltargets, "Expected total targets", nullptr},
    {tok::kw_expectedstrings, "Expected strings", &settings::expected_strings},
    {tok::kw_statcachesize, "Stat cache size", &settings::stat_cache_size},
    {tok::kw_accesscachesize, "Access cache size", &settings::access_cache_size},
    {tok::kw_stathashsize, "Stat hash size", &settings::stat_hash_size},
    {tok::kw_accesshashsize, "Access hash size", &settings::access_hash_size},
    {tok::kw_dbhashsize, "DB hash size", &settings::db_hash_size},
    {tok::kw_tsdbhashsize, "TSDB hash size", &settings::tsdb_hash_size},
};

// What an access expression left pending: 0 when its value is already on
// the stack.
struct access {
  unsigned pending = 0;
};

class parser {
 public:
  parser(FILE* in, parse_context& ctx) : lex_(in), ctx_(ctx), gen_(ctx.eng) {}

  int run();

 private:
  // Token handling.
  void advance() {
    val_ = token_value();
    t_ = lex_.next_token(val_);
  }
  bool accept(tok t) {
    if (t_ != t) return false;
    advance();
    return true;
  }
  bool expect(tok t) {
    if (accept(t)) return true;
    return fail("syntax error");
  }
  bool fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  eng::engine* e() const { return ctx_.eng; }
  eng::scope_obj* scope() const { return scope_.scope; }
  bool acting() const { return do_actions_; }

  // File structure and top-level statements.
  bool declaration();
  bool statement_list(bool (parser::*is_end)() const);
  bool at_end_of_file() const { return t_ == tok::end; }
  bool at_endif_branch() const {
    return t_ == tok::kw_elseif || t_ == tok::kw_else || t_ == tok::kw_endif || t_ == tok::end;
  }
  bool at_endscope() const { return t_ == tok::kw_endscope || t_ == tok::end; }
  bool statement();
  bool end_of_statement();
  bool variable_definition(const std::string& name);
  bool function_definition();
  bool scope_block();
  bool toplevel_if();
  bool call_directive();
  bool print_directive();
  bool version_statement();
  bool bind(const std::string& name, eng::value v);

  // Code compiled as directive fragments and functions.
  bool call_value();
  int64_t compile_function_of(const std::string& name, bool is_append, int64_t old_index);
  bool run_condition(bool* result);

  // Function bodies.
  bool body_list(bool (parser::*is_end)() const);
  bool at_endfunction() const { return t_ == tok::kw_endfunction || t_ == tok::end; }
  bool at_endwhile() const { return t_ == tok::kw_endwhile || t_ == tok::end; }
  bool at_endfor() const { return t_ == tok::kw_endfor || t_ == tok::end; }
  bool at_endonce() const { return t_ == tok::kw_endonce || t_ == tok::end; }
  bool body_statement();
  bool simple_statement();
  bool output_statement(bool in_function);
  bool if_statement();
  bool while_statement();
  bool for_statement();
  bool fordict_statement();
  bool once_statement();
  bool break_statement(bool is_break);
  bool return_statement();

  // Expressions.
  bool expression() { return binary(1); }
  bool binary(int min_level);
  bool binary_rest(int min_level);
  bool unary();
  bool postfix(access* a);
  bool postfixes(access* a);
  bool primary(access* a);
  bool emit_pending(access* a);
  bool store(access* a);
  bool remove(access* a);
  bool variable(access* a);
  bool prefixed_variable(access* a);
  bool bracket_access(access* a);
  bool builtin_call(const builtin_entry& b);
  bool arguments(int n);
  bool argument_list(int* count);
  bool array_literal();
  bool dict_literal();
  bool setting_value();
  bool version_value();
  bool name_constant(const std::string& name);
  bool scope_constant(eng::scope_obj* s);

  lexer lex_;
  parse_context& ctx_;
  codegen gen_;
  tok t_ = tok::end;
  token_value val_;
  bool do_actions_ = true;
  bool failed_ = false;
  eng::value scope_;  // the scope being compiled (held by the object cache)
};

bool parser::fail(const char* fmt, ...) {
  if (failed_) return false;
  failed_ = true;
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  fflush(stdout);
  if (ctx_.leading_path.empty()) {
    fprintf(stderr, "kiln: %s at file %s line %d col %d.\n", msg, ctx_.file_name.c_str(),
            lex_.get_line(), lex_.get_column());
  } else {
    fprintf(stderr, "kiln: %s at file %s/%s line %d col %d\n", msg, ctx_.leading_path.c_str(),
            ctx_.file_name.c_str(), lex_.get_line(), lex_.get_column());
  }
  return false;
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
  if (!declaration()) return -89;
  if (ctx_.declaration_only) return -89;
  if (!statement_list(&parser::at_end_of_file)) return -89;
  if (t_ != tok::end) {
    fail("syntax error");
    return -89;
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
  switch (t_) {
    case tok::newline: advance(); return true;
    case tok::varref: {
      std::string name = val_.text;
      advance();
      return variable_definition(name);
    }
    case tok::kw_function: return function_definition();
    case tok::kw_beginscope: case tok::kw_beginholeyscope: return scope_block();
    case tok::kw_if: return toplevel_if();
    case tok::kw_call: return call_directive();
    case tok::kw_print: return print_directive();
    case tok::kw_version: return version_statement();
    case tok::lua_text: return fail("Lua not compiled in");
    default:
      // Rule headers, @order and the include directives are read by the
      // rule layer, which is not part of this reader yet.
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
  advance();
  if (t_ != tok::varref) return fail("syntax error");
  std::string name = val_.text;
  advance();
  if (!expect(tok::lparen)) return false;
  gen_.open_function();
  if (t_ != tok::rparen) {
    for (;;) {
      if (t_ != tok::varref) return fail("syntax error");
      if (gen_.add_local(val_.text) == -17) return fail("can't have two same names");
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
  while (t_ == tok::newline) advance();
  while (t_ == tok::kw_locvar) {
    advance();
    if (t_ != tok::varref) return fail("syntax error");
    std::string local = val_.text;
    advance();
    if (!expect(tok::assign) || !expression()) return false;
    if (gen_.add_local(local) == -17) return fail("can't have two same names");
    if (!end_of_statement()) return false;
    while (t_ == tok::newline) advance();
  }
  if (!body_list(&parser::at_endfunction)) return false;
  if (!expect(tok::kw_endfunction)) return false;
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

bool parser::body_list(bool (parser::*is_end)() const) {
  while (!(this->*is_end)()) {
    if (t_ == tok::newline) {
      advance();
      continue;
    }
    if (!body_statement()) return false;
  }
  return true;
}

bool parser::body_statement() {
  switch (t_) {
    case tok::kw_return: return return_statement();
    case tok::kw_break: return break_statement(true);
    case tok::kw_continue: return break_statement(false);
    case tok::kw_if: return if_statement();
    case tok::kw_while: return while_statement();
    case tok::kw_for: return for_statement();
    case tok::kw_fordict: case tok::kw_fordictprev: return fordict_statement();
    case tok::kw_once: return once_statement();
    default: break;
  }
  if (!simple_statement()) return false;
  return end_of_statement();
}

// Output and container statements that leave the stack as they found
// it: true when one was read (or failed), false in *handled otherwise.
bool parser::output_statement(bool in_function) {
  tok kind = t_;
  advance();
  switch (kind) {
    case tok::kw_stdout: case tok::kw_stderr:
      if (!arguments(1)) return false;
      gen_.push_double(kind == tok::kw_stdout ? 0 : 1);
      return gen_.op(eng::op_out) >= 0 || fail("out of memory");
    case tok::kw_error: return arguments(1) && gen_.op(eng::op_error) >= 0;
    case tok::kw_dump: return arguments(1) && gen_.op(eng::op_dump) >= 0;
    case tok::kw_addrule: return arguments(1) && gen_.op(eng::op_addrule) >= 0;
    case tok::kw_adddeps: return arguments(3) && gen_.op(eng::op_adddeps) >= 0;
    case tok::kw_append: return arguments(2) && gen_.op(42) >= 0 && gen_.op(38) >= 0;
    case tok::kw_appendlist:
      return arguments(2) && gen_.op(eng::op_embed_list) >= 0 && gen_.op(38) >= 0;
    // @insert leaves nothing on the stack: nothing to discard.
    case tok::kw_insert: return arguments(3) && gen_.op(eng::op_insert) >= 0;
    case tok::kw_exit:
      if (!expect(tok::lparen)) return false;
      if (t_ == tok::rparen) {
        gen_.op(eng::op_nil);
      } else if (!expression()) {
        return false;
      }
      return expect(tok::rparen) && gen_.op(eng::op_exit) >= 0;
    default: break;
  }
  (void)in_function;
  return fail("syntax error");
}

bool parser::simple_statement() {
  switch (t_) {
    case tok::kw_stdout: case tok::kw_stderr: case tok::kw_error: case tok::kw_dump:
    case tok::kw_addrule: case tok::kw_adddeps: case tok::kw_append: case tok::kw_appendlist:
    case tok::kw_insert: case tok::kw_exit:
      return output_statement(true);
    default: break;
  }
  access a;
  if (!postfix(&a)) return false;
  if (accept(tok::assign)) {
    if (accept(tok::minus)) {
      if (t_ == tok::newline || t_ == tok::end) return remove(&a);
      // `lhs = - expr`: a negated value.
      if (!unary()) return false;
      gen_.op(27);
      if (!binary_rest(1)) return false;
      return store(&a);
    }
    if (!expression()) return false;
    return store(&a);
  }
  if (!emit_pending(&a) || !binary_rest(1)) return false;
  return gen_.op(eng::op_pop) >= 0;
}

bool parser::return_statement() {
  advance();
  if (!expression()) return false;
  gen_.push_double(gen_.n_params());
  gen_.push_double(gen_.n_slots_in_use());
  gen_.op(eng::op_return_counts);
  return end_of_statement();
}

bool parser::break_statement(bool is_break) {
  advance();
  int n = 1;
  if (t_ == tok::number) {
    if (!val_.is_integer || val_.number < 1 || val_.number > 1e9) {
      return fail(is_break ? "Break count not positive integer" : "Continue count not positive integer");
    }
    n = static_cast<int>(val_.number);
    advance();
  }
  local_table* loop = gen_.loop(n);
  if (is_break) {
    gen_.op(eng::op_false);
    gen_.push_double(static_cast<double>(loop ? loop->break_target : -2));
  } else {
    gen_.push_double(static_cast<double>(loop ? loop->continue_target : -2));
  }
  gen_.op(eng::op_jump);
  return end_of_statement();
}

bool parser::if_statement() {
  advance();
  if (!expect(tok::lparen) || !expression() || !expect(tok::rparen)) return false;
  int64_t test = gen_.placeholder(eng::op_jump_false);
  int64_t end_jump = -1;
  if (!end_of_statement() || !body_list(&parser::at_endif_branch)) return false;
  for (;;) {
    if (t_ == tok::kw_elseif || t_ == tok::kw_else) {
      bool is_else = t_ == tok::kw_else;
      advance();
      int64_t jump = gen_.placeholder(eng::op_jump);
      gen_.patch(end_jump, jump - 1);
      end_jump = jump;
      gen_.patch(test, gen_.here());
      test = -1;
      if (!is_else) {
        if (!expect(tok::lparen) || !expression() || !expect(tok::rparen)) return false;
        test = gen_.placeholder(eng::op_jump_false);
      }
      if (!end_of_statement() || !body_list(&parser::at_endif_branch)) return false;
      if (is_else && t_ != tok::kw_endif) return fail("syntax error");
      continue;
    }
    if (!expect(tok::kw_endif)) return false;
    gen_.patch(test, gen_.here());
    gen_.patch(end_jump, gen_.here());
    return end_of_statement();
  }
}

bool parser::while_statement() {
  advance();
  int64_t c = gen_.here();
  if (!expect(tok::lparen) || !expression() || !expect(tok::rparen)) return false;
  int64_t b = gen_.here();
  int64_t exit = gen_.placeholder(eng::op_jump_false);
  gen_.open_loop(0);
  gen_.innermost()->break_target = b;
  gen_.innermost()->continue_target = c;
  if (!end_of_statement() || !body_list(&parser::at_endwhile)) return false;
  if (!expect(tok::kw_endwhile)) return false;
  gen_.close_loop();
  gen_.push_double(static_cast<double>(c));
  gen_.op(eng::op_jump);
  gen_.patch(exit, gen_.here());
  return end_of_statement();
}

bool parser::for_statement() {
  advance();
  if (!expect(tok::lparen) || !simple_statement() || !expect(tok::comma)) return false;
  int64_t c = gen_.here();
  if (!expression() || !expect(tok::comma)) return false;
  int64_t to_body = gen_.placeholder(eng::op_jump);
  int64_t s = gen_.here();
  if (!simple_statement() || !expect(tok::rparen)) return false;
  gen_.push_double(static_cast<double>(c));
  gen_.op(eng::op_jump);
  int64_t b = gen_.here();
  gen_.patch(to_body, b);
  int64_t exit = gen_.placeholder(eng::op_jump_false);
  gen_.open_loop(0);
  gen_.innermost()->break_target = b;
  gen_.innermost()->continue_target = s;
  if (!end_of_statement() || !body_list(&parser::at_endfor)) return false;
  if (!expect(tok::kw_endfor)) return false;
  gen_.close_loop();
  gen_.push_double(static_cast<double>(s));
  gen_.op(eng::op_jump);
  gen_.patch(exit, gen_.here());
  return end_of_statement();
}

bool parser::fordict_statement() {
  bool backwards = t_ == tok::kw_fordictprev;
  advance();
  if (t_ != tok::varref) return fail("syntax error");
  std::string key = val_.text;
  advance();
  if (!expect(tok::comma)) return false;
  if (t_ != tok::varref) return fail("syntax error");
  std::string val = val_.text;
  advance();
  int key_slot = gen_.find_local(key);
  int val_slot = gen_.find_local(val);
  if (acting() && key_slot < 0) return fail("Variable %s not found", key.c_str());
  if (acting() && val_slot < 0) return fail("Variable %s not found", val.c_str());
  if (!expect(tok::lparen) || !expression() || !expect(tok::rparen)) return false;
  gen_.op(eng::op_nil);
  gen_.op(eng::op_nil);
  int64_t l = gen_.here();
  gen_.op(eng::op_pop);
  gen_.op(backwards ? eng::op_true : eng::op_false);
  gen_.op(eng::op_dict_iterate);
  gen_.push_double(-2);
  gen_.op(eng::op_load_slot);
  gen_.op(eng::op_type);
  gen_.push_double(eng::type_query_code(eng::t_nil));
  gen_.op(eng::op_ne);
  int64_t b = gen_.here();
  int64_t exit = gen_.placeholder(eng::op_jump_false);
  gen_.push_double(val_slot);
  gen_.push_double(-2);
  gen_.op(eng::op_load_slot);
  gen_.op(eng::op_store_slot);
  gen_.push_double(key_slot);
  gen_.push_double(-3);
  gen_.op(eng::op_load_slot);
  gen_.op(eng::op_store_slot);
  gen_.open_loop(3);
  gen_.innermost()->break_target = b;
  gen_.innermost()->continue_target = l;
  if (!end_of_statement() || !body_list(&parser::at_endfor)) return false;
  if (!expect(tok::kw_endfor)) return false;
  gen_.close_loop();
  gen_.push_double(static_cast<double>(l));
  gen_.op(eng::op_jump);
  gen_.patch(exit, gen_.here());
  gen_.op(eng::op_pop);
  gen_.op(eng::op_pop);
  gen_.op(eng::op_pop);
  return end_of_statement();
}

bool parser::once_statement() {
  advance();
  int64_t a = gen_.here();
  gen_.op(eng::op_true);
  int64_t b = gen_.here();
  int64_t exit = gen_.placeholder(eng::op_jump_false);
  gen_.open_loop(0);
  gen_.innermost()->break_target = b;
  gen_.innermost()->continue_target = a;
  if (!end_of_statement() || !body_list(&parser::at_endonce)) return false;
  if (!expect(tok::kw_endonce)) return false;
  gen_.close_loop();
  gen_.patch(exit, gen_.here());
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

// ---------------------------------------------------------------------------
// Expressions

bool parser::binary(int min_level) {
  if (!unary()) return false;
  return binary_rest(min_level);
}

bool parser::binary_rest(int min_level) {
  for (;;) {
    int level = binary_level(t_);
    if (level == 0 || level < min_level) return true;
    tok op = t_;
    advance();
    if (op == tok::and_and || op == tok::or_or) {
      gen_.op(eng::op_dup);
      if (op == tok::or_or) gen_.op(eng::op_not);
      int64_t skip = gen_.placeholder(eng::op_jump_false);
      gen_.op(eng::op_pop);
      if (!binary(level + 1)) return false;
      gen_.patch(skip, gen_.here());
      continue;
    }
    if (!binary(level + 1)) return false;
    if (gen_.op(binary_opcode(op)) < 0) return fail("out of memory");
  }
}

bool parser::unary() {
  switch (t_) {
    case tok::bang: advance(); return unary() && gen_.op(eng::op_not) >= 0;
    case tok::tilde: advance(); return unary() && gen_.op(eng::op_complement) >= 0;
    case tok::minus: advance(); return unary() && gen_.op(eng::op_neg) >= 0;
    case tok::plus: advance(); return unary();
    default: break;
  }
  access a;
  return postfix(&a) && emit_pending(&a);
}

bool parser::emit_pending(access* a) {
  if (a->pending == 0) return true;
  unsigned op = a->pending;
  a->pending = 0;
  return gen_.op(op) >= 0 || fail("out of memory");
}

bool parser::store(access* a) {
  unsigned op = 0;
  switch (a->pending) {
    case 33: op = 34; break;
    case 46: op = 47; break;
    case 50: return gen_.op(44) >= 0 && gen_.op(eng::op_pop) >= 0;
    case 52: case 187: op = 53; break;
    case 60: op = 62; break;
    case 61: op = 43; break;
    case 40: return fail("Can't assign to string");
    case 45: return fail("Can't assign to pop query");
    case 56: return fail("Can't assign to dictionary query");
    case 57: return fail("Can't assign to scope query");
    case 37: return fail("Can't assign to immediate varref");
    case 41: case 48: case 59: return fail("Can't assign to length query (except for PB)");
    default: return fail("syntax error");
  }
  return gen_.op(op) >= 0 || fail("out of memory");
}

bool parser::remove(access* a) {
  switch (a->pending) {
    case 50: return gen_.op(eng::op_dict_delete) >= 0;
    case 46: return gen_.op(eng::op_array_delete) >= 0;
    default: return fail("Can remove only from dict or list");
  }
}

bool parser::postfix(access* a) {
  if (!primary(a)) return false;
  return postfixes(a);
}

bool parser::postfixes(access* a) {
  for (;;) {
    if (t_ == tok::lbracket) {
      if (!emit_pending(a)) return false;
      advance();
      if (accept(tok::rbracket)) {
        a->pending = eng::op_array_length;
        continue;
      }
      if (accept(tok::minus)) {
        if (!expect(tok::rbracket)) return false;
        a->pending = eng::op_array_pop;
        continue;
      }
      if (accept(tok::at)) {
        if (accept(tok::rbracket)) {
          a->pending = eng::op_str_length;
          continue;
        }
        if (!expression() || !expect(tok::rbracket)) return false;
        a->pending = eng::op_str_byte;
        continue;
      }
      if (!expression() || !expect(tok::rbracket)) return false;
      a->pending = eng::op_array_get;
    } else if (t_ == tok::lbrace) {
      if (!emit_pending(a)) return false;
      advance();
      if (accept(tok::rbrace)) {
        a->pending = eng::op_dict_length;
        continue;
      }
      if (accept(tok::kw_exists)) {
        if (!expression() || !expect(tok::rbrace)) return false;
        a->pending = eng::op_dict_has;
        continue;
      }
      if (accept(tok::at)) {
        if (accept(tok::rbrace)) {
          a->pending = eng::op_pb_length;
          continue;
        }
        if (!expression() || !expect(tok::comma) || !expression() || !expect(tok::rbrace)) {
          return false;
        }
        a->pending = eng::op_pb_get;
        continue;
      }
      if (!expression() || !expect(tok::rbrace)) return false;
      a->pending = eng::op_dict_get;
    } else if (t_ == tok::lparen) {
      if (!emit_pending(a)) return false;
      advance();
      int n = 0;
      if (!argument_list(&n)) return false;
      gen_.push_double(n);
      if (gen_.op(eng::op_call) < 0) return fail("out of memory");
    } else if (t_ == tok::call_if_fun) {
      if (!emit_pending(a)) return false;
      advance();
      if (gen_.op(eng::op_call_if_fun) < 0) return fail("out of memory");
    } else {
      return true;
    }
  }
}

bool parser::argument_list(int* count) {
  *count = 0;
  if (accept(tok::rparen)) return true;
  for (;;) {
    if (!expression()) return false;
    ++*count;
    if (accept(tok::rparen)) return true;
    if (!expect(tok::comma)) return false;
  }
}

bool parser::arguments(int n) {
  if (!expect(tok::lparen)) return false;
  for (int i = 0; i < n; i++) {
    if (i > 0 && !expect(tok::comma)) return false;
    if (!expression()) return false;
  }
  return expect(tok::rparen);
}

bool parser::name_constant(const std::string& name) {
  if (gen_.constant(name) < 0) return fail("can't add symbol for function, probably out of memory");
  return true;
}

bool parser::scope_constant(eng::scope_obj* s) {
  if (!acting()) return true;
  return gen_.push_double(static_cast<double>(s->cache_index)) >= 0 &&
         gen_.op(eng::op_cache_get) >= 0;
}

bool parser::variable(access* a) {
  std::string name = val_.text;
  advance();
  if (gen_.in_function()) {
    int slot = gen_.find_local(name);
    if (slot < 0 && acting()) return fail("Variable %s not found", name.c_str());
    gen_.push_double(slot);
    a->pending = eng::op_load_slot;
    return true;
  }
  gen_.op(eng::op_scope_current);
  if (!name_constant(name)) return false;
  a->pending = eng::op_scope_get;
  return true;
}

bool parser::prefixed_variable(access* a) {
  tok kind = t_;
  advance();
  bool only_here = kind == tok::kw_do || kind == tok::kw_lo || kind == tok::kw_io ||
                   kind == tok::kw_dpo || kind == tok::kw_lpo || kind == tok::kw_ipo ||
                   kind == tok::kw_sco;
  unsigned pending = only_here ? unsigned{eng::op_scope_get_here} : unsigned{eng::op_scope_get};
  switch (kind) {
    case tok::kw_sc: case tok::kw_sco:
      if (!expect(tok::lparen) || !expression() || !expect(tok::rparen)) return false;
      break;
    case tok::kw_d: case tok::kw_do: gen_.op(eng::op_scope_current); break;
    case tok::kw_dp: case tok::kw_dpo:
      gen_.op(eng::op_scope_current);
      gen_.op(eng::op_scope_parent);
      break;
    case tok::kw_l: case tok::kw_lo:
      if (!scope_constant(scope())) return false;
      break;
    case tok::kw_lp: case tok::kw_lpo:
      if (!scope()->parent) return fail("No parent scope, can't use lexical parent reference");
      if (!scope_constant(scope()->parent)) return false;
      break;
    default: break;  // the immediate forms
  }
  if (t_ != tok::varref) return fail("syntax error");
  std::string name = val_.text;
  advance();
  if (kind == tok::kw_i || kind == tok::kw_io || kind == tok::kw_ip || kind == tok::kw_ipo) {
    eng::scope_obj* s = scope();
    if (kind == tok::kw_ip || kind == tok::kw_ipo) {
      s = s->parent;
      if (!s) return fail("No parent scope, can't use immediate parent reference");
    }
    a->pending = eng::op_cache_get;
    if (!acting()) return true;
    eng::value* v = eng::scope_find(s, name.data(), name.size(), !only_here);
    if (!v) return fail("Variable %s not found", name.c_str());
    int64_t index = eng::cache_add_value(e(), *v);
    if (index < 0) return fail("out of memory");
    gen_.push_double(static_cast<double>(index));
    return true;
  }
  if (!name_constant(name)) return false;
  a->pending = pending;
  return true;
}

bool parser::bracket_access(access* a) {
  tok kind = t_;
  advance();
  if (kind != tok::kw_dyn && kind != tok::kw_lex && kind != tok::kw_scope) {
    return fail("unsupported syntax");
  }
  if (!expect(tok::lbracket)) return false;
  if (kind == tok::kw_dyn) {
    gen_.op(eng::op_scope_current);
  } else if (kind == tok::kw_lex) {
    if (!scope_constant(scope())) return false;
  } else {
    if (!expression() || !expect(tok::comma)) return false;
  }
  bool exists = accept(tok::kw_exists);
  if (!expression() || !expect(tok::rbracket)) return false;
  a->pending = exists ? eng::op_scope_has : eng::op_scope_get;
  return true;
}

bool parser::array_literal() {
  advance();
  gen_.op(eng::op_new_array);
  if (accept(tok::rbracket)) return true;
  for (;;) {
    bool embed = accept(tok::at);
    if (!expression()) return false;
    gen_.op(embed ? unsigned{eng::op_embed_list} : unsigned{eng::op_array_append});
    if (accept(tok::rbracket)) return true;
    if (!expect(tok::comma)) return false;
  }
}

bool parser::dict_literal() {
  advance();
  gen_.op(eng::op_new_dict);
  if (accept(tok::rbrace)) return true;
  for (;;) {
    accept(tok::at);
    if (!expression() || !expect(tok::colon) || !expression()) return false;
    gen_.op(eng::op_dict_set);
    if (accept(tok::rbrace)) return true;
    if (!expect(tok::comma)) return false;
  }
}

bool parser::builtin_call(const builtin_entry& b) {
  advance();
  if (!arguments(b.n_args)) return false;
  return gen_.op(b.opcode) >= 0 || fail("out of memory");
}

bool parser::setting_value() {
  tok kind = t_;
  advance();
  if (!expect(tok::lparen)) return false;
  bool applies = acting() && ctx_.dir_prefix == "." && !(ctx_.rules && ctx_.rules->probe_mode);
  if (kind == tok::kw_usetsdb) {
    bool on = t_ == tok::kw_true;
    if (t_ != tok::kw_true && t_ != tok::kw_false) return fail("syntax error");
    advance();
    if (applies && cfg.db_version == db_unset) cfg.db_version = on ? db_v2 : db_v1;
  } else {
    if (t_ != tok::number) return fail("syntax error");
    double n = val_.number;
    advance();
    if (kind == tok::kw_outsync) {
      if (!(n == 0 || n == 1 || n == 2 || n == 3)) return fail("Output sync must be 0, 1, 2 or 3");
      if (applies && cfg.output_sync == sync_unset) cfg.output_sync = static_cast<int>(n);
    } else {
      for (const size_setting& s : k_size_settings) {
        if (s.kind != kind) continue;
        if (!(n > 0)) return fail("%s must be positive", s.subject);
        if (n > 9.2e18 || n != std::floor(n) ||
            (static_cast<uint64_t>(n) & (static_cast<uint64_t>(n) - 1)) != 0) {
          return fail("%s must be a power of 2", s.subject);
        }
        if (applies && s.field) cfg.*s.field = static_cast<size_t>(n);
      }
    }
  }
  if (!expect(tok::rparen)) return false;
  return gen_.op(eng::op_nil) >= 0;
}

bool parser::version_value() {
  advance();
  if (!expect(tok::lparen)) return false;
  if (t_ != tok::string) return fail("syntax error");
  bool known = val_.text.size() == 40 && known_revision(val_.text.c_str());
  advance();
  if (!expect(tok::rparen)) return false;
  return gen_.push_number(known ? 1 : 0) >= 0;
}

bool parser::primary(access* a) {
  a->pending = 0;
  switch (t_) {
    case tok::number: {
      double x = val_.number;
      bool is_int = val_.is_integer;
      advance();
      return (is_int ? gen_.push_number(x) : gen_.push_double(x)) >= 0 || fail("out of memory");
    }
    case tok::string: {
      std::string s = val_.text;
      advance();
      return gen_.constant(s) >= 0 || fail("out of memory");
    }
    case tok::kw_true: advance(); return gen_.op(eng::op_true) >= 0;
    case tok::kw_false: advance(); return gen_.op(eng::op_false) >= 0;
    case tok::kw_nil: advance(); return gen_.op(eng::op_nil) >= 0;
    case tok::kw_be8: advance(); return gen_.push_double(0) >= 0;
    case tok::kw_be16: advance(); return gen_.push_double(1) >= 0;
    case tok::kw_be32: advance(); return gen_.push_double(2) >= 0;
    case tok::kw_le16: advance(); return gen_.push_double(-1) >= 0;
    case tok::kw_le32: advance(); return gen_.push_double(-2) >= 0;
    case tok::lparen:
      advance();
      return expression() && expect(tok::rparen);
    case tok::lbracket: return array_literal();
    case tok::lbrace: return dict_literal();
    case tok::varref: return variable(a);
    case tok::kw_d: case tok::kw_do: case tok::kw_dp: case tok::kw_dpo:
    case tok::kw_l: case tok::kw_lo: case tok::kw_lp: case tok::kw_lpo:
    case tok::kw_i: case tok::kw_io: case tok::kw_ip: case tok::kw_ipo:
    case tok::kw_sc: case tok::kw_sco:
      return prefixed_variable(a);
    case tok::kw_dyn: case tok::kw_lex: case tok::kw_scope: case tok::kw_imm:
    case tok::kw_dyno: case tok::kw_lexo: case tok::kw_immo: case tok::kw_loc:
      return bracket_access(a);
    case tok::kw_scopenew:
      advance();
      return arguments(2) && gen_.op(eng::op_scopenew) >= 0 && gen_.op(eng::op_cache_get) >= 0;
    case tok::kw_getscopelex:
      advance();
      return arguments(0) && scope_constant(scope());
    case tok::kw_dictnext: case tok::kw_dictprev: {
      bool backwards = t_ == tok::kw_dictprev;
      advance();
      if (!arguments(2)) return false;
      gen_.op(backwards ? eng::op_true : eng::op_false);
      gen_.op(eng::op_dict_iterate);
      gen_.op(eng::op_pop);
      gen_.push_double(-2);
      gen_.op(eng::op_swap_slot);
      return gen_.op(eng::op_pop) >= 0;
    }
    case tok::kw_dynluacall: case tok::kw_lexluacall: {
      advance();
      if (!expect(tok::lparen)) return false;
      int n = 0;
      if (!argument_list(&n)) return false;
      gen_.push_double(n - 1);
      return gen_.op(eng::op_lua_call) >= 0;
    }
    // As a value, @insert yields nil: the built-in itself leaves nothing.
    case tok::kw_insert:
      advance();
      return arguments(3) && gen_.op(eng::op_insert) >= 0 && gen_.op(eng::op_nil) >= 0;
    case tok::kw_usetsdb: case tok::kw_outsync: case tok::kw_expecteddeps:
    case tok::kw_expectedtotaltargets: case tok::kw_expectedstrings: case tok::kw_statcachesize:
    case tok::kw_accesscachesize: case tok::kw_stathashsize: case tok::kw_accesshashsize:
    case tok::kw_dbhashsize: case tok::kw_tsdbhashsize:
      return setting_value();
    case tok::kw_version: return version_value();
    case tok::at_word: return fail("Builtin %s not supported", val_.text.c_str());
    case tok::lua_text: return fail("Lua not compiled in");
    default: break;
  }
  if (const builtin_entry* b = find_builtin(t_)) return builtin_call(*b);
  return fail("syntax error");
}

}  // namespace

int parse_stream(FILE* in, parse_context& ctx) {
  parser p(in, ctx);
  int rc = p.run();
  return rc < 0 ? -89 : 0;
}

int parse_text(const std::string& text, parse_context& ctx) {
  // fmemopen refuses an empty buffer; an empty temporary file stands in.
  FILE* in = text.empty() ? tmpfile() : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (!in) return -89;
  int rc = parse_stream(in, ctx);
  fclose(in);
  return rc;
}

}  // namespace kiln::front
