// Token kinds of the Kilnfile language.
//
// One kind per punctuation mark, one per keyword and one per token class
// (number, string, free-form word, ...). Kind 0 is the end of input. The
// keyword list is an X-macro so that the enumeration, the spelling table
// and the keyword lookup of the lexer come from one place; `@le8` is
// spelled differently but is the same one-byte-field token as `@be8`.
#pragma once

#include <cstdint>
#include <string_view>

namespace kiln::front {

// X(kind, spelling) for every punctuation token, longest spellings
// included; the lexer matches them longest first.
#define KILN_PUNCTUATION(X) \
  X(colon, ":") \
  X(comma, ",") \
  X(assign, "=") \
  X(and_and, "&&") \
  X(or_or, "||") \
  X(not_equal, "!=") \
  X(equal_equal, "==") \
  X(plus_assign, "+=") \
  X(default_assign, "?=") \
  X(shell_assign, "`=") \
  X(shell_assign_split, "``=") \
  X(shift_left, "<<") \
  X(shift_right, ">>") \
  X(less, "<") \
  X(greater, ">") \
  X(lparen, "(") \
  X(rparen, ")") \
  X(lbracket, "[") \
  X(rbracket, "]") \
  X(lbrace, "{") \
  X(rbrace, "}") \
  X(slash, "/") \
  X(star, "*") \
  X(plus, "+") \
  X(minus, "-") \
  X(amp, "&") \
  X(pipe, "|") \
  X(tilde, "~") \
  X(caret, "^") \
  X(bang, "!") \
  X(percent, "%") \
  X(greater_equal, ">=") \
  X(less_equal, "<=") \
  X(call_if_fun, "<>") \
  X(dot, ".")

// X(kind, spelling) for every keyword.
#define KILN_KEYWORDS(X) \
  X(kw_be8, "@be8") \
  X(kw_toplevel, "@toplevel") \
  X(kw_subfile, "@subfile") \
  X(kw_version, "@version") \
  X(kw_print, "@print") \
  X(kw_call, "@call") \
  X(kw_usetsdb, "@usetsdb") \
  X(kw_outsync, "@outsync") \
  X(kw_expecteddeps, "@expecteddeps") \
  X(kw_expectedtotaltargets, "@expectedtotaltargets") \
  X(kw_expectedstrings, "@expectedstrings") \
  X(kw_statcachesize, "@statcachesize") \
  X(kw_accesscachesize, "@accesscachesize") \
  X(kw_stathashsize, "@stathashsize") \
  X(kw_accesshashsize, "@accesshashsize") \
  X(kw_dbhashsize, "@dbhashsize") \
  X(kw_tsdbhashsize, "@tsdbhashsize") \
  X(kw_shellescape, "@shellescape") \
  X(kw_shellescapemulti, "@shellescapemulti") \
  X(kw_fileinclude, "@fileinclude") \
  X(kw_dirinclude, "@dirinclude") \
  X(kw_projdirinclude, "@projdirinclude") \
  X(kw_cdepincludes, "@cdepincludes") \
  X(kw_scopename, "@scopename") \
  X(kw_autophony, "@autophony") \
  X(kw_autotarget, "@autotarget") \
  X(kw_ignore, "@ignore") \
  X(kw_noecho, "@noecho") \
  X(kw_ismake, "@ismake") \
  X(kw_order, "@order") \
  X(kw_beginscope, "@beginscope") \
  X(kw_beginholeyscope, "@beginholeyscope") \
  X(kw_endscope, "@endscope") \
  X(kw_function, "@function") \
  X(kw_endfunction, "@endfunction") \
  X(kw_locvar, "@locvar") \
  X(kw_once, "@once") \
  X(kw_endonce, "@endonce") \
  X(kw_delayvar, "@delayvar") \
  X(kw_delaylistexpand, "@delaylistexpand") \
  X(kw_delayexpr, "@delayexpr") \
  X(kw_phonyrule, "@phonyrule") \
  X(kw_mayberule, "@mayberule") \
  X(kw_rectgtrule, "@rectgtrule") \
  X(kw_detouchrule, "@detouchrule") \
  X(kw_distrule, "@distrule") \
  X(kw_patrule, "@patrule") \
  X(kw_deponly, "@deponly") \
  X(kw_cleanhook, "@cleanhook") \
  X(kw_distcleanhook, "@distcleanhook") \
  X(kw_bothcleanhook, "@bothcleanhook") \
  X(kw_disttgt, "@disttgt") \
  X(kw_recdep, "@recdep") \
  X(kw_orderonly, "@orderonly") \
  X(kw_wait, "@wait") \
  X(kw_rule_dist, "@RULE_DIST") \
  X(kw_rule_phony, "@RULE_PHONY") \
  X(kw_rule_ordinary, "@RULE_ORDINARY") \
  X(kw_addrule, "@addrule") \
  X(kw_adddeps, "@adddeps") \
  X(kw_if, "@if") \
  X(kw_else, "@else") \
  X(kw_elseif, "@elseif") \
  X(kw_endif, "@endif") \
  X(kw_for, "@for") \
  X(kw_fordict, "@fordict") \
  X(kw_fordictprev, "@fordictprev") \
  X(kw_endfor, "@endfor") \
  X(kw_while, "@while") \
  X(kw_endwhile, "@endwhile") \
  X(kw_break, "@break") \
  X(kw_continue, "@continue") \
  X(kw_return, "@return") \
  X(kw_append, "@append") \
  X(kw_appendlist, "@appendlist") \
  X(kw_stdout, "@stdout") \
  X(kw_stderr, "@stderr") \
  X(kw_error, "@error") \
  X(kw_dump, "@dump") \
  X(kw_exit, "@exit") \
  X(kw_d, "@D") \
  X(kw_l, "@L") \
  X(kw_i, "@I") \
  X(kw_do, "@DO") \
  X(kw_lo, "@LO") \
  X(kw_io, "@IO") \
  X(kw_dp, "@DP") \
  X(kw_lp, "@LP") \
  X(kw_ip, "@IP") \
  X(kw_dpo, "@DPO") \
  X(kw_lpo, "@LPO") \
  X(kw_ipo, "@IPO") \
  X(kw_sc, "@SC") \
  X(kw_sco, "@SCO") \
  X(kw_dyn, "@dyn") \
  X(kw_lex, "@lex") \
  X(kw_imm, "@imm") \
  X(kw_dyno, "@dyno") \
  X(kw_lexo, "@lexo") \
  X(kw_immo, "@immo") \
  X(kw_loc, "@loc") \
  X(kw_scope, "@scope") \
  X(kw_exists, "@?") \
  X(kw_true, "@true") \
  X(kw_false, "@false") \
  X(kw_nil, "@nil") \
  X(kw_be16, "@be16") \
  X(kw_be32, "@be32") \
  X(kw_le16, "@le16") \
  X(kw_le32, "@le32") \
  X(kw_type, "@type") \
  X(kw_strfromchr, "@strfromchr") \
  X(kw_strlower, "@strlower") \
  X(kw_strupper, "@strupper") \
  X(kw_strreverse, "@strreverse") \
  X(kw_strcmp, "@strcmp") \
  X(kw_strstr, "@strstr") \
  X(kw_strrep, "@strrep") \
  X(kw_strlistjoin, "@strlistjoin") \
  X(kw_strlistrmdupes, "@strlistrmdupes") \
  X(kw_strstrip, "@strstrip") \
  X(kw_strsub, "@strsub") \
  X(kw_strgsub, "@strgsub") \
  X(kw_strset, "@strset") \
  X(kw_strword, "@strword") \
  X(kw_strwordcnt, "@strwordcnt") \
  X(kw_strwordlist, "@strwordlist") \
  X(kw_strappend, "@strappend") \
  X(kw_abs, "@abs") \
  X(kw_acos, "@acos") \
  X(kw_asin, "@asin") \
  X(kw_atan, "@atan") \
  X(kw_ceil, "@ceil") \
  X(kw_floor, "@floor") \
  X(kw_trunc, "@trunc") \
  X(kw_round, "@round") \
  X(kw_cos, "@cos") \
  X(kw_sin, "@sin") \
  X(kw_tan, "@tan") \
  X(kw_exp, "@exp") \
  X(kw_log, "@log") \
  X(kw_sqrt, "@sqrt") \
  X(kw_getenv, "@getenv") \
  X(kw_chomp, "@chomp") \
  X(kw_dupnonrec, "@dupnonrec") \
  X(kw_pbnew, "@pbnew") \
  X(kw_str2pb, "@str2pb") \
  X(kw_pb2str, "@pb2str") \
  X(kw_fpclassify, "@fpclassify") \
  X(kw_tostring, "@tostring") \
  X(kw_tonumber, "@tonumber") \
  X(kw_scopeparent, "@scopeparent") \
  X(kw_scopenew, "@scopenew") \
  X(kw_getscopedyn, "@getscopedyn") \
  X(kw_getscopelex, "@getscopelex") \
  X(kw_gettime, "@gettime") \
  X(kw_localtime, "@localtime") \
  X(kw_gmtime, "@gmtime") \
  X(kw_mktime, "@mktime") \
  X(kw_fopen, "@fopen") \
  X(kw_fclose, "@fclose") \
  X(kw_fread, "@fread") \
  X(kw_fseek, "@fseek") \
  X(kw_fgetdelim, "@fgetdelim") \
  X(kw_fflush, "@fflush") \
  X(kw_fwrite, "@fwrite") \
  X(kw_jsonenc, "@jsonenc") \
  X(kw_jsondec, "@jsondec") \
  X(kw_jsontest, "@jsontest") \
  X(kw_splice, "@splice") \
  X(kw_insert, "@insert") \
  X(kw_dictnext, "@dictnext") \
  X(kw_dictprev, "@dictprev") \
  X(kw_dynluacall, "@dynluacall") \
  X(kw_lexluacall, "@lexluacall") \
  X(kw_access, "@access") \
  X(kw_sufsubone, "@sufsubone") \
  X(kw_presubone, "@presubone") \
  X(kw_sufsuball, "@sufsuball") \
  X(kw_presuball, "@presuball") \
  X(kw_filter, "@filter") \
  X(kw_filterout, "@filterout") \
  X(kw_suffilter, "@suffilter") \
  X(kw_suffilterout, "@suffilterout") \
  X(kw_prefilter, "@prefilter") \
  X(kw_prefilterout, "@prefilterout") \
  X(kw_regfilter, "@regfilter") \
  X(kw_eregfilter, "@eregfilter") \
  X(kw_pathsuffix, "@pathsuffix") \
  X(kw_pathsimplify, "@pathsimplify") \
  X(kw_pathbasename, "@pathbasename") \
  X(kw_pathdir, "@pathdir") \
  X(kw_pathnotdir, "@pathnotdir") \
  X(kw_pathsuffixall, "@pathsuffixall") \
  X(kw_pathsimplifyall, "@pathsimplifyall") \
  X(kw_pathbasenameall, "@pathbasenameall") \
  X(kw_pathdirall, "@pathdirall") \
  X(kw_pathnotdirall, "@pathnotdirall") \
  X(kw_glob, "@glob") \
  X(kw_jsonin, "@jsonin") \
  X(kw_abspath, "@abspath") \
  X(kw_dirup, "@dirup") \
  X(kw_dirdown, "@dirdown") \
  X(kw_dirupall, "@dirupall") \
  X(kw_dirdownall, "@dirdownall") \
  /* end of keywords */

enum class tok : int {
  end = 0,             // end of input, in every start condition
  newline,             // end of a statement line
  at,                  // a lone `@` (also `@` plus a tab outside a recipe)
  recipe_expr,         // `@` and a tab in column 1 of a recipe line
  recipe_expr_list,    // `@@` and a tab in column 1 of a recipe line
  varref,              // $NAME, $(NAME), ${NAME}, $^ $+ $| $< $@ $*
  number,              // digits[.digits][e[+-]digits]
  string,              // a quoted string, escapes processed
  freeform,            // a bare word such as a/b.c (not in strict mode)
  at_word,             // `@` and letters/digits that are no keyword
  shell_text,          // the command text of a tab-started recipe line
  lua_text,            // the text between %lua{ and %}
  invalid,             // any character no other token accepts
#define KILN_TOK_ENUM(kind, text) kind,
  KILN_PUNCTUATION(KILN_TOK_ENUM)
  KILN_KEYWORDS(KILN_TOK_ENUM)
#undef KILN_TOK_ENUM
  n_kinds              // number of kinds; not a token
};

// The spelling of a punctuation or keyword kind ("@phonyrule", "<<"), or a
// short description of a token class ("number", "end of input").
std::string_view token_name(tok kind);

// The keyword kind spelled exactly by `word` ("@if"), or tok::end when the
// word is no keyword. `@strict` is no token and is not found here.
tok keyword_kind(std::string_view word);

// Number of keyword spellings (including `@le8`); for tests.
int keyword_count();

// The i-th keyword spelling in sorted order, 0 <= i < keyword_count().
std::string_view keyword_spelling(int i);

}  // namespace kiln::front
