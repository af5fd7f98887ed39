"""Rules made by script code: a tree whose rules come from a JSON list of
sources through @jsonin, @sufsuball and @addrule, with recipes computed by
a function just before each rule runs; dependencies added at run time by
@adddeps from a recipe function, and what a recipe function may not do."""

import json
import os
import unittest

from kilntest import ProjectTestCase, echo_lines, echoed_targets

# The functions live in the top-level Kilnfile; src/Kilnfile calls them, so
# that @jsonin reads src's list and @addrule makes rules in src.
#
# $compile is the recipe of every object. It runs only when the object is
# about to be built and reads flags.json then, a file that a rule of the
# same build generates (it does not exist when the Kilnfiles are read).
TOP = """@toplevel
@strict
@function $compile($arg)
  @locvar $flags = @jsonin("flags.json"){"flags"}
  @return ["sh", "-c", "{ cat \\"$1\\"; echo \\"$3 $4\\"; } > \\"$2\\"", "sh", @D $<, @D $@, $arg{"tag"}, $flags]
@endfunction

@function $add_objects($list)
  @locvar $srcs = @jsonin($list){"sources"}
  @locvar $objs = @sufsuball($srcs, ".c", ".o")
  @locvar $i = 0
  @for ($i = 0, $i < $objs[], $i = $i + 1)
    @addrule({"tgts": [{"name": $objs[$i]}], "deps": [{"name": $srcs[$i]}, {"name": "flags.json"}], "shells": [{"isfun": @true, "fun": @L $compile, "arg": {"tag": "object " . $objs[$i]}}]})
  @endfor
  @return $objs
@endfunction

@phonyrule: "all": "src/prog"
@dirinclude "src"
"""

SRC = """@subfile
@strict
$OBJS = $add_objects("sources.json")
"prog": ($OBJS)
@\t["sh", "-c", "cat \\"$@\\" > prog", "sh", @ $^]
"flags.json": "flags.in"
@\t["sh", "-c", "printf '{\\"flags\\": \\"%s\\"}' \\"$(cat flags.in)\\" > flags.json"]
"""


def compile_echo(name, flags="-O2"):
    return (f'[src, src/{name}.o] sh -c {{ cat "$1"; echo "$3 $4"; }} > "$2" sh {name}.c '
            f"{name}.o object {name}.o {flags}")


FLAGS_ECHO = ("[src, src/flags.json] sh -c printf '{\"flags\": \"%s\"}' \"$(cat flags.in)\" "
              "> flags.json")


