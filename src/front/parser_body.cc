// The Kilnfile parser: statements inside function bodies, with their
// branches and loops.
#include "front/parser_internal.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "ext/opcodes.h"
#include "front/builtin_table.h"
#include "front/codegen.h"
#include "front/directive.h"
#include "front/lexer.h"

namespace kiln::front {

namespace detail {

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
    case tok::kw_if: return nested(&parser::if_statement);
    case tok::kw_while: return nested(&parser::while_statement);
    case tok::kw_for: return nested(&parser::for_statement);
    case tok::kw_fordict: case tok::kw_fordictprev: return nested(&parser::fordict_statement);
    case tok::kw_once: return nested(&parser::once_statement);
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
    case tok::kw_addrule: return arguments(1) && gen_.op(ext::op_addrule) >= 0;
    case tok::kw_adddeps: return arguments(3) && gen_.op(ext::op_adddeps) >= 0;
    case tok::kw_append: return arguments(2) && gen_.op(eng::op_array_append) >= 0 && gen_.op(eng::op_pop) >= 0;
    case tok::kw_appendlist:
      return arguments(2) && gen_.op(eng::op_embed_list) >= 0 && gen_.op(eng::op_pop) >= 0;
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
      gen_.op(eng::op_neg);
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


}  // namespace detail

}  // namespace kiln::front
