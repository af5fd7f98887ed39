// Tests of the Kilnfile lexer: token priorities, recipe lines, comments,
// strings and escapes, positions, buffer growth and random input.
#include "front/lexer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace kiln::front {
namespace {

struct lexed {
  tok kind;
  std::string text;
  double number = 0;
  bool is_integer = false;
  int line = 0;
  int column = 0;
};

// Lexes the whole input; `flags` are the lexer_flags to start with.
std::vector<lexed> lex_all(const std::string& input, int flags = 0) {
  std::vector<lexed> out;
  std::string padded = input;  // fmemopen refuses an empty buffer
  FILE* f = fmemopen(padded.empty() ? nullptr : padded.data(),
                     padded.empty() ? 1 : padded.size(), "r");
  if (!f) return out;
  if (padded.empty()) fgetc(f);  // the null-buffer stream holds one byte
  {
    lexer lx(f, flags);
    token_value v;
    for (;;) {
      tok t = lx.next_token(v);
      if (t == tok::end) break;
      out.push_back({t, v.text, v.number, v.is_integer, lx.get_line(),
                     lx.get_column()});
    }
    EXPECT_TRUE(lx.at_end());
  }
  fclose(f);
  return out;
}

std::vector<tok> kinds(const std::string& input, int flags = 0) {
  std::vector<tok> k;
  for (const lexed& l : lex_all(input, flags)) k.push_back(l.kind);
  return k;
}

using K = std::vector<tok>;

// Processor time since start, in milliseconds: the bounds below catch
// rescanning, which costs orders of magnitude, and a busy machine does not
// move them.
double cpu_ms_since(std::clock_t start) {
  return 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

TEST(LexerWords, FreeFormTokensEndAtMinusButNotAtSlashOrDot) {
  auto t = lex_all("foo-bar a/b.c /x");
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[0].kind, tok::freeform);
  EXPECT_EQ(t[0].text, "foo");
  EXPECT_EQ(t[1].kind, tok::minus);
  EXPECT_EQ(t[2].text, "bar");
  EXPECT_EQ(t[3].kind, tok::freeform);
  EXPECT_EQ(t[3].text, "a/b.c");
  EXPECT_EQ(t[4].kind, tok::slash);
  EXPECT_EQ(t[5].text, "x");
}

TEST(LexerWords, NumbersBeatWordsOnlyWhenAsLong) {
  auto t = lex_all("1.5e-3 00 1e 1. .5 9a 12 1E+2 . ..");
  ASSERT_EQ(t.size(), 10u);
  EXPECT_EQ(t[0].kind, tok::number);
  EXPECT_DOUBLE_EQ(t[0].number, 1.5e-3);
  EXPECT_FALSE(t[0].is_integer);
  EXPECT_EQ(t[1].kind, tok::number);
  EXPECT_EQ(t[1].number, 0);
  EXPECT_TRUE(t[1].is_integer);
  EXPECT_EQ(t[2].kind, tok::freeform);
  EXPECT_EQ(t[2].text, "1e");
  EXPECT_EQ(t[3].kind, tok::freeform);
  EXPECT_EQ(t[3].text, "1.");
  EXPECT_EQ(t[4].kind, tok::freeform);
  EXPECT_EQ(t[4].text, ".5");
  EXPECT_EQ(t[5].kind, tok::freeform);
  EXPECT_EQ(t[6].kind, tok::number);
  EXPECT_EQ(t[6].number, 12);
  EXPECT_TRUE(t[6].is_integer);
  EXPECT_EQ(t[7].kind, tok::number);
  EXPECT_EQ(t[7].number, 100);
  EXPECT_FALSE(t[7].is_integer);
  EXPECT_EQ(t[8].kind, tok::dot);
  EXPECT_EQ(t[9].kind, tok::freeform);
}

TEST(LexerWords, StrictModeHasNoFreeFormTokens) {
  EXPECT_EQ(kinds("@strict abc \"abc\" 1. x"),
            (K{tok::invalid, tok::invalid, tok::invalid, tok::string, tok::number,
               tok::dot, tok::invalid}));
  // The switch lasts to the end of the file, across lines and recipes.
  EXPECT_EQ(kinds("a @strict\nb\n"),
            (K{tok::freeform, tok::newline, tok::invalid, tok::newline}));
  EXPECT_EQ(kinds("@strictx @strict_"),
            (K{tok::at_word, tok::invalid}));
}

TEST(LexerVarrefs, AllFormsGiveTheBareName) {
  auto t = lex_all("$^ $+ $| $< $@ $* $NAME_1 $(foo) ${bar} $9");
  std::vector<std::string> names;
  for (auto& l : t) {
    EXPECT_EQ(l.kind, tok::varref);
    names.push_back(l.text);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"^", "+", "|", "<", "@", "*", "NAME_1",
                                             "foo", "bar", "9"}));
}

