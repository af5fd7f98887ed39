// The Kilnfile parser: expressions, access forms, built-in calls and
// setting values.
#include "front/parser_internal.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "base/settings.h"
#include "front/builtin_table.h"
#include "front/codegen.h"
#include "front/directive.h"
#include "front/lexer.h"

namespace kiln::front {

namespace detail {

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
    case tok::pipe: return eng::op_or;
    case tok::caret: return eng::op_xor;
    case tok::amp: return eng::op_and;
    case tok::equal_equal: return eng::op_eq;
    case tok::not_equal: return eng::op_ne;
    case tok::less: return eng::op_lt;
    case tok::less_equal: return eng::op_le;
    case tok::greater: return eng::op_gt;
    case tok::greater_equal: return eng::op_ge;
    case tok::shift_left: return eng::op_shl;
    case tok::shift_right: return eng::op_shr;
    case tok::plus: return eng::op_add;
    case tok::minus: return eng::op_sub;
    case tok::dot: return eng::op_str_append;
    case tok::star: return eng::op_mul;
    case tok::slash: return eng::op_div;
    case tok::percent: return eng::op_mod;
    default: return 0;
  }
}

// A setting directive used as a value: its keyword, message subject and
// the field it writes.
struct size_setting {
  tok kind;
  const char* subject;
  size_t directive_values::*field;  // nullptr: checked only
};

// The largest table size a directive may ask for. Tables are sized from
// these before anything is stored, and a per-rule size multiplies by
// every rule, so the bound keeps the sizes (and their byte counts) far
// from overflow.
constexpr double k_max_table_size = 1 << 30;

const size_setting k_size_settings[] = {
    {tok::kw_expecteddeps, "Expected deps", &directive_values::expected_deps},
    {tok::kw_expectedtotaltargets, "Expected total targets", nullptr},
    {tok::kw_expectedstrings, "Expected strings", &directive_values::expected_strings},
    {tok::kw_statcachesize, "Stat cache size", &directive_values::stat_cache_size},
    {tok::kw_accesscachesize, "Access cache size", &directive_values::access_cache_size},
    {tok::kw_stathashsize, "Stat hash size", &directive_values::stat_hash_size},
    {tok::kw_accesshashsize, "Access hash size", &directive_values::access_hash_size},
    {tok::kw_dbhashsize, "DB hash size", &directive_values::db_hash_size},
    {tok::kw_tsdbhashsize, "TSDB hash size", &directive_values::tsdb_hash_size},
};


}  // namespace

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

// One prefix operator or operand; every sub-expression passes through
// here, so this is where expression nesting is counted.
bool parser::unary_level() {
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
    case eng::op_load_slot: op = eng::op_store_slot; break;
    case eng::op_array_get: op = eng::op_array_set; break;
    case eng::op_dict_get: return gen_.op(eng::op_dict_set) >= 0 && gen_.op(eng::op_pop) >= 0;
    case eng::op_scope_get: case eng::op_scope_get_here: op = eng::op_scope_set; break;
    case eng::op_pb_get: op = eng::op_pb_set; break;
    case eng::op_pb_length: op = eng::op_pb_set_length; break;
    case eng::op_str_byte: return fail("Can't assign to string");
    case eng::op_array_pop: return fail("Can't assign to pop query");
    case eng::op_dict_has: return fail("Can't assign to dictionary query");
    case eng::op_scope_has: return fail("Can't assign to scope query");
    case eng::op_cache_get: return fail("Can't assign to immediate varref");
    case eng::op_str_length: case eng::op_array_length: case eng::op_dict_length:
      return fail("Can't assign to length query (except for PB)");
    default: return fail("syntax error");
  }
  return gen_.op(op) >= 0 || fail("out of memory");
}

bool parser::remove(access* a) {
  switch (a->pending) {
    case eng::op_dict_get: return gen_.op(eng::op_dict_delete) >= 0;
    case eng::op_array_get: return gen_.op(eng::op_array_delete) >= 0;
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
  // Only the top-level Kilnfile's values count, and a probe's never.
  directive_values* given = nullptr;
  if (acting() && ctx_.dir_prefix == "." && ctx_.rules && !ctx_.rules->probe_mode) {
    given = &ctx_.rules->directives;
  }
  if (kind == tok::kw_usetsdb) {
    bool on = t_ == tok::kw_true;
    if (t_ != tok::kw_true && t_ != tok::kw_false) return fail("syntax error");
    advance();
    if (given && given->db_version == db_unset) given->db_version = on ? db_v2 : db_v1;
  } else {
    if (t_ != tok::number) return fail("syntax error");
    double n = val_.number;
    advance();
    if (kind == tok::kw_outsync) {
      if (!(n == 0 || n == 1 || n == 2 || n == 3)) return fail("Output sync must be 0, 1, 2 or 3");
      if (given && given->output_sync == sync_unset) given->output_sync = static_cast<int>(n);
    } else {
      for (const size_setting& s : k_size_settings) {
        if (s.kind != kind) continue;
        if (!(n > 0)) return fail("%s must be positive", s.subject);
        if (n > k_max_table_size || n != std::floor(n) ||
            (static_cast<uint64_t>(n) & (static_cast<uint64_t>(n) - 1)) != 0) {
          return fail("%s must be a power of 2", s.subject);
        }
        if (given && s.field) given->*s.field = static_cast<size_t>(n);
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


}  // namespace detail

}  // namespace kiln::front
