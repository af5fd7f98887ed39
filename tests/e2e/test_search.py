"""Finding the project from where kiln is started: the walk up the
directory tree, the top and project directories of the modes all, this and
project, the forward path, world-writable directories on the way, target
names and pretended files relative to the right directory, table sizes of
the top-level Kilnfile, the recursion refusal, -v and -G."""

import os
import re
import subprocess
import unittest

from kilntest import KILN, ProjectTestCase, echo_lines, echoed_targets, tool

# A project with a sub-directory (src, itself with a sub-directory) and a
# sub-project (sub, with a sub-directory of its own). Every rule writes
# its target's name into the file, so that a test sees which rule made it.
TOP = """@toplevel
@strict
@phonyrule: "all": "top.txt"
"top.txt": "src/first.txt"
@\t["sh", "-c", "cat src/first.txt > top.txt"]
@dirinclude "src"
@projdirinclude "sub"
"""
SRC = """@subfile
@strict
"first.txt":
@\t["sh", "-c", "echo first > first.txt"]
"second.txt":
@\t["sh", "-c", "echo second > second.txt"]
@dirinclude "deep"
"""
DEEP = """@subfile
"deep.txt":
@\t["sh", "-c", "echo deep > deep.txt"]
"""
SUB = """@toplevel
"s.txt": "inner/i.txt"
@\t["sh", "-c", "cat inner/i.txt > s.txt"]
@dirinclude "inner"
"""
INNER = """@subfile
"i.txt":
@\t["sh", "-c", "echo inner > i.txt"]
"""

ECHO_FIRST = "[src, src/first.txt] sh -c echo first > first.txt"
ECHO_TOP = "[., top.txt] sh -c cat src/first.txt > top.txt"
ECHO_INNER = "[sub/inner, sub/inner/i.txt] sh -c echo inner > i.txt"
ECHO_SUB = "[sub, sub/s.txt] sh -c cat inner/i.txt > s.txt"


class SearchCase(ProjectTestCase):
    """The project lives in proj/ below a directory whose own Kilnfile is
    unrelated to it (it includes nothing), so the search passes one
    Kilnfile that must not be taken for the top."""

    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o755)
        self.write("Kilnfile", '@toplevel\n"outside.txt":\n@\t["touch", "outside.txt"]\n')
        self.write("proj/Kilnfile", TOP)
        self.write("proj/src/Kilnfile", SRC)
        self.write("proj/src/deep/Kilnfile", DEEP)
        self.write("proj/sub/Kilnfile", SUB)
        self.write("proj/sub/inner/Kilnfile", INNER)
        self.top = os.path.realpath(self.path("proj"))

    def kiln(self, name, where, *args, status=0, env=None):
        """Runs kiln under the name in proj/where; -u so that the world-
        writable directories above the scratch tree do not stop the walk."""
        r = self.run_kiln("-u", *args, name=name, cwd=os.path.join(self.path("proj"), where),
                          env=env)
        self.assertEqual(r.returncode, status, f"stdout:\n{r.stdout}\nstderr:\n{r.stderr}")
        return r

    def located(self, forward=None):
        text = f"kiln: Using directory {self.top}\n"
        if forward is not None:
            text += f"kiln: Forward path: {forward}\n"
        return text

    def built(self):
        names = []
        for root, _, files in os.walk(self.path("proj")):
            for f in files:
                if f.endswith(".txt"):
                    names.append(os.path.relpath(os.path.join(root, f), self.path("proj")))
        return sorted(names)