TEST(LexerVarrefs, MalformedReferencesStartWithAnInvalidDollar) {
  EXPECT_EQ(kinds("$(@foo)"),
            (K{tok::invalid, tok::lparen, tok::at_word, tok::rparen}));
  EXPECT_EQ(kinds("$ $( foo) $(foo} ${}"),
            (K{tok::invalid, tok::invalid, tok::lparen, tok::freeform, tok::rparen,
               tok::invalid, tok::lparen, tok::freeform, tok::rbrace, tok::invalid,
               tok::lbrace, tok::rbrace}));
}

TEST(LexerAt, KeywordsBeatWordsOfEqualLength) {
  auto t = lex_all("@Foo_x @if_x @ifx @RULE_DISTANT @le8 @be8 @? @?x @ x @@ @a1b2");
  std::vector<tok> k;
  for (auto& l : t) k.push_back(l.kind);
  EXPECT_EQ(k, (K{tok::at_word, tok::freeform, tok::kw_if, tok::freeform, tok::at_word,
                  tok::kw_rule_dist, tok::freeform, tok::kw_be8, tok::kw_be8,
                  tok::kw_exists, tok::kw_exists, tok::freeform, tok::at, tok::freeform,
                  tok::at, tok::at, tok::at_word}));
  EXPECT_EQ(t[0].text, "@Foo");
  EXPECT_EQ(t[1].text, "_x");
  EXPECT_EQ(t[4].text, "@ifx");
  EXPECT_EQ(t[6].text, "ANT");
  EXPECT_EQ(t[16].text, "@a1b2");
}

TEST(LexerAt, EveryKeywordIsItsOwnToken) {
  ASSERT_EQ(keyword_count(), 206);
  for (int i = 0; i < keyword_count(); ++i) {
    std::string word(keyword_spelling(i));
    tok want = keyword_kind(word);
    ASSERT_NE(want, tok::end) << word;
    auto t = lex_all(word + " " + word + "\n");
    ASSERT_EQ(t.size(), 3u) << word;
    EXPECT_EQ(t[0].kind, want) << word;
    EXPECT_EQ(t[1].kind, want) << word;
    if (word != "@le8") {
      EXPECT_EQ(token_name(want), word);
    }
    // A longer letter run makes it a plain @word (the underscore of the
    // RULE_ keywords is no @word character, so they stay keywords).
    if (word == "@?" || word.find('_') != std::string::npos) continue;
    auto longer = lex_all(word + "Z9");
    ASSERT_EQ(longer.size(), 1u) << word;
    EXPECT_EQ(longer[0].kind, tok::at_word) << word;
  }
  EXPECT_EQ(keyword_kind("@strict"), tok::end);
  EXPECT_EQ(keyword_kind("@iff"), tok::end);
}

