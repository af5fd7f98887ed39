"""Kilnfiles as a user writes them, end to end: the rule trace of -d,
parse failures that leave the database alone, recipe evaluation at run
time and its failure, old-style lines, shell assignments, @order and the
once-per-tree recommendation."""

import os
import unittest

from kilntest import ProjectTestCase, echoed_targets


class KilnfileTest(ProjectTestCase):
    def test_debug_trace_announces_every_rule_and_dependency_only_entry(self):
        self.write("Kilnfile",
                   '@toplevel\n'
                   '@phonyrule: "all": "a"\n'
                   '@deponly: "a": "b"\n'
                   '@patrule: (["x.o", "y.o"]): "%.o": "%.c"\n'
                   '"a":\n\ttouch $@\n'
                   '@dirinclude "sub"\n')
        self.write("sub/Kilnfile", '@subfile\n@deponly: "t": "u"\n"t":\n')
        self.write("b", "")
        self.write("sub/u", "")
        r = self.build("-d", "-n")
        lines = r.stdout.splitlines()
        # all, the two pattern instances, a, t; then the two dependency-only entries.
        self.assertEqual([l for l in lines if l.startswith("ADDING")],
                         ["ADDING RULE"] * 4 + ["ADDING DEP"] * 2)

    def test_parse_failure_creates_no_database_and_keeps_an_existing_one(self):
        self.write("Kilnfile", '@toplevel\n"a":\n\techo a > $@\n)\n')
        r = self.build(status=2)
        self.assertIn("kiln: syntax error at file Kilnfile line 4 col 2.\n", r.stderr)
        self.assertIn("kiln: *** Parsing failed. Exiting.\n", r.stderr)
        self.assertIsNone(self.db())
        self.write("Kilnfile", '@toplevel\n"a":\n\techo a > $@\n')
        self.build()
        before = self.db()
        self.write("Kilnfile", '@toplevel\n"a":\n\techo b > $@\n$X = (\n')
        self.build(status=2)
        self.assertEqual(self.db(), before)

    def test_recipes_are_evaluated_in_their_scope_just_before_they_run(self):
        self.write("Kilnfile",
                   '@toplevel\n'
                   '$MSG = "top"\n'
                   '@phonyrule: "all": "one" "sub/two"\n'
                   '"one":\n'
                   '@\t["sh", "-c", "echo $0 > $1", $MSG, $@]\n'
                   '$MSG = "changed later"\n'
                   '@dirinclude "sub"\n')
        self.write("sub/Kilnfile",
                   '@subfile\n'
                   '$MSG = "sub"\n'
                   '"two": "../one"\n'
                   '@@\t[["cp", $<, $@], ["sh", "-c", "echo $0 >> $1", $MSG, $@]]\n')
        self.build("-s")
        self.assertEqual(self.read("one"), "changed later\n")
        self.assertEqual(self.read("sub/two"), "changed later\nsub\n")

    def test_a_recipe_that_gives_no_argument_vector_stops_the_build(self):
        self.write("Kilnfile", '@toplevel\n"a":\n@\t"echo a"\n')
        r = self.build(status=2)
        self.assertIn("kiln: *** evaluating shell commands for 'a' (directory: '.') failed, "
                      "error: Expected array", r.stderr)
        self.write("Kilnfile", '@toplevel\n"a":\n@\t[$NOPE]\n')
        r = self.build(status=2)
        self.assertIn("Backtrace:", r.stdout)
        self.assertIn("evaluating shell commands for 'a'", r.stderr)

    def test_a_failed_recipe_names_its_kilnfile_line_and_rule(self):
        self.write("Kilnfile",
                   '@toplevel\n@dirinclude "sub"\n'
                   '@function $cmd($arg)\n'
                   '  @return ["echo", @D $UNSET]\n'
                   '@endfunction\n'
                   '@call @addrule({"tgts": [{"name": "t"}], '
                   '"shells": [{"isfun": @true, "fun": @L $cmd, "arg": 1}]})\n')
        self.write("sub/Kilnfile",
                   '@subfile\n\n'
                   '"a.o": "a.c"\n'
                   '\techo one\n'
                   '\t$(CCC) -c $< \\\n'
                   '\t  -o $@\n'
                   '"b":\n'
                   '@@\t[["true"], \\\n'
                   '   [$MISSING]]\n'
                   '"c":\n'
                   '@\t"not a list"\n')
        self.write("sub/a.c", "")
        r = self.build("sub/a.o", status=2)
        # The engine's own report stays as it was.
        self.assertIn("error Scope variable not found\nBacktrace:\n", r.stdout)
        self.assertIn('"CCC"\ngetting global variable\n', r.stdout)
        self.assertIn("kiln: variable $CCC is not defined in the recipe of 'sub/a.o' "
                      "at file ./sub/Kilnfile line 5.\n"
                      "kiln: *** evaluating shell commands for 'sub/a.o' (directory: 'sub') "
                      "failed, error: Scope variable not found. Exiting.\n", r.stderr)
        r = self.build("sub/b", status=2)
        self.assertIn("kiln: variable $MISSING is not defined in the recipe of 'sub/b' "
                      "at file ./sub/Kilnfile line 8.\n", r.stderr)
        r = self.build("sub/c", status=2)
        self.assertIn("kiln: Expected array in the recipe of 'sub/c' "
                      "at file ./sub/Kilnfile line 11.\n", r.stderr)
        r = self.build("t", status=2)
        self.assertIn("kiln: variable $UNSET is not defined in the recipe of 't', made by the "
                      "statement at line 6 of the Kilnfile in directory '.'.\n", r.stderr)

    def test_spaces_instead_of_a_recipe_tab_get_a_hint(self):
        rule = '@toplevel\n"a": "b"\n\techo first\n'
        self.write("Kilnfile", rule + '        cc -c a.c\n')
        r = self.build(status=2)
        self.assertIn("kiln: syntax error at file Kilnfile line 4 col 13 "
                      "(did you mean TAB instead of 8 spaces?).\n", r.stderr)
        # A one-word line fails only at its end of line, on the next line.
        self.write("Kilnfile", rule + '   true\n')
        r = self.build(status=2)
        self.assertIn("kiln: syntax error at file Kilnfile line 5 col 1 "
                      "(did you mean TAB instead of 3 spaces on line 4?).\n", r.stderr)
        # Indented lines elsewhere are no recipe lines gone wrong.
        self.write("Kilnfile", '@toplevel\n$X = 1\n   )\n')
        r = self.build(status=2)
        self.assertIn("kiln: syntax error at file Kilnfile line 3 col 5.\n", r.stderr)

    def test_a_missing_endfunction_names_the_open_function(self):
        self.write("Kilnfile", '@toplevel\n\n@function $f($x)\n  @return $x\n')
        r = self.build(status=2)
        self.assertIn("kiln: missing @endfunction for the @function $f of line 3 "
                      "at file Kilnfile line 5 col 1.\n", r.stderr)
        # Top-level statements swallowed by the open body fail there.
        self.write("Kilnfile", '@toplevel\n@function $f($x)\n  @return $x\n\n"a": "b"\n')
        r = self.build(status=2)
        self.assertIn("kiln: syntax error at file Kilnfile line 5 col 5.\n"
                      "kiln: note: in the body of the @function $f of line 2.\n", r.stderr)

    def test_old_style_lines_quote_expansions_and_keep_continuations(self):
        self.write("in file's name", "data\n")
        self.write("Kilnfile",
                   '@toplevel\n'
                   '$OUT = "out put"\n'
                   '"out put": "in file\'s name"\n'
                   '\t@cat $< \\\n'
                   '\t  > $(OUT); echo $$HOME-free >> $@\n')
        r = self.build()
        self.assertEqual(r.stdout, "")  # @ suppresses the echo
        self.assertEqual(self.read("out put"), "data\n$HOME-free\n".replace("$HOME", os.environ.get("HOME", "")))

    def test_shell_assignments_feed_rules_at_parse_time(self):
        self.write("Kilnfile",
                   '@toplevel\n'
                   '$NAMES ``= ["printf", " a  b\\nc \\n"]\n'
                   '$WHOLE `= ["echo", "x y"]\n'
                   '@phonyrule: "all": ($NAMES)\n'
                   '@patrule: ($NAMES): "%":\n'
                   '@\t["sh", "-c", "printf %s \\"$0\\" > $1", $WHOLE, $@]\n')
        self.build("-s")
        for name in ("a", "b", "c"):
            self.assertEqual(self.read(name), "x y\n")
        self.write("Kilnfile", '@toplevel\n$X `= ["false"]\n')
        r = self.build(status=2)
        self.assertIn("shell-assign failed", r.stderr)

    def test_order_pairs_order_otherwise_independent_rules(self):
        base = ('@toplevel\n@phonyrule: "all": "first" "second"\n'
                '"first":\n\ttouch $@\n"second":\n\ttouch $@\n')
        self.write("Kilnfile", base)
        natural = echoed_targets(self.build().stdout)
        for p in ("first", "second", ".kiln.db"):
            os.remove(self.path(p))
        a, b = natural[1], natural[0]  # ask for the opposite order
        self.write("Kilnfile", base + f'@order "{a}" "{b}"\n')
        self.assertEqual(echoed_targets(self.build().stdout), [a, b])

    def test_free_form_recommendation_comes_once_per_tree(self):
        self.write("Kilnfile", '@toplevel\nall: x\n@dirinclude "sub"\n')
        self.write("sub/Kilnfile", '@subfile\nx y: z\n')
        r = self.run_kiln("-f", "Kilnfile", "-n")
        self.assertEqual(r.stdout.count("Recommend using string literals instead of free-form "
                                        "tokens; recommend also using @strict mode"), 1)