class ModeThisTest(SearchCase):
    def test_sub_directory_builds_its_first_rule_from_the_top(self):
        r = self.kiln("klnt", "src")
        self.assertEqual(r.stdout, self.located("src") + ECHO_FIRST + "\n")
        self.assertEqual(r.stderr, "")
        self.assertEqual(self.built(), ["src/first.txt"])
        # One database, in the top directory, recording the name as seen from there.
        self.assertIn('"src" "src/first.txt":\n', self.read("proj/.kiln.db"))
        self.assertFalse(self.exists("proj/src/.kiln.db"))
        self.assertFalse(self.exists(".kiln.db"))
        r = self.kiln("klnt", "src")
        self.assertEqual(r.stdout, self.located("src"))
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")

    def test_two_levels_down(self):
        r = self.kiln("klnt", "src/deep")
        self.assertEqual(r.stdout, self.located("src/deep")
                         + "[src/deep, src/deep/deep.txt] sh -c echo deep > deep.txt\n")
        self.assertEqual(self.built(), ["src/deep/deep.txt"])

    def test_main_name_with_mode_option_is_the_same(self):
        r = self.kiln("kiln", "src", "-t")
        self.assertEqual(r.stdout, self.located("src") + ECHO_FIRST + "\n")

    def test_top_directory_itself_has_the_forward_path_dot(self):
        r = self.kiln("klnt", ".")
        self.assertEqual(r.stdout, self.located(".") + ECHO_FIRST + "\n" + ECHO_TOP + "\n")

    def test_inside_a_sub_project_the_top_is_still_the_outermost_project(self):
        r = self.kiln("klnt", "sub/inner")
        self.assertEqual(r.stdout, self.located("sub/inner") + ECHO_INNER + "\n")


class ModeProjectTest(SearchCase):
    def test_sub_project_is_the_project_directory(self):
        r = self.kiln("klnp", "sub/inner")
        self.assertEqual(r.stdout, self.located("sub") + ECHO_INNER + "\n" + ECHO_SUB + "\n")
        self.assertEqual(self.built(), ["sub/inner/i.txt", "sub/s.txt"])
        self.assertTrue(self.exists("proj/.kiln.db"))
        self.assertFalse(self.exists("proj/sub/.kiln.db"))

    def test_sub_project_root_is_its_own_project_directory(self):
        r = self.kiln("klnp", "sub")
        self.assertEqual(r.stdout, self.located("sub") + ECHO_INNER + "\n" + ECHO_SUB + "\n")

    def test_plain_sub_directory_belongs_to_the_top_project(self):
        r = self.kiln("klnp", "src/deep")
        self.assertEqual(r.stdout, self.located(".") + ECHO_FIRST + "\n" + ECHO_TOP + "\n")
        self.assertEqual(self.built(), ["src/first.txt", "top.txt"])


class ModeAllTest(SearchCase):
    def test_builds_the_top_default_rule_from_anywhere(self):
        for where in ("sub/inner", "src/deep", "."):
            with self.subTest(where=where):
                r = self.kiln("klna", where)
                if where == "sub/inner":
                    self.assertEqual(r.stdout, self.located() + ECHO_FIRST + "\n" + ECHO_TOP + "\n")
                else:
                    self.assertEqual(r.stdout, self.located())
                    self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")
        self.assertEqual(self.built(), ["src/first.txt", "top.txt"])
        self.assertFalse(self.exists("outside.txt"))


class UnrelatedDirectoryTest(SearchCase):
    def test_directory_no_ancestor_includes_is_its_own_top(self):
        self.write("proj/stray/Kilnfile", '@toplevel\n"x.txt":\n@\t["touch", "x.txt"]\n')
        r = self.kiln("klnt", "stray")
        stray = os.path.join(self.top, "stray")
        self.assertEqual(r.stdout, f"kiln: Using directory {stray}\nkiln: Forward path: .\n"
                         "[., x.txt] touch x.txt\n")
        self.assertTrue(self.exists("proj/stray/.kiln.db"))
        self.assertFalse(self.exists("proj/.kiln.db"))

    def test_directory_without_kilnfile(self):
        os.makedirs(self.path("proj/src/empty"))
        r = self.kiln("klnt", "src/empty", status=2)
        empty = os.path.join(self.top, "src/empty")
        self.assertEqual(r.stdout, f"kiln: Using directory {empty}\n")
        self.assertEqual(r.stderr, "kiln: *** Kilnfile not found. Exiting.\n")


class SilentTest(SearchCase):
    def test_silent_run_prints_nothing_and_builds(self):
        r = self.kiln("klnt", "src", "-s")
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        self.assertEqual(self.built(), ["src/first.txt"])
        r = self.kiln("klnp", "sub/inner", "-s")
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        r = self.kiln("klnt", "src", "-s")
        self.assertEqual((r.stdout, r.stderr), ("", ""))