TEST(LexerPunctuation, LongestSpellingWins) {
  EXPECT_EQ(kinds(": , = && || != == += ?= `= ``= << >> < > ( ) [ ] { } / * + - & | ~ ^ "
                  "! % >= <= <> ."),
            (K{tok::colon, tok::comma, tok::assign, tok::and_and, tok::or_or,
               tok::not_equal, tok::equal_equal, tok::plus_assign, tok::default_assign,
               tok::shell_assign, tok::shell_assign_split, tok::shift_left,
               tok::shift_right, tok::less, tok::greater, tok::lparen, tok::rparen,
               tok::lbracket, tok::rbracket, tok::lbrace, tok::rbrace, tok::slash,
               tok::star, tok::plus, tok::minus, tok::amp, tok::pipe, tok::tilde,
               tok::caret, tok::bang, tok::percent, tok::greater_equal,
               tok::less_equal, tok::call_if_fun, tok::dot}));
  EXPECT_EQ(kinds("a<>b<<=c"), (K{tok::freeform, tok::call_if_fun, tok::freeform,
                                  tok::shift_left, tok::assign, tok::freeform}));
  EXPECT_EQ(kinds("? ` `` ; \\x \x01 \r"),
            (K{tok::invalid, tok::invalid, tok::invalid, tok::invalid, tok::invalid,
               tok::invalid, tok::freeform, tok::invalid, tok::invalid}));
  EXPECT_EQ(token_name(tok::shell_assign_split), "``=");
  EXPECT_EQ(token_name(tok::end), "end of input");
}

TEST(LexerLines, CarriageReturnIsAnInvalidCharacter) {
  EXPECT_EQ(kinds("@toplevel\r\na\r\n"),
            (K{tok::kw_toplevel, tok::invalid, tok::newline, tok::freeform, tok::invalid,
               tok::newline}));
}

TEST(LexerLines, WholeLineCommentsVanishTrailingOnesEndTheStatement) {
  EXPECT_EQ(kinds("a # trailing\nb\n# whole line\nc\n  # indented\nd # at end"),
            (K{tok::freeform, tok::newline, tok::freeform, tok::newline, tok::freeform,
               tok::newline, tok::newline, tok::freeform}));
  // On the first line of a new lexer a comment still ends the statement.
  EXPECT_EQ(kinds("# first\nx", k_initial_lexer_flags), (K{tok::newline, tok::freeform}));
  // On a continued line the comment is no whole-line comment.
  EXPECT_EQ(kinds("\na \\\n# c\nb"),
            (K{tok::newline, tok::freeform, tok::newline, tok::freeform}));
}

TEST(LexerLines, BackslashNewlineJoinsAndNewlineClears) {
  FILE* f = fmemopen(const_cast<char*>("a \\\nb\nc"), 7, "r");
  ASSERT_NE(f, nullptr);
  lexer lx(f, 0);
  token_value v;
  EXPECT_EQ(lx.next_token(v), tok::freeform);
  EXPECT_EQ(lx.get_flags() & k_line_continued, 0);
  EXPECT_EQ(lx.next_token(v), tok::freeform);
  EXPECT_EQ(lx.get_flags() & k_line_continued, k_line_continued);
  EXPECT_EQ(lx.next_token(v), tok::newline);
  EXPECT_EQ(lx.get_flags() & k_line_continued, 0);
  EXPECT_EQ(lx.next_token(v), tok::freeform);
  EXPECT_EQ(lx.next_token(v), tok::end);
  EXPECT_EQ(lx.next_token(v), tok::end);
  fclose(f);
}

TEST(LexerRecipes, TabStartsAShellLineOnlyInRecipeContext) {
  auto t = lex_all("\n\techo $@ # not a comment \\\n  -c\nx\n", k_in_recipe_context);
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[1].kind, tok::shell_text);
  EXPECT_EQ(t[1].text, "echo $@ # not a comment \\\n  -c");
  EXPECT_EQ(t[2].kind, tok::newline);
  EXPECT_EQ(t[3].kind, tok::freeform);
  // Outside a recipe the tab is white space.
  EXPECT_EQ(kinds("\n\techo hi\n", 0),
            (K{tok::newline, tok::freeform, tok::freeform, tok::newline}));
  // After a backslash-newline it is white space too.
  EXPECT_EQ(kinds("\nx \\\n\ty\n", k_in_recipe_context),
            (K{tok::newline, tok::freeform, tok::freeform, tok::newline}));
  // Only in column 1; never on the first line of a new lexer.
  EXPECT_EQ(kinds("\n \ty\n", k_in_recipe_context),
            (K{tok::newline, tok::freeform, tok::newline}));
  EXPECT_EQ(kinds("\ty\n", k_in_recipe_context | k_line_continued),
            (K{tok::freeform, tok::newline}));
  // A tab followed directly by the newline gives no command text.
  EXPECT_EQ(kinds("\n\t\nx", k_in_recipe_context),
            (K{tok::newline, tok::newline, tok::freeform}));
}

