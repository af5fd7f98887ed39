// The Kilnfile parser: rule headers with their target and dependency
// items, recipe lines, @order, the include directives and @cdepincludes.
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "ext/opcodes.h"
#include "front/includes.h"
#include "front/parser_internal.h"
#include "graph/path.h"
#include "graph/stringtab.h"

namespace kiln::front {

namespace detail {

namespace {

// The rule kind a header keyword stands for.
struct rule_kind {
  uint32_t flags = 0;
  bool pattern = false;
  bool clean_hook = false;
  bool deponly = false;
};

// Whether a directive result is a split pattern: an array holding exactly
// one @nil and at most one text on each side of it.
bool split_pattern(const string_list& list, std::string* prefix, std::string* suffix) {
  size_t nil_at = list.size();
  for (size_t i = 0; i < list.size(); i++) {
    if (list[i]) continue;
    if (nil_at != list.size()) return false;
    nil_at = i;
  }
  if (nil_at == list.size() || list.size() > 3 || nil_at > 1 || list.size() - nil_at > 2) {
    return false;
  }
  prefix->clear();
  suffix->clear();
  if (nil_at == 1) *prefix = *list[0];
  if (nil_at + 1 < list.size()) *suffix = *list[nil_at + 1];
  return true;
}

bool has_nil(const string_list& list) {
  for (const auto& s : list) {
    if (!s) return true;
  }
  return false;
}

// A name made absolute against the top directory and simplified.
std::string absolute_name(const std::string& cwd, const std::string& prefix,
                          const std::string& name) {
  std::string path = graph::prefixed_path(prefix, name);
  if (cwd.empty() || (!path.empty() && path[0] == '/')) return path;
  return graph::simplify_path(cwd + "/" + path);
}

}  // namespace

void parser::recommend_free_form() {
  if (!ctx_.rules || ctx_.rules->recommend_strings_shown || ctx_.rules->probe_mode || !acting()) {
    return;
  }
  ctx_.rules->recommend_strings_shown = true;
  printf("Recommend using string literals instead of free-form tokens; "
         "recommend also using @strict mode\n");
}

// Reads one item and evaluates it at once: a free-form token is its own
// text; a variable reference, a string literal or a parenthesised
// expression runs as a directive fragment. *is_pattern_item tells whether
// the item may stand for a pattern (everything but a parenthesised
// expression).
bool parser::item_strings(const char* directive, bool allow_nil, const std::string* pre_read,
                          string_list* out, bool* is_pattern_item) {
  out->clear();
  *is_pattern_item = true;
  if (!pre_read && t_ == tok::freeform) {
    recommend_free_form();
    out->push_back(val_.text);
    advance();
    return true;
  }
  // A string literal evaluates to itself: no code to compile and run. One
  // holding a NUL byte takes the long way, which refuses it.
  if (!pre_read && t_ == tok::string && acting() &&
      !memchr(val_.text.data(), '\0', val_.text.size())) {
    out->push_back(std::move(val_.text));
    advance();
    return true;
  }
  int64_t address = gen_.here();
  if (pre_read) {
    gen_.op(eng::op_scope_current);
    if (!name_constant(*pre_read)) return false;
    gen_.op(eng::op_scope_get);
  } else if (t_ == tok::varref) {
    std::string name = val_.text;
    advance();
    gen_.op(eng::op_scope_current);
    if (!name_constant(name)) return false;
    gen_.op(eng::op_scope_get);
  } else if (t_ == tok::string) {
    std::string s = val_.text;
    advance();
    if (gen_.constant(s) < 0) return fail("out of memory");
  } else if (t_ == tok::lparen) {
    *is_pattern_item = false;
    advance();
    if (!expression() || !expect(tok::rparen)) return false;
  } else {
    return fail("syntax error");
  }
  if (gen_.op(eng::op_exit) < 0) return fail("out of memory");
  if (!acting()) return true;
  return run_directive(e(), address, directive, allow_nil, out) == 0;
}

// Targets (or the bases of a pattern rule) up to the colon.
bool parser::target_items(std::vector<graph::parsed_name>* out, bool pattern, bool bases,
                          const std::string* first_varref) {
  const char* failure = "error in targets";
  string_list list;
  for (bool first = true;; first = false) {
    bool dist = false;
    if (!(first && first_varref)) {
      while (t_ == tok::kw_disttgt) {
        dist = true;
        advance();
      }
      if (!starts_item()) break;
    }
    if (dist && bases) return fail("pattern rules can't contain @disttgt in bases");
    bool pattern_item = false;
    if (!item_strings("target", pattern, first && first_varref ? first_varref : nullptr, &list,
                      &pattern_item)) {
      return fail("%s", failure);
    }
    if (!acting()) continue;
    if (bases && has_nil(list)) {
      fflush(stderr);
      printf("Pattern rule bases cannot contain @nil lists\n");
      fflush(stdout);
      exit(2);
    }
    graph::parsed_name n;
    n.flags = dist ? graph::k_name_dist : 0;
    if (pattern && has_nil(list)) {
      if (!split_pattern(list, &n.name, &n.suffix)) return fail("%s", failure);
      n.has_suffix = true;
      n.flags |= graph::k_name_pattern;
      out->push_back(n);
      continue;
    }
    for (const auto& s : list) {
      graph::parsed_name m = n;
      m.name = std::move(*s);
      if (pattern && !bases && pattern_item) m.flags |= graph::k_name_pattern;
      out->push_back(std::move(m));
    }
  }
  return true;
}

// Dependencies up to the end of the header line, each with its attribute
// keywords.
bool parser::dependency_items(std::vector<graph::parsed_name>* out, bool pattern) {
  string_list list;
  for (;;) {
    uint32_t flags = 0;
    for (;;) {
      if (accept(tok::kw_recdep)) {
        flags |= graph::k_name_recdep;
      } else if (accept(tok::kw_orderonly)) {
        flags |= graph::k_name_orderonly;
      } else if (accept(tok::kw_wait)) {
        flags |= graph::k_name_wait;
      } else {
        break;
      }
    }
    if (!starts_item()) {
      if (flags) return fail("syntax error");
      return true;
    }
    bool pattern_item = false;
    if (!item_strings("dependency", pattern, nullptr, &list, &pattern_item)) {
      return fail("error in dependencies");
    }
    if (!acting()) continue;
    graph::parsed_name n;
    n.flags = flags;
    if (pattern && has_nil(list)) {
      if (!split_pattern(list, &n.name, &n.suffix)) return fail("error in dependencies");
      n.has_suffix = true;
      out->push_back(n);
      continue;
    }
    for (const auto& s : list) {
      graph::parsed_name m = n;
      m.name = std::move(*s);
      if (pattern && pattern_item) m.flags |= graph::k_name_dep_pattern;
      out->push_back(std::move(m));
    }
  }
}

void parser::recommend_rectgt(const graph::parsed_rule& pr) {
  std::string cwd;
  for (const graph::parsed_name& d : pr.deps) {
    if (!(d.flags & graph::k_name_recdep)) continue;
    if (cwd.empty()) {
      char buf[4096];
      if (getcwd(buf, sizeof buf)) cwd = buf;
    }
    std::string dep = absolute_name(cwd, pr.prefix, d.name);
    for (const graph::parsed_name& t : pr.targets) {
      std::string target = absolute_name(cwd, pr.prefix, t.name);
      bool inside = target.compare(0, dep.size(), dep) == 0 &&
                    (target.size() == dep.size() || target[dep.size()] == '/' ||
                     (!dep.empty() && dep.back() == '/'));
      if (inside) {
        printf("Recommend setting rule for %s prefix %s to @rectgtrule, @detouchrule or "
               "@mayberule\n",
               t.name.c_str(), d.name.c_str());
      }
    }
  }
}

// Moves the names read into `out`, which gets exactly their number.
void parser::take_names(std::vector<graph::parsed_name>* out) {
  out->assign(std::make_move_iterator(names_.begin()), std::make_move_iterator(names_.end()));
  names_.clear();
}

bool parser::rule_statement(const std::string* first_varref) {
  int line = lex_.get_line();
  rule_kind kind;
  bool ordinary = first_varref != nullptr;
  if (!ordinary) {
    switch (t_) {
      case tok::kw_phonyrule: kind.flags = graph::k_parsed_phony; break;
      case tok::kw_mayberule: kind.flags = graph::k_parsed_maybe; break;
      case tok::kw_distrule: kind.flags = graph::k_parsed_dist; break;
      case tok::kw_rectgtrule: kind.flags = graph::k_parsed_rectgt; break;
      case tok::kw_detouchrule: kind.flags = graph::k_parsed_detouch; break;
      case tok::kw_deponly: kind.flags = graph::k_parsed_deponly; kind.deponly = true; break;
      case tok::kw_patrule: kind.flags = graph::k_parsed_pattern; kind.pattern = true; break;
      case tok::kw_cleanhook:
        kind.flags = graph::k_parsed_phony | graph::k_parsed_iscleanhook;
        kind.clean_hook = true;
        break;
      case tok::kw_distcleanhook:
        kind.flags = graph::k_parsed_phony | graph::k_parsed_isdistcleanhook;
        kind.clean_hook = true;
        break;
      case tok::kw_bothcleanhook:
        kind.flags = graph::k_parsed_phony | graph::k_parsed_isbothcleanhook;
        kind.clean_hook = true;
        break;
      default: ordinary = true; break;
    }
    if (!ordinary) {
      tok keyword = t_;
      advance();
      // @rectgtrule, @detouchrule and @patrule may be distribution rules.
      if ((keyword == tok::kw_rectgtrule || keyword == tok::kw_detouchrule ||
           keyword == tok::kw_patrule) &&
          accept(tok::kw_distrule)) {
        kind.flags |= graph::k_parsed_dist;
      }
      if (!expect(tok::colon)) return false;
    }
  }
  if (ctx_.rules) ctx_.rules->in_rule = true;
  graph::parsed_rule pr;
  pr.prefix = ctx_.dir_prefix;
  pr.line = line;
  pr.flags = kind.flags;
  pr.scope = static_cast<int32_t>(scope()->cache_index);
  bool ok = true;
  if (kind.clean_hook) {
    pr.targets.push_back(graph::parsed_name{
        (kind.flags & graph::k_parsed_iscleanhook)       ? "CLEAN"
        : (kind.flags & graph::k_parsed_isdistcleanhook) ? "DISTCLEAN"
                                                         : "BOTHCLEAN",
        "", false, 0});
  } else {
    std::vector<graph::parsed_name> bases;
    if (kind.pattern) {
      ok = target_items(&bases, true, true, nullptr) && expect(tok::colon);
      for (graph::parsed_name& b : bases) pr.bases.push_back(std::move(b.name));
    }
    names_.clear();
    ok = ok && target_items(&names_, kind.pattern, false, ordinary ? first_varref : nullptr) &&
         expect(tok::colon);
    take_names(&pr.targets);
  }
  names_.clear();
  ok = ok && dependency_items(&names_, kind.pattern);
  take_names(&pr.deps);
  if (ok && t_ != tok::newline && t_ != tok::end) ok = fail("syntax error");
  if (ok && acting() && pr.targets.empty() && !kind.pattern) ok = fail("empty target list");
  recipe r;
  if (ok && !kind.deponly) {
    // Tab-started lines after the header's newline are recipe lines.
    lex_.set_flags(lex_.get_flags() | k_in_recipe_context);
    advance();
    ok = recipe_lines(&r, line);
    lex_.set_flags(lex_.get_flags() & ~k_in_recipe_context);
  } else if (ok) {
    ok = end_of_statement();
  }
  if (ctx_.rules) ctx_.rules->in_rule = false;
  if (!ok) return false;
  if (!acting() || !ctx_.rules || ctx_.rules->probe_mode) return true;
  if (!(kind.flags & (graph::k_parsed_rectgt | graph::k_parsed_detouch | graph::k_parsed_deponly |
                      graph::k_parsed_pattern | graph::k_parsed_phony | graph::k_parsed_maybe))) {
    recommend_rectgt(pr);
  }
  if (!r.entries.empty()) {
    if (recipe_file_ < 0) {
      std::string file = ctx_.leading_path.empty() ? ctx_.file_name
                                                   : ctx_.leading_path + "/" + ctx_.file_name;
      recipe_file_ = graph::intern(file.data(), file.size());
    }
    r.file = recipe_file_;
    pr.recipe = keep_recipe(std::move(r));
  }
  ctx_.rules->rules.push_back(std::move(pr));
  return true;
}

// Stores a rule's recipe in the rule list, or finds the same recipe
// stored before for an earlier rule of this file.
const recipe* parser::keep_recipe(recipe&& r) {
  std::string& key = recipe_key_;
  key.clear();
  for (const recipe_entry& entry : r.entries) {
    if (!entry.shell) {
      key.clear();
      break;
    }
    key.append(reinterpret_cast<const char*>(&entry.shell), sizeof entry.shell);
    key.append(reinterpret_cast<const char*>(&entry.line_offset), sizeof entry.line_offset);
  }
  if (!key.empty()) {
    auto found = shared_recipes_.find(key);
    if (found != shared_recipes_.end()) return found->second;
  }
  ctx_.rules->recipes.push_back(std::move(r));
  const recipe* kept = &ctx_.rules->recipes.back();
  if (!key.empty()) shared_recipes_.emplace(key, kept);
  return kept;
}

// Recipe lines until the first line that is none: tab-started shell
// lines and `@`/`@@` tab expression lines. Each entry keeps the line it
// starts on (as its distance from rule_line, the header's line), for the
// messages of a failed evaluation; the line after the
// recipe is kept for the hint about spaces.
bool parser::recipe_lines(recipe* out, int rule_line) {
  out->automatic_uses = 0;
  for (;;) {
    size_t n_entries = out->entries.size();
    int line = lex_.get_line();
    if (t_ == tok::shell_text) {
      std::string text = val_.text;
      // A continued shell line has been read to its last line.
      for (char c : text) line -= c == '\n';
      advance();
      if (!shell_line(text, out)) return false;
      if (!end_of_statement()) return false;
    } else if (t_ == tok::recipe_expr || t_ == tok::recipe_expr_list) {
      bool is_list = t_ == tok::recipe_expr_list;
      advance();
      if (!expression_recipe(is_list, out) || !end_of_statement()) return false;
    } else {
      after_recipe_line_ = line;
      after_recipe_spaces_ = lex_.get_leading_spaces();
      return true;
    }
    if (out->entries.size() > n_entries) out->entries.back().line_offset = line - rule_line;
  }
}

bool parser::expression_recipe(bool is_list, recipe* out) {
  recipe_entry entry;
  entry.kind = is_list ? recipe_kind::list_code : recipe_kind::command_code;
  for (;;) {
    if (accept(tok::kw_ignore)) {
      entry.flags |= k_recipe_ignore;
    } else if (accept(tok::kw_noecho)) {
      entry.flags |= k_recipe_noecho;
    } else if (accept(tok::kw_ismake)) {
      entry.flags |= k_recipe_ismake;
    } else {
      break;
    }
  }
  entry.address = gen_.here();
  if (!expression()) return false;
  if (gen_.op(eng::op_exit) < 0) return fail("out of memory");
  out->automatic_uses = k_auto_every;
  if (acting()) out->entries.push_back(std::move(entry));
  return true;
}

// An old-style line: literal runs and shell-quoted variable expansions,
// kept as pieces; the code that builds ["sh", "-c", text] from them is
// compiled when a rule first needs it.
bool parser::shell_line(const std::string& line, recipe* out) {
  recipe_entry entry;
  entry.kind = recipe_kind::command_code;
  size_t i = 0;
  if (!line.empty()) {
    switch (line[0]) {
      case '@': entry.flags |= k_recipe_noecho; i = 1; break;
      case '-': entry.flags |= k_recipe_ignore; i = 1; break;
      case '+': entry.flags |= k_recipe_ismake; i = 1; break;
      default: break;
    }
  }
  auto cached = shell_codes_.find(line);
  if (cached != shell_codes_.end()) {
    entry.shell = cached->second.pieces;
    out->automatic_uses |= cached->second.automatic_uses;
    if (acting()) out->entries.push_back(std::move(entry));
    return true;
  }
  uint8_t uses = 0;
  std::string packed;
  std::string literal;
  auto flush_literal = [&]() {
    if (literal.empty()) return;
    pack_shell_piece(&packed, shell_piece{literal, false, false});
    literal.clear();
  };
  // One variable: its value shell-quoted, or a list's elements quoted and
  // joined with single spaces.
  auto expand = [&](std::string_view name, bool is_list) {
    flush_literal();
    uses |= automatic_bit(name);
    pack_shell_piece(&packed, shell_piece{name, true, is_list});
  };
  while (i < line.size()) {
    char c = line[i];
    if (c == '\\') {
      if (i + 1 >= line.size()) {
        // A backslash ending the file escapes nothing: it stays.
        literal.push_back('\\');
        i++;
        continue;
      }
      // A backslash-newline stays for the shell, which joins the lines;
      // any other backslash takes the next character literally.
      if (line[i + 1] == '\n') literal.push_back('\\');
      literal.push_back(line[i + 1]);
      i += 2;
      continue;
    }
    if (c != '$') {
      literal.push_back(c);
      i++;
      continue;
    }
    char n = i + 1 < line.size() ? line[i + 1] : '\0';
    switch (n) {
      case '$': literal.push_back('$'); i += 2; continue;
      case '@': case '<': case '*':
        expand(std::string_view(&line[i + 1], 1), false);
        i += 2;
        break;
      case '^': case '+': case '|':
        expand(std::string_view(&line[i + 1], 1), true);
        i += 2;
        break;
      case '(': case '{': {
        char close = n == '(' ? ')' : '}';
        size_t depth = 1, j = i + 2;
        for (; j < line.size(); j++) {
          if (line[j] == n) depth++;
          if (line[j] == close && --depth == 0) break;
        }
        if (j >= line.size()) return fail("Old-style shell command varref literal not terminated");
        std::string_view name(line.data() + i + 2, j - i - 2);
        bool is_list = !name.empty() && name[0] == '@';
        if (is_list) name.remove_prefix(1);
        expand(name, is_list);
        i = j + 1;
        break;
      }
      default:
        return fail("Old-style shell commands support only $@, $<, $^, $+, $|, $(VARNAME), "
                    "$(@VARNAME), ${VARNAME} and ${@VARNAME} as variables");
    }
  }
  flush_literal();
  out->automatic_uses |= uses;
  if (!acting() || !ctx_.rules || ctx_.rules->probe_mode) return true;
  ctx_.rules->shell_templates.push_back(keep_shell_template(packed));
  entry.shell = &ctx_.rules->shell_templates.back();
  shell_codes_.emplace(line, shell_code{uses, entry.shell});
  out->entries.push_back(std::move(entry));
  return true;
}

bool parser::order_directive() {
  advance();
  std::string names[2];
  string_list list;
  for (std::string& name : names) {
    bool pattern_item = false;
    if (!starts_item()) return fail("syntax error");
    if (!item_strings("order spec", false, nullptr, &list, &pattern_item)) {
      return fail("error in @order");
    }
    if (!acting()) continue;
    if (list.size() != 1) return fail("error in @order: stringlist size not 1");
    name = graph::prefixed_path(ctx_.dir_prefix, *list[0]);
  }
  if (!end_of_statement()) return false;
  if (acting() && ctx_.rules && !ctx_.rules->probe_mode) {
    ctx_.rules->order_pairs.emplace_back(names[0], names[1]);
  }
  return true;
}

// The value of an include or @cdepincludes directive: a free-form token
// or an expression giving a string or a list of strings.
bool parser::directive_value(const char* directive, const char* failure, string_list* out) {
  out->clear();
  if (t_ == tok::freeform) {
    recommend_free_form();
    out->push_back(val_.text);
    advance();
    return true;
  }
  int64_t address = gen_.here();
  if (!expression()) return false;
  if (gen_.op(eng::op_exit) < 0) return fail("out of memory");
  if (!acting()) return true;
  if (run_directive(e(), address, directive, false, out) != 0) return fail("%s", failure);
  return true;
}

bool parser::include_directive() {
  tok kind = t_;
  advance();
  bool ignore = false;
  std::string scope_name;
  bool has_scope_name = false;
  if (kind == tok::kw_fileinclude) {
    ignore = accept(tok::kw_ignore);
  } else if (accept(tok::kw_scopename)) {
    if (t_ != tok::varref) return fail("syntax error");
    scope_name = val_.text;
    has_scope_name = true;
    advance();
  }
  const char* name = kind == tok::kw_fileinclude ? "fileinclude" : "dirinclude";
  const char* failure = kind == tok::kw_fileinclude ? "error in @fileinclude" : "error in @dirinclude";
  string_list list;
  if (!directive_value(name, failure, &list)) return false;
  if (t_ != tok::newline && t_ != tok::end) return fail("syntax error");
  if (acting()) {
    if (has_scope_name && list.size() != 1) {
      fflush(stdout);
      fprintf(stderr, "If setting include scope, must have 1 include, has %zu includes\n",
              list.size());
      return fail("error in @dirinclude");
    }
    int64_t here = scope()->cache_index;
    for (const auto& item : list) {
      int rc;
      if (kind == tok::kw_fileinclude) {
        rc = include_file(ctx_, here, *item, ignore);
      } else {
        int64_t new_scope = -1;
        rc = include_directory(ctx_, *item, kind == tok::kw_projdirinclude, &new_scope);
        if (rc == 0 && has_scope_name) {
          eng::value sv = e()->object_cache.items[new_scope];
          if (!bind(scope_name, sv)) {
            failed_ = true;
            fflush(stdout);
            fprintf(stderr, "kiln: Can't set scope to named variable %s.\n", scope_name.c_str());
            return false;
          }
        }
      }
      if (rc == k_include_too_deep) {
        std::string path =
            kind == tok::kw_fileinclude ? *item : directory_kilnfile(ctx_, *item);
        return fail("Kilnfiles nested more than %d deep, probably infinite recursion when "
                    "opening file %s",
                    k_max_include_depth, path.c_str());
      }
      if (rc != 0) {
        // The include has reported its failure; this file's parse ends.
        failed_ = true;
        return false;
      }
    }
  }
  return end_of_statement();
}

bool parser::cdepincludes_directive() {
  advance();
  unsigned bits = 0;
  for (;;) {
    if (accept(tok::kw_autophony)) {
      bits |= db::k_cdep_autophony;
    } else if (accept(tok::kw_autotarget)) {
      bits |= db::k_cdep_autotarget;
    } else if (accept(tok::kw_ignore)) {
      bits |= db::k_cdep_ignore;
    } else {
      break;
    }
  }
  string_list list;
  if (!directive_value("cdepincludes", "error in @cdepincludes", &list)) return false;
  if (!end_of_statement()) return false;
  if (!acting() || !ctx_.rules || ctx_.rules->probe_mode) return true;
  if (bits != (db::k_cdep_autophony | db::k_cdep_autotarget | db::k_cdep_ignore)) {
    printf("Recommend @autophony, @autotarget and @ignore with @cdepincludes\n");
  }
  for (const auto& item : list) {
    ctx_.rules->cdepincludes.push_back(db::cdep_include{*item, ctx_.dir_prefix, bits});
  }
  return true;
}

}  // namespace detail

}  // namespace kiln::front