class WorldWritableTest(ProjectTestCase):
    """Trees with a world-writable directory in the middle of the walk."""

    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o755)

    def run_in(self, where, *args, name="klnt", status=0):
        r = self.run_kiln(*args, name=name, cwd=self.path(where))
        self.assertEqual(r.returncode, status, f"stdout:\n{r.stdout}\nstderr:\n{r.stderr}")
        return r

    def test_stops_below_a_world_writable_parent_unless_unsafe(self):
        # root includes mid/app as a sub-project; mid is writable by all.
        self.write("root/Kilnfile", '@toplevel\n@projdirinclude "mid/app"\n')
        self.write("root/mid/app/Kilnfile", '@toplevel\n"a.txt":\n@\t["touch", "a.txt"]\n')
        os.chmod(self.path("root/mid"), 0o777)
        mid = os.path.realpath(self.path("root/mid"))
        app = os.path.realpath(self.path("root/mid/app"))
        warning = (f"kiln: Encountered world-writable directory at {mid}, not considering it\n"
                   "kiln: Hint: execute kiln with -u to allow unsafe operation\n")
        r = self.run_in("root/mid/app")
        self.assertEqual(r.stdout, warning + f"kiln: Using directory {app}\n"
                         "kiln: Forward path: .\n[., a.txt] touch a.txt\n")
        self.assertTrue(self.exists("root/mid/app/.kiln.db"))
        # -s keeps the warning: only the progress lines are silenced.
        os.unlink(self.path("root/mid/app/a.txt"))
        r = self.run_in("root/mid/app", "-s")
        self.assertEqual(r.stdout, warning)
        self.assertTrue(self.exists("root/mid/app/a.txt"))
        os.unlink(self.path("root/mid/app/a.txt"))
        r = self.run_in("root/mid/app", "-u")
        self.assertEqual(r.stdout, f"kiln: Using directory {os.path.realpath(self.path('root'))}\n"
                         "kiln: Forward path: mid/app\n[mid/app, mid/app/a.txt] touch a.txt\n")
        self.assertTrue(self.exists("root/.kiln.db"))

    def test_directory_above_a_subfile_is_considered_even_when_world_writable(self):
        # A @subfile cannot be a top, so the walk goes on past mid; it stops
        # only above the top-level file, at the world-writable fence.
        self.write("fence/root/Kilnfile", '@toplevel\n@dirinclude "mid"\n')
        self.write("fence/root/mid/Kilnfile", '@subfile\n@dirinclude "src"\n')
        self.write("fence/root/mid/src/Kilnfile", '@subfile\n"s.txt":\n@\t["touch", "s.txt"]\n')
        os.chmod(self.path("fence"), 0o777)
        os.chmod(self.path("fence/root/mid"), 0o777)
        fence = os.path.realpath(self.path("fence"))
        root = os.path.realpath(self.path("fence/root"))
        r = self.run_in("fence/root/mid/src")
        self.assertEqual(r.stdout, (
            f"kiln: Encountered world-writable directory at {fence}, not considering it\n"
            "kiln: Hint: execute kiln with -u to allow unsafe operation\n"
            f"kiln: Using directory {root}\n"
            "kiln: Forward path: mid/src\n"
            "[mid/src, mid/src/s.txt] touch s.txt\n"))