TEST(LexerRecipes, ExpressionRecipeMarkersNeedColumnOneAndContext) {
  EXPECT_EQ(kinds("\n@\t@noecho [\"a\"]\n@@\t[]\n", k_in_recipe_context),
            (K{tok::newline, tok::recipe_expr, tok::kw_noecho, tok::lbracket, tok::string,
               tok::rbracket, tok::newline, tok::recipe_expr_list, tok::lbracket,
               tok::rbracket, tok::newline}));
  EXPECT_EQ(kinds("\n@\tx\n@@\ty\n", 0),
            (K{tok::newline, tok::at, tok::freeform, tok::newline, tok::invalid,
               tok::freeform, tok::newline}));
  EXPECT_EQ(kinds("\n @\tx", k_in_recipe_context), (K{tok::newline, tok::at, tok::freeform}));
  EXPECT_EQ(kinds("\nx \\\n@\ty", k_in_recipe_context),
            (K{tok::newline, tok::freeform, tok::at, tok::freeform}));
}

TEST(LexerStrings, EscapesAreProcessed) {
  auto t = lex_all("\"a\\nb\\tc\\rd\\\\e\\\"f\\$g\\'\" 'it\\'s \"q\"' \"\\u00e9\\u20ac\\u0041\" "
                   "\"\\u0000\\x41\\xfF\" \"\"");
  ASSERT_EQ(t.size(), 5u);
  for (auto& l : t) EXPECT_EQ(l.kind, tok::string);
  EXPECT_EQ(t[0].text, "a\nb\tc\rd\\e\"f$g'");
  EXPECT_EQ(t[1].text, "it's \"q\"");
  EXPECT_EQ(t[2].text, "\xC3\xA9\xE2\x82\xAC" "A");
  EXPECT_EQ(t[3].text, std::string("\0A\xff", 3));
  EXPECT_EQ(t[4].text, "");
}

TEST(LexerStrings, UnterminatedQuoteIsAnInvalidCharacter) {
  EXPECT_EQ(kinds("\"abc"), (K{tok::invalid, tok::freeform}));
  EXPECT_EQ(kinds("'a\\\nb'"),
            (K{tok::invalid, tok::freeform, tok::freeform, tok::invalid}));
}

TEST(LexerStrings, EscapedQuotesWithoutAnEndAreRejectedOnce) {
  // Every quote starts a string that has no end; each must not rescan to
  // the end of the input.
  for (const char* unit : {"\\\"", "\\'"}) {
    std::string input = std::string(1, unit[1]);
    for (int i = 0; i < 100000; ++i) input += unit;
    input += "\\\n";
    std::clock_t start = std::clock();
    auto t = lex_all(input);
    double elapsed_ms = cpu_ms_since(start);
    ASSERT_EQ(t.size(), 1u + 2 * 100000);
    EXPECT_EQ(t.back().kind, tok::invalid);
    EXPECT_LT(elapsed_ms, 1000);
  }
  // A quote outside the span of the rejected string still pairs up.
  EXPECT_EQ(kinds("\"\\\"a\\\n \"b\""),
            (K{tok::invalid, tok::invalid, tok::invalid, tok::freeform, tok::string}));
}

TEST(LexerStrings, NewlinesInsideAStringCountAsLines) {
  auto t = lex_all("x \"a\nbc\" y");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[1].text, "a\nbc");
  EXPECT_EQ(t[1].line, 2);
  EXPECT_EQ(t[1].column, 4);
  EXPECT_EQ(t[2].line, 2);
  EXPECT_EQ(t[2].column, 6);
}

