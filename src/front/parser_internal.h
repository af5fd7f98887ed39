// The Kilnfile parser's class, shared by its three source files:
// parser.cc (file structure and top-level statements), parser_body.cc
// (statements of function bodies and loops) and parser_expr.cc
// (expressions and access forms).
//
// Reading is token by token with one token of look-ahead. Expressions
// compile in order as they are read; an access expression (a variable
// with its postfixes) leaves its last access opcode pending, so that the
// caller can turn it into a load, a store or a deletion.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "front/builtin_table.h"
#include "front/directive.h"
#include "front/recipe.h"
#include "graph/add_rule.h"
#include "front/codegen.h"
#include "front/lexer.h"
#include "front/parser.h"

namespace kiln::front::detail {

namespace eng = kiln::engine;

// Nested constructs (sub-expressions, blocks) open at once across every
// Kilnfile being parsed. Each level costs C stack, so the parse fails
// beyond the bound instead of overflowing the stack.
constexpr int k_max_nesting = 1000;
extern int open_nesting;

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

  // Runs one nested construct, counting its level of nesting.
  bool nested(bool (parser::*construct)());

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

  // Rules, recipes and the rule-level directives (parser_rules.cc).
  bool starts_item() const {
    return t_ == tok::freeform || t_ == tok::varref || t_ == tok::string || t_ == tok::lparen;
  }
  bool rule_statement(const std::string* first_varref);
  bool item_strings(const char* directive, bool allow_nil, const std::string* pre_read,
                    string_list* out, bool* is_pattern_item);
  bool target_items(std::vector<graph::parsed_name>* out, bool pattern, bool bases,
                    const std::string* first_varref);
  bool dependency_items(std::vector<graph::parsed_name>* out, bool pattern);
  void take_names(std::vector<graph::parsed_name>* out);
  bool recipe_lines(recipe* out, int rule_line);
  const recipe* keep_recipe(recipe&& r);
  bool shell_line(const std::string& text, recipe* out);
  bool expression_recipe(bool is_list, recipe* out);
  void recommend_free_form();
  void recommend_rectgt(const graph::parsed_rule& pr);
  bool order_directive();
  bool include_directive();
  bool cdepincludes_directive();
  bool directive_value(const char* directive, const char* failure, string_list* out);

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
  bool unary() { return nested(&parser::unary_level); }
  bool unary_level();
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
  // The line right after the last rule's recipe and the spaces it starts
  // with: a failure there gets a hint about the tab.
  int after_recipe_line_ = -1;
  int after_recipe_spaces_ = 0;
  // The @function whose body is being read (line -1: none); a failure
  // in the body names it.
  int open_function_line_ = -1;
  std::string open_function_;
  eng::value scope_;  // the scope being compiled (held by the object cache)
  // The pieces of each old-style recipe line of this file, by its text:
  // identical lines share one copy (and so one compiled code).
  struct shell_code {
    uint8_t automatic_uses = 0;
    const shell_template* pieces = nullptr;
  };
  std::unordered_map<std::string, shell_code> shell_codes_;
  // The recipes of this file made of old-style lines only, by the
  // bytes of the pieces' address and the line offset of each line.
  std::unordered_map<std::string, const recipe*> shared_recipes_;
  std::string recipe_key_;
  // The targets or dependencies of the rule header being read.
  std::vector<graph::parsed_name> names_;
  // The interned name of this file for recipes (-1 until the first one).
  graph::strid recipe_file_ = -1;
};

}  // namespace kiln::front::detail