class TargetNameTest(SearchCase):
    def test_mode_all_takes_names_exactly_as_given(self):
        r = self.kiln("klna", "src", "top.txt", "./top.txt", status=2)
        self.assertEqual(r.stderr, "kiln: *** rule './top.txt' not found. Exiting.\n")
        # Every name is checked before anything is built.
        self.assertEqual(self.built(), [])
        r = self.kiln("klna", "src", "src//second.txt", status=2)
        self.assertEqual(r.stderr, "kiln: *** rule 'src//second.txt' not found. Exiting.\n")
        r = self.kiln("klna", "src", "src/second.txt")
        self.assertEqual(echoed_targets(r.stdout), ["src/second.txt"])

    def test_mode_none_takes_names_exactly_as_given(self):
        r = self.run_kiln("-f", "Kilnfile", "./top.txt", cwd=self.path("proj"))
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, "kiln: *** rule './top.txt' not found. Exiting.\n")

    def test_mode_this_joins_names_to_the_forward_path(self):
        r = self.kiln("klnt", "src", "./second.txt")
        self.assertEqual(echoed_targets(r.stdout), ["src/second.txt"])
        r = self.kiln("klnt", "src", "../top.txt", "deep/../first.txt")
        self.assertEqual(echoed_targets(r.stdout), ["src/first.txt", "top.txt"])
        self.assertEqual(self.built(), ["src/first.txt", "src/second.txt", "top.txt"])
        r = self.kiln("klnt", "src", "top.txt", status=2)
        self.assertEqual(r.stderr, "kiln: *** rule 'src/top.txt' not found. Exiting.\n")

    def test_mode_project_joins_names_to_the_project_directory(self):
        r = self.kiln("klnp", "sub/inner", "./inner/i.txt")
        self.assertEqual(echoed_targets(r.stdout), ["sub/inner/i.txt"])


class PretendTest(SearchCase):
    """-W and -o name files from the mode's directory, -X and -r from the
    directory kiln was started in."""

    def setUp(self):
        super().setUp()
        self.kiln("klna", ".")
        self.kiln("klnp", "sub")

    def test_very_new_in_mode_all(self):
        r = self.kiln("klna", "src", "-W", "first.txt")
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")
        r = self.kiln("klna", "src", "-X", "first.txt")
        self.assertEqual(echo_lines(r.stdout), [ECHO_TOP])
        r = self.kiln("klna", "src", "-W", "src/first.txt")
        self.assertEqual(echo_lines(r.stdout), [ECHO_TOP])

    def test_very_new_in_mode_project(self):
        r = self.kiln("klnp", "sub/inner", "-W", "i.txt")
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")
        r = self.kiln("klnp", "sub/inner", "-X", "i.txt")
        self.assertEqual(echo_lines(r.stdout), [ECHO_SUB])
        r = self.kiln("klnp", "sub/inner", "-W", "inner/i.txt", "-R")
        self.assertEqual(echo_lines(r.stdout), [ECHO_SUB])
        self.assertIn("'sub/inner/i.txt' (pretend)", r.stdout)

    def test_very_old(self):
        # Without the timestamp/size database only the file times count.
        self.kiln("klna", ".", "-e", "-B")
        old = self.mtime_ns("proj/top.txt") - 100 * 10**9
        self.set_mtime_ns("proj/top.txt", old)
        r = self.kiln("klna", "src", "-e", "-r", "first.txt")
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")
        r = self.kiln("klna", "src", "-e", "-o", "first.txt")
        self.assertEqual(echo_lines(r.stdout), [ECHO_TOP])


def stat_cache_project(case, sizes, sub_sizes=""):
    """A rule with 400 source files, so that the stat and access caches
    see 401 names. sizes go into the top-level Kilnfile, sub_sizes into
    an included one. The sources are symbolic links: the existence of a
    plain file is known from its stat, that of a link through the access
    cache."""
    case.write("src/real", "")
    for i in range(400):
        if not os.path.lexists(case.path(f"src/f{i}")):
            os.symlink("real", case.path(f"src/f{i}"))
    deps = " ".join(f'"src/f{i}"' for i in range(400))
    case.write("Kilnfile", f'@toplevel\n{sizes}\n"out": {deps}\n@\t["touch", "out"]\n'
               '@dirinclude "src"\n')
    case.write("src/Kilnfile", f"@subfile\n{sub_sizes}\n")


def cache_counts(stdout):
    stat = re.search(r"^  statcache: (\d+) (\d+)$", stdout, re.M)
    access = re.search(r"^  accesscache: (\d+) (\d+)$", stdout, re.M)
    return int(stat.group(1)), int(access.group(1))