class HostileKilnfileTest(ProjectTestCase):
    """Input far outside what a real tree holds, as a fuzzer finds it: each
    case ends with a message naming the file and line and exit status 2,
    never in a crash (a signal would show as a negative status)."""

    def assert_refused(self, files, message):
        for name, text in files.items():
            with open(self.path(name), "wb") as f:
                f.write(text.encode("latin-1"))
        r = self.run_kiln("-f", "Kilnfile")
        self.assertEqual(r.returncode, 2, r.stderr[-500:])
        self.assertIn(message, r.stdout + r.stderr)

    def test_deep_nesting_and_self_inclusion_end_in_parse_errors(self):
        deep = 200000
        for body in ("$X = " + "(" * deep + "1" + ")" * deep + "\n",
                     "$X = " + "[" * deep + "1" + "]" * deep + "\n",
                     "@if (1)\n" * deep + "@endif\n" * deep):
            with self.subTest(body=body[:12]):
                self.assert_refused({"Kilnfile": "@toplevel\n" + body},
                                    "kiln: nesting deeper than 1000 levels at file Kilnfile line ")
        self.assert_refused({"Kilnfile": '@toplevel\n@projdirinclude "."\n'},
                            "kiln: Kilnfiles nested more than 2000 deep, probably infinite "
                            "recursion when opening file ././Kilnfile at file ././Kilnfile line 3")

    def test_nul_byte_in_a_name_is_an_error_of_its_file(self):
        rule = '\n\ttrue\n'
        self.assert_refused({"Kilnfile": '@toplevel\n"a\\x00b": "c"' + rule},
                            "error in targets at file Kilnfile line 2")
        self.assert_refused({"Kilnfile": '@toplevel\n"a": "c\\u0000d"' + rule},
                            "error in dependencies at file Kilnfile line 3")
        self.assert_refused({"Kilnfile": '@toplevel\n'
                                         '@call @addrule({"tgts": [{"name": "a\\u0000"}]})\n'},
                            "error in @call at file Kilnfile line 3")
        self.assert_refused({"Kilnfile": '@toplevel\n@cdepincludes @autophony @autotarget "a.d"\n'
                                         '"a.o": "a.c"' + rule + '"a.c":\n',
                             "a.d": "a.o: a.c \\\n x.h\n\nb.o: x\0y.h\n"},
                            "kiln: syntax error at file ./a.d line 4.\n"
                            "kiln: *** Invalid cdepincludes format in ./a.d. Exiting.\n")

    def test_table_sizes_beyond_two_to_the_thirty_are_refused(self):
        for directive, subject in (("dbhashsize", "DB hash size"),
                                   ("stathashsize", "Stat hash size"),
                                   ("expecteddeps", "Expected deps")):
            with self.subTest(directive=directive):
                self.assert_refused({"Kilnfile": "@toplevel\n"
                                                 f"@call @{directive}(4611686018427387904)\n"
                                                 '"a": "b"\n\ttouch a\n"b":\n\ttouch b\n'},
                                    f"kiln: {subject} must be a power of 2 at file Kilnfile line 2")

    def test_exit_in_a_function_ends_only_that_run(self):
        self.write("Kilnfile",
                   '@toplevel\n'
                   '@function $f($x)\n'
                   '  @exit($x)\n'
                   '@endfunction\n'
                   '@call $f(5)\n'
                   '@call @dump(3)\n'
                   '@phonyrule: "all": ($f("t"))\n'
                   '"t":\n'
                   '@\t$f(["touch", $@])\n')
        r = self.build()
        self.assertEqual(r.stdout, "3\n[., t] touch t\n")
        self.assertTrue(self.exists("t"))


if __name__ == "__main__":
    unittest.main()