TEST(LexerStringsDeathTest, BadUnicodeEscapeExits) {
  EXPECT_EXIT(lex_all("\"\\u12\"x"), testing::ExitedWithCode(2),
              "Invalid string unicode escape: \\\\u12\"x\n");
  EXPECT_EXIT(lex_all("'\\u12g4'"), testing::ExitedWithCode(2),
              "Invalid string unicode escape: \\\\u12g4\n");
  EXPECT_EXIT(lex_all("\"\\u1\""), testing::ExitedWithCode(2),
              "Invalid string unicode escape: \\\\u1\"\n");
  EXPECT_EXIT(lex_all("\"\\xg1\""), testing::ExitedWithCode(2),
              "Invalid string unicode escape: \\\\xg1\n");
}

TEST(LexerBufferDeathTest, ReadErrorExits) {
  EXPECT_EXIT(
      {
        FILE* f = fopen("/", "r");
        if (!f) exit(3);
        lexer lx(f);
        token_value v;
        lx.next_token(v);
      },
      testing::ExitedWithCode(2), "input in flex scanner failed\n");
}

TEST(LexerLua, BlockTextIsCollectedVerbatim) {
  auto t = lex_all("a %lua{ x = \"%\" -- }\n% y %}b\n%lua");
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[1].kind, tok::lua_text);
  EXPECT_EQ(t[1].text, " x = \"%\" -- }\n% y ");
  EXPECT_EQ(t[1].line, 2);
  EXPECT_EQ(t[1].column, 7);
  EXPECT_EQ(t[2].kind, tok::freeform);
  EXPECT_EQ(t[4].kind, tok::percent);
  EXPECT_EQ(kinds("%lua{ never closed\n"), K{});
}

TEST(LexerPositions, LineAndColumnFollowTheTokens) {
  auto t = lex_all("abc d\n# c\n  ef \\\n g\n\tgcc \\\n  -c x\n", 0);
  // abc: first line starts at column 0.
  EXPECT_EQ(t[0].line, 1);
  EXPECT_EQ(t[0].column, 3);
  EXPECT_EQ(t[1].column, 5);
  EXPECT_EQ(t[2].kind, tok::newline);
  EXPECT_EQ(t[2].line, 2);
  EXPECT_EQ(t[2].column, 1);
  // ef after a whole-line comment.
  EXPECT_EQ(t[3].text, "ef");
  EXPECT_EQ(t[3].line, 3);
  EXPECT_EQ(t[3].column, 5);
  // g after a continued line.
  EXPECT_EQ(t[4].text, "g");
  EXPECT_EQ(t[4].line, 4);
  EXPECT_EQ(t[4].column, 3);

  auto s = lex_all("a:\n\tgcc \\\n  -c x\ny", k_in_recipe_context);
  ASSERT_EQ(s.size(), 6u);
  EXPECT_EQ(s[3].kind, tok::shell_text);
  EXPECT_EQ(s[3].line, 3);
  EXPECT_EQ(s[3].column, 2 + 6);
  EXPECT_EQ(s[4].line, 4);
  EXPECT_EQ(s[4].column, 1);
  EXPECT_EQ(s[5].column, 2);
}

TEST(LexerPositions, NothingBeforeTheFirstToken) {
  FILE* f = fmemopen(const_cast<char*>("x"), 1, "r");
  ASSERT_NE(f, nullptr);
  lexer lx(f);
  EXPECT_EQ(lx.get_line(), 0);
  EXPECT_EQ(lx.get_column(), 0);
  EXPECT_EQ(lx.get_flags(), k_initial_lexer_flags);
  token_value v;
  EXPECT_EQ(lx.next_token(v), tok::freeform);
  EXPECT_EQ(lx.get_line(), 1);
  EXPECT_EQ(lx.get_column(), 1);
  fclose(f);
}