class TableSizeTest(ProjectTestCase):
    def test_size_must_be_a_power_of_two(self):
        for value, problem in (("100", "a power of 2"), ("0", "positive"), ("2.5", "a power of 2")):
            with self.subTest(value=value):
                self.write("Kilnfile", f"@toplevel\n@call @statcachesize({value})\n")
                r = self.build(status=2)
                self.assertRegex(r.stderr, "^kiln: Stat cache size must be " + problem
                                 + r" at file Kilnfile line 2 col \d+\.\n"
                                 r"kiln: \*\*\* Parsing failed\. Exiting\.\n$")

    def test_small_caches_are_raised_to_256_entries(self):
        stat_cache_project(self, "@call @statcachesize(128)\n@call @accesscachesize(128)")
        r = self.build("-d")
        self.assertEqual(echoed_targets(r.stdout), ["out"])
        self.assertIn("\nMemory use statistics:\n", r.stdout)
        self.assertEqual(cache_counts(r.stdout), (256, 256))

    def test_default_and_larger_caches_hold_every_name(self):
        for sizes in ("", "@call @statcachesize(512)\n@call @accesscachesize(1024)"):
            with self.subTest(sizes=sizes):
                stat_cache_project(self, sizes)
                stat, access = cache_counts(self.build("-d", "-B").stdout)
                self.assertGreaterEqual(stat, 400)
                self.assertGreaterEqual(access, 400)

    def test_sizes_in_a_sub_kilnfile_are_ignored(self):
        stat_cache_project(self, "", "@call @statcachesize(128)\n@call @accesscachesize(128)")
        stat, access = cache_counts(self.build("-d").stdout)
        self.assertGreaterEqual(stat, 400)
        self.assertGreaterEqual(access, 400)

    def test_statistics_list_every_table(self):
        self.write("Kilnfile", '@toplevel\n"out":\n@\t["touch", "out"]\n')
        out = self.build("-d").stdout
        stats = out[out.index("\nMemory use statistics:\n"):]
        names = [line.split(":")[0].strip() for line in stats.splitlines()[2:]]
        self.assertEqual(names, [
            "accesscache", "statcache", "my_malloc all", "cinder arena all",
            "cinder bytecode all", "cinder object cache all", "cinder GC block all", "dbe",
            "tsdbe", "argmem", "stringtab", "ruleid_by_tgt_entry", "tgt", "kilndep",
            "dep_remain", "ruleid_by_dep_entry_block", "ruleid_by_dep_entry_block_later",
            "add_dep_entry_block", "rule", "ruleid_by_pid", "syncbuf cache"])
        self.assertRegex(stats, r"\n  my_malloc all: \d+ \d+ \(\+ wasted \d+\)\n")
        self.assertRegex(stats, r"\n  stringtab: \d+ \d+ \+ \d+ \+ \d+ \+ \d+\n")
        self.assertTrue(out.endswith("  syncbuf cache: 0 0\n") or
                        re.search(r"  syncbuf cache: \d+ \d+\n$", out))
        # Without -d there are no statistics.
        self.build("-B")
        self.assertNotIn("Memory use statistics", self.build("-B").stdout)


RECURSION_TAIL = [
    "",
    "kiln: *** Recursion misuse detected.",
    "kiln: *** Kiln is designed to be used non-recursively.",
    "kiln: *** Exiting.",
]