class GeneratedRulesTest(ProjectTestCase):
    def setUp(self):
        super().setUp()
        self.write("Kilnfile", TOP)
        self.write("src/Kilnfile", SRC)
        self.write("src/flags.in", "-O2")
        self.set_sources(["a.c", "b.c", "c.c"])

    def set_sources(self, names):
        self.write("src/sources.json", json.dumps({"sources": names}))
        for name in names:
            if not self.exists(f"src/{name}"):
                self.write(f"src/{name}", f"source {name}\n")

    def assert_prog(self, names, flags="-O2"):
        self.assertEqual(self.read("src/prog"), "".join(
            f"source {n}.c\nobject {n}.o {flags}\n" for n in names))

    def test_build_then_nothing_then_one_object(self):
        r = self.build()
        lines = echo_lines(r.stdout)
        # flags.json first (every object needs it), prog last; the objects
        # in between in any order.
        self.assertEqual(lines[0], FLAGS_ECHO)
        self.assertEqual(sorted(lines[1:4]), [compile_echo(n) for n in "abc"])
        self.assertEqual(echoed_targets(r.stdout)[4:], ["src/prog"])
        self.assert_prog("abc")
        # The commands the functions produced are in the database.
        self.assertIn('"src" "src/b.o":\n\t"NI" "E" "NM" "sh" "-c"', self.db())
        self.assertIn('"b.c" "b.o" "object b.o" "-O2"', self.db())
        self.assert_nothing_to_do()
        self.touch("src/b.c")
        r = self.build()
        self.assertEqual(echo_lines(r.stdout)[0], compile_echo("b"))
        self.assertEqual(echoed_targets(r.stdout), ["src/b.o", "src/prog"])
        self.assert_nothing_to_do()

    def test_changed_generated_input_reaches_every_recipe(self):
        self.build()
        self.write("src/flags.in", "-O3")
        r = self.build()
        self.assertEqual(sorted(echo_lines(r.stdout)[1:4]),
                         [compile_echo(n, "-O3") for n in "abc"])
        self.assert_prog("abc", "-O3")

    def test_the_list_decides_the_rules(self):
        self.build()
        self.set_sources(["a.c", "b.c", "c.c", "d.c"])
        r = self.build()
        self.assertEqual(echo_lines(r.stdout), [
            compile_echo("d"), "[src, src/prog] sh -c cat \"$@\" > prog sh a.o b.o c.o d.o"])
        self.assert_prog("abcd")
        # A source dropped from the list: its rule is gone and prog's
        # command changed.
        self.set_sources(["a.c", "d.c"])
        r = self.build()
        self.assertEqual(echoed_targets(r.stdout), ["src/prog"])
        self.assert_prog("ad")
        r = self.build("src/b.o", status=2)
        self.assertEqual(r.stderr, "kiln: *** rule 'src/b.o' not found. Exiting.\n")

    def test_mode_this_in_the_scripted_directory(self):
        os.chmod(self.dir, 0o755)
        r = self.run_kiln("-u", "prog", name="klnt", cwd=self.path("src"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("kiln: Forward path: src\n", r.stdout)
        self.assert_prog("abc")

    def test_a_list_with_a_foreign_suffix_fails_while_reading(self):
        self.set_sources(["a.c", "b.cc"])
        r = self.build(status=2)
        self.assertIn("kiln: b.cc does not end with .c\n", r.stderr)
        self.assertIn("Error executing bytecode for var OBJS\n", r.stderr)
        self.assertIn("Backtrace:\nadd_objects\nOBJS\n", r.stderr)
        self.assertIn("kiln: error in assignment at file ./src/Kilnfile line ", r.stderr)
        self.assertFalse(self.exists("src/a.o"))

    # The extension's own error codes are reported with the extension's
    # messages, not the engine's "Unknown error".
    def test_foreign_suffix_is_reported_as_suffix_not_found(self):
        self.set_sources(["a.c", "b.cc"])
        r = self.build(status=2)
        self.assertIn("Error executing bytecode for var OBJS\nerror Suffix not found\n", r.stderr)


# Rules for the run-time dependency tests, in a sub-directory so that the
# names given to @adddeps are seen to be relative to the rule's directory.
ADDDEPS_TOP = """@toplevel
@strict
@phonyrule: "all": "gen/early.txt" @wait "gen/late.txt"
@dirinclude "gen"
"""

ADDDEPS_GEN = """@subfile
@strict
@function $announce($arg)
  @adddeps(["late.txt"], [$arg], {})
  @return ["touch", "early.txt"]
@endfunction
@call @addrule({"tgts": [{"name": "early.txt"}], "shells": [{"isfun": @true, "fun": $announce, "arg": "gen.txt"}]})
"late.txt":
@\t["sh", "-c", "cat gen.txt > late.txt"]
"gen.txt":
@\t["sh", "-c", "sleep 0.3; echo generated > gen.txt"]
"""


class RunTimeDependencyTest(ProjectTestCase):
    def test_added_dependency_is_built_first_and_waited_for(self):
        self.write("Kilnfile", ADDDEPS_TOP)
        self.write("gen/Kilnfile", ADDDEPS_GEN)
        # Two jobs: late.txt would start beside gen.txt if it did not wait.
        r = self.build("-j", "2")
        self.assertEqual(echoed_targets(r.stdout),
                         ["gen/early.txt", "gen/gen.txt", "gen/late.txt"])
        self.assertEqual(self.read("gen/late.txt"), "generated\n")

    def test_rule_already_waiting_waits_for_the_added_dependency_too(self):
        # late.txt is considered first and waits for slow.txt; early.txt's
        # recipe then gives it a second dependency, started only when
        # late.txt is looked at again.
        self.write("Kilnfile", """@toplevel
@strict
@function $announce($arg)
  @adddeps(["late.txt"], ["gen.txt"], {})
  @return ["touch", "early.txt"]
@endfunction
@phonyrule: "all": "late.txt" "early.txt"
"late.txt": "slow.txt"
@\t["sh", "-c", "cat slow.txt gen.txt > late.txt"]
"slow.txt":
@\t["sh", "-c", "sleep 0.3; echo slow > slow.txt"]
"early.txt":
@\t$announce(@nil)
"gen.txt":
@\t["sh", "-c", "sleep 0.3; echo generated > gen.txt"]
""")
        r = self.build("-j", "2")
        order = echoed_targets(r.stdout)
        self.assertEqual(sorted(order), ["early.txt", "gen.txt", "late.txt", "slow.txt"])
        self.assertLess(order.index("early.txt"), order.index("gen.txt"))
        self.assertEqual(order[-1], "late.txt")
        self.assertEqual(self.read("late.txt"), "slow\ngenerated\n")

    def test_without_the_addition_the_dependency_is_not_built(self):
        self.write("Kilnfile", ADDDEPS_TOP)
        without = ADDDEPS_GEN.replace('  @adddeps(["late.txt"], [$arg], {})\n', "")
        self.assertNotEqual(without, ADDDEPS_GEN)
        self.write("gen/Kilnfile", without)
        r = self.build(status=2)
        self.assertEqual(echoed_targets(r.stdout), ["gen/early.txt", "gen/late.txt"])
        self.assertFalse(self.exists("gen/gen.txt"))

    def late_addition(self, target, dep):
        """early.txt's recipe function adds dep to target once x.txt has
        been built."""
        self.write("Kilnfile", f"""@toplevel
@strict
@function $late($arg)
  @adddeps([{json.dumps(target)}], [{json.dumps(dep)}], {{}})
  @return ["touch", "early.txt"]
@endfunction
@phonyrule: "all": "x.txt" @wait "early.txt"
"x.txt":
@\t["touch", "x.txt"]
"early.txt":
@\t$late(@nil)
"gen.txt":
@\t["touch", "gen.txt"]
""")
        return self.build(status=2)

    def test_refused_additions_stop_the_build(self):
        for target, dep, message in (
                ("x.txt", "gen.txt", "kiln: target x.txt already executed while adding dep\n"),
                ("nowhere.txt", "gen.txt", "kiln: target nowhere.txt not found while adding dep\n"),
        ):
            with self.subTest(target=target, dep=dep):
                if self.exists("x.txt"):
                    os.unlink(self.path("x.txt"))
                r = self.late_addition(target, dep)
                self.assertTrue(r.stderr.startswith(message), r.stderr)
                self.assertIn("kiln: *** evaluating shell commands for 'early.txt' "
                              "(directory: '.') failed, error: ", r.stderr)
                self.assertEqual(echoed_targets(r.stdout), ["x.txt"])
                self.assertFalse(self.exists("early.txt"))
                self.assertFalse(self.exists("gen.txt"))

    def test_unknown_dependency_is_named(self):
        # y.txt waits behind early.txt, so it may still get dependencies.
        self.write("Kilnfile", """@toplevel
@strict
@function $late($arg)
  @adddeps(["y.txt"], ["nowhere.txt"], {})
  @return ["touch", "early.txt"]
@endfunction
@phonyrule: "all": "early.txt" @wait "y.txt"
"early.txt":
@\t$late(@nil)
"y.txt":
@\t["touch", "y.txt"]
""")
        r = self.build(status=2)
        self.assertTrue(r.stderr.startswith("kiln: dep nowhere.txt not found while adding dep\n"),
                        r.stderr)
        self.assertFalse(self.exists("y.txt"))

    # The fatal line names the same error as the report before it (the
    # report clears the error slot, so the message is taken first).
    def test_refused_addition_is_reported_as_rule_not_found(self):
        r = self.late_addition("x.txt", "gen.txt")
        self.assertIn("error Rule not found\n", r.stdout)
        self.assertTrue(r.stderr.endswith(
            "kiln: *** evaluating shell commands for 'early.txt' (directory: '.') failed, "
            "error: Rule not found. Exiting.\n"), r.stderr)


ADDRULE_LATE = """@toplevel
@strict
@function $more_rules($arg)
  @addrule({"tgts": [{"name": "n.txt"}]})
  @return ["touch", "r.txt"]
@endfunction
@call @addrule({"tgts": [{"name": "r.txt"}], "shells": [{"isfun": @true, "fun": $more_rules, "arg": @nil}]})
"""


class LateRuleTest(ProjectTestCase):
    def test_recipe_function_cannot_add_rules(self):
        self.write("Kilnfile", ADDRULE_LATE)
        r = self.build(status=2)
        self.assertIn("kiln: *** evaluating shell commands for 'r.txt' (directory: '.') failed",
                      r.stderr)
        self.assertFalse(self.exists("r.txt"))
        self.assertFalse(self.exists("n.txt"))

    def test_recipe_function_adding_a_rule_is_told_parsing_is_done(self):
        self.write("Kilnfile", ADDRULE_LATE)
        r = self.build(status=2)
        self.assertIn("error Changing rules not permitted after parsing done\n", r.stdout)
        self.assertTrue(r.stderr.endswith(
            "failed, error: Changing rules not permitted after parsing done. Exiting.\n"),
            r.stderr)


if __name__ == "__main__":
    unittest.main()