TEST(LexerBuffer, TokensCrossingAndExceedingTheBuffer) {
  // A word straddling the first refill.
  std::string input(k_input_buffer_size - 3, ' ');
  input += "abcdefghij \"";
  std::string big_string(3 * k_input_buffer_size + 7, 'q');
  big_string[k_input_buffer_size] = '\n';
  input += big_string + "\" ";
  std::string big_word(2 * k_input_buffer_size + 1, 'w');
  input += big_word + "\n\t" + big_word + "\n";
  auto t = lex_all(input, k_in_recipe_context);
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[0].text, "abcdefghij");
  EXPECT_EQ(t[1].kind, tok::string);
  EXPECT_EQ(t[1].text, big_string);
  EXPECT_EQ(t[2].kind, tok::freeform);
  EXPECT_EQ(t[2].text, big_word);
  EXPECT_EQ(t[4].kind, tok::shell_text);
  EXPECT_EQ(t[4].text, big_word);
}

TEST(LexerBuffer, ManyShortLinesAcrossRefills) {
  std::string input;
  for (int i = 0; i < 20000; ++i)
    input += "src/f" + std::to_string(i) + ".o: \"src/f" + std::to_string(i) +
             ".c\" @recdep $(CFLAGS) # dep\n";
  std::clock_t start = std::clock();
  auto t = lex_all(input);
  double elapsed_ms = cpu_ms_since(start);
  ASSERT_EQ(t.size(), 20000u * 6);
  EXPECT_EQ(t.back().line, 20001);
  EXPECT_EQ(t[6 * 12345 + 2].text, "src/f12345.c");
  EXPECT_LT(elapsed_ms, 500);
}

// Random bytes and mutations of a valid Kilnfile, with the parser's flag
// changes simulated, must always reach the end without a crash. Escapes
// that would end the process are defused.
TEST(LexerRobustness, RandomInputAlwaysReachesTheEnd) {
  const std::string seed =
      "@toplevel\n@strict\n$X = [\"a\\u00e9\", 'b'] # c\n@phonyrule: all: $(X)\n"
      "\techo $@ \\\n  more\n@\t@noecho [\"cc\", $<]\n%lua{ x %}\n@if (1.5e3 >= 2)\n"
      "@endif\n";
  std::mt19937 rng(12345);
  const char alphabet[] = "@$\"'\\\n\t #%{}()[]`=<>!?.:,-+/eE0123456789aZ_lu";
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    if (round % 3 == 0) {
      int n = rng() % 300;
      for (int i = 0; i < n; ++i)
        input.push_back(round % 2 ? static_cast<char>(rng() % 256)
                                  : alphabet[rng() % (sizeof alphabet - 1)]);
    } else {
      // Now and then a file several buffers long, so that every scanner
      // meets a refill.
      int n_copies = round % 50 == 1 ? 400 : 1;
      input.clear();
      for (int i = 0; i < n_copies; ++i) input += seed;
      int n_mutations = 1 + rng() % (8 * n_copies);
      for (int m = 0; m < n_mutations; ++m) {
        size_t at = rng() % (input.size() + 1);
        switch (rng() % 3) {
          case 0: input.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
          case 1: if (at < input.size()) input.erase(at, 1); break;
          default: if (at < input.size()) input[at] = static_cast<char>(rng() % 256);
        }
      }
    }
    for (size_t i = 0; i + 1 < input.size(); ++i)
      if (input[i] == '\\' && (input[i + 1] == 'u' || input[i + 1] == 'x')) input[i + 1] = 'n';
    FILE* f = fmemopen(input.empty() ? nullptr : input.data(),
                       input.empty() ? 1 : input.size(), "r");
    ASSERT_NE(f, nullptr);
    if (input.empty()) fgetc(f);
    lexer lx(f, static_cast<int>(rng() % 4));
    token_value v;
    size_t n_tokens = 0;
    for (tok t; (t = lx.next_token(v)) != tok::end;) {
      ASSERT_LT(static_cast<int>(t), static_cast<int>(tok::n_kinds));
      ASSERT_LE(++n_tokens, input.size() + 1);
      if (t == tok::newline && rng() % 2) lx.set_flags(lx.get_flags() ^ k_in_recipe_context);
    }
    EXPECT_TRUE(lx.at_end());
    fclose(f);
  }
}

}  // namespace
}  // namespace kiln::front