class RecursionTest(ProjectTestCase):
    def test_recipe_starting_kiln_is_refused_before_the_search_and_parse(self):
        # The nested kiln runs in garbage/, whose Kilnfile is no Kilnfile at
        # all: refused before it is probed or parsed.
        self.write("Kilnfile", f'@toplevel\n"n.txt":\n@\t["{tool("klnt")}", "-u", "-C", "garbage"]\n')
        self.write("garbage/Kilnfile", "this is not a Kilnfile\n")
        r = self.build(status=2)
        lines = r.stderr.splitlines()
        self.assertEqual(lines[8:12], RECURSION_TAIL, r.stderr)
        for line in lines[:8]:
            self.assertTrue(line.startswith("kiln: "), line)
        self.assertEqual(r.stdout.count("kiln: Using directory"), 0)
        self.assertNotIn("syntax error", r.stderr)
        self.assertFalse(self.exists("garbage/.kiln.db"))

    def test_recipe_sees_kiln_own_pid(self):
        self.write("Kilnfile", '@toplevel\n"pid.txt":\n@\t["sh", "-c", "echo $KILNPID > pid.txt"]\n')
        run = self.start_kiln("-f", "Kilnfile", env={"KILNPID": "1"})
        self.assertEqual(run.finish(), 0, run.stderr)
        self.assertEqual(self.read("pid.txt"), f"{run.pid}\n")

    def test_kiln_below_a_shell_below_kiln_is_not_refused(self):
        # Only a direct child is recognised.
        self.write("Kilnfile", '@toplevel\n"o.txt":\n'
                   f'@\t["sh", "-c", "{KILN} -C inner -f Kilnfile; touch o.txt"]\n')
        self.write("inner/Kilnfile", '@toplevel\n"i.txt":\n@\t["touch", "i.txt"]\n')
        r = self.build()
        self.assertNotIn("Recursion", r.stderr)
        self.assertTrue(self.exists("inner/i.txt"))

    def test_version_options_answer_even_below_kiln(self):
        env = {"KILNPID": str(os.getpid())}
        self.assertEqual(self.run_kiln("-v", env=env).returncode, 0)
        self.assertEqual(self.run_kiln("-G", env=env).returncode, 0)


class VersionTest(SearchCase):
    def test_version_names_the_first_compatible_revision(self):
        g = self.run_kiln("-G")
        self.assertEqual((g.returncode, g.stderr), (0, ""))
        revisions = g.stdout.splitlines()
        self.assertTrue(revisions)
        for line in revisions:
            self.assertRegex(line, r"^[0-9a-f]{40}$")
        self.assertEqual(len(set(revisions)), len(revisions))
        v = self.run_kiln("-v")
        self.assertEqual((v.returncode, v.stderr), (0, ""))
        self.assertIn(revisions[0], v.stdout.splitlines()[0])

    def test_version_and_revisions_end_the_run_before_the_search(self):
        for option in ("-v", "-G"):
            with self.subTest(option=option):
                r = self.kiln("klnt", "src", option)
                self.assertNotIn("Using directory", r.stdout)
                self.assertEqual(self.built(), [])
                self.assertFalse(self.exists("proj/.kiln.db"))

    def test_options_act_in_order(self):
        g = self.run_kiln("-G").stdout
        v = self.run_kiln("-v").stdout
        self.assertEqual(self.run_kiln("-G", "-v").stdout, g)
        self.assertEqual(self.run_kiln("-v", "-G").stdout, v)
        # An earlier usage error wins over a later -v.
        r = self.run_kiln("-j", "0", "-v")
        self.assertEqual((r.returncode, r.stdout), (2, ""))

    def test_every_listed_revision_satisfies_the_version_directive(self):
        revisions = self.run_kiln("-G").stdout.splitlines()
        checks = "".join(f'@version("{rev}")\n' for rev in revisions)
        self.write("v/Kilnfile", f'@toplevel\n{checks}@version("{revisions[0].upper()}")\n'
                   '"ok.txt":\n@\t["touch", "ok.txt"]\n')
        r = self.run_kiln("-f", "Kilnfile", cwd=self.path("v"))
        self.assertEqual(r.returncode, 0, r.stderr)
        unknown = next(f"{d:040x}" for d in range(1, 100) if f"{d:040x}" not in revisions)
        self.write("v/Kilnfile", f'@toplevel\n@version("{unknown}")\n')
        r = self.run_kiln("-f", "Kilnfile", cwd=self.path("v"))
        self.assertEqual(r.returncode, 2)
        self.assertRegex(r.stderr,
                         "^Incompatible version of kiln installed, expected to contain git SHA1:\n"
                         f"{unknown}\n"
                         r"kiln: incompatible version at file Kilnfile line \d+ col \d+\.\n"
                         r"kiln: \*\*\* Parsing failed\. Exiting\.\n$")


if __name__ == "__main__":
    unittest.main()
