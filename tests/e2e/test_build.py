"""Whole builds of small projects: first builds and no-op builds, rebuilds
driven by file times, the command database and the timestamp/size database,
compiler dependency files, sub-directories, parallel jobs, failing commands,
the options that change what a build does, sub-makes on the jobserver and
output synchronisation."""

import os
import re
import shutil
import subprocess
import sys
import time
import unittest

from kilntest import ProjectTestCase, echo_lines, echoed_targets

# A C program from two objects, compiled through a pattern rule.
C_PROJECT = """@toplevel
$CC = "cc"
$CFLAGS = ["-O0"]
@phonyrule: "all": "prog"
"prog": "a.o" "b.o"
@\t[$CC, "-o", $@, @ $^]
@patrule: (["a.o", "b.o"]): "%.o": "%.c"
@\t[$CC, @ $CFLAGS, "-c", "-o", $@, $<]
"""

# Waits until the file named by $1 exists, polling every 50 ms at most $2
# times; fails when it never appears. Two commands that wait for each other
# through it can only both succeed when they run at the same time.
WAIT_SH = """i=0
while [ ! -e "$1" ]; do
  [ "$i" -ge "$2" ] && exit 1
  sleep 0.05
  i=$((i+1))
done
"""

# A jobserver client that understands only a FIFO: it finds the
# "--jobserver-auth=fifo:PATH" word in MAKEFLAGS, waits at most $1 seconds
# for a token, writes it back and exits 0; 1 when no token came.
FIFO_CLIENT = """import os, select, sys
prefix = "--jobserver-auth=fifo:"
paths = [w[len(prefix):] for w in os.environ["MAKEFLAGS"].split() if w.startswith(prefix)]
fd = os.open(paths[0], os.O_RDWR | os.O_NONBLOCK)
deadline = float(sys.argv[1])
while select.select([fd], [], [], deadline)[0]:
    try:
        token = os.read(fd, 1)
    except BlockingIOError:
        continue
    os.write(fd, token)
    sys.exit(0)
sys.exit(1)
"""


class CProjectCase(ProjectTestCase):
    def setUp(self):
        super().setUp()
        self.write("Kilnfile", C_PROJECT)
        self.write("a.c", "int b(void);\nint main(void) { return b(); }\n")
        self.write("b.c", "int b(void) { return 0; }\n")

    def run_prog(self):
        return subprocess.run([self.path("prog")]).returncode


class FirstAndNoOpBuildTest(CProjectCase):
    def test_first_build_runs_every_recipe_once_then_nothing_is_to_be_done(self):
        r = self.build()
        self.assertEqual(r.stderr, "")
        self.assertCountEqual(echo_lines(r.stdout), [
            "[., a.o] cc -O0 -c -o a.o a.c",
            "[., b.o] cc -O0 -c -o b.o b.c",
            "[., prog] cc -o prog a.o b.o",
        ])
        self.assertEqual(echoed_targets(r.stdout)[-1], "prog")
        self.assertEqual(self.run_prog(), 0)
        db = self.db()
        self.assertTrue(db.startswith("@v2@\n\n"), db)
        self.assertIn('"." "a.o":\n\t"NI" "E" "NM" "cc" "-O0" "-c" "-o" "a.o" "a.c"\n', db)
        self.assertIn('"." "prog":\n\t"NI" "E" "NM" "cc" "-o" "prog" "a.o" "b.o"\n', db)
        size = os.path.getsize(self.path("a.c"))
        mtime = self.mtime_ns("a.c")
        self.assertIn(f'"a.c" = {size} {mtime // 10**9} {mtime % 10**9}\n', db)
        # A run that changes nothing leaves the database file alone.
        before = os.stat(self.path(".kiln.db"))
        self.assert_nothing_to_do()
        self.assert_nothing_to_do()
        after = os.stat(self.path(".kiln.db"))
        self.assertEqual((after.st_ino, after.st_mtime_ns), (before.st_ino, before.st_mtime_ns))

    def test_progress_counts_on_a_terminal_only(self):
        import pty
        master, slave = pty.openpty()
        p = subprocess.Popen([os.environ["KILN"], "-f", "Kilnfile"], cwd=self.dir,
                             stdout=slave, stderr=subprocess.DEVNULL)
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        p.wait()
        os.close(master)
        lines = [l for l in out.decode().splitlines() if l.startswith("[")]
        self.assertEqual([re.match(r"\[(\d+)/(\d+)\] \[\., ", l) is not None for l in lines],
                         [True] * 3, lines)
        self.assertEqual(lines[-1].split()[0], "[3/3]")
        # Piped, the same build echoes exactly as before.
        self.touch("a.c")
        self.assertEqual(echo_lines(self.build().stdout)[0][:5], "[., a")

    def test_touching_a_source_rebuilds_only_what_depends_on_it(self):
        self.build()
        before = self.mtime_ns("a.o")
        self.write("b.c", "int b(void) { return 3; }\n")
        r = self.build("-R")
        self.assertEqual(echoed_targets(r.stdout), ["b.o", "prog"])
        self.assertIn("update target 'prog' due to: 'b.o'", r.stdout)
        self.assertEqual(self.mtime_ns("a.o"), before)
        self.assertEqual(self.run_prog(), 3)
        self.touch("a.c")
        self.assertEqual(echoed_targets(self.build().stdout), ["a.o", "prog"])
        self.assert_nothing_to_do()

    def test_a_lost_database_rebuilds_everything_once(self):
        self.build()
        os.unlink(self.path(".kiln.db"))
        r = self.build("-R")
        self.assertCountEqual(echoed_targets(r.stdout), ["a.o", "b.o", "prog"])
        self.assertRegex(r.stdout, "update target 'a.o' due to:.* command database mismatch")
        self.assert_nothing_to_do()


class DatabaseRebuildTest(ProjectTestCase):
    def setUp(self):
        super().setUp()
        self.write("in.txt", "hello\n")
        self.write("other.txt", "other\n")
        self.write_kilnfile("tr a-z A-Z")

    def write_kilnfile(self, filter_command):
        self.write("Kilnfile", "@toplevel\n"
                   '@phonyrule: "all": "out.txt" "copy.txt"\n'
                   '"out.txt": "in.txt"\n'
                   f"\t{filter_command} < $< > $@\n"
                   '"copy.txt": "other.txt"\n'
                   "\tcp $< $@\n")

    def test_changed_recipe_rebuilds_only_its_target(self):
        self.build()
        self.assertEqual(self.read("out.txt"), "HELLO\n")
        self.write_kilnfile("sed s/h/J/")
        # The files' times say everything is up to date; the database does not.
        r = self.build("-q", status=1)
        self.assertEqual(echo_lines(r.stdout), [])
        r = self.build("-R")
        self.assertIn("update target 'out.txt' due to: command database mismatch\n", r.stdout)
        self.assertEqual(echo_lines(r.stdout),
                         ["[., out.txt] sh -c sed s/h/J/ < in.txt > out.txt"])
        self.assertEqual(self.read("out.txt"), "Jello\n")
        self.assertIn('\t"NI" "E" "NM" "sh" "-c" "sed s/h/J/ < in.txt > out.txt"\n', self.db())
        self.assert_nothing_to_do()

    def test_files_restored_with_older_times_rebuild(self):
        self.build()
        old = self.mtime_ns("in.txt")
        self.write("in.txt", "house\n")
        self.set_mtime_ns("in.txt", self.mtime_ns("out.txt") - 5 * 10**9)
        self.assertNotEqual(old, self.mtime_ns("in.txt"))
        # By times alone (the version 1 database) the target looks current.
        self.build("-e", "-q")
        self.build("-q", status=1)
        r = self.build("-R")
        self.assertIn("update target 'out.txt' due to: tsdb mismatch of dependency 'in.txt'",
                      r.stdout)
        self.assertEqual(echoed_targets(r.stdout), ["out.txt"])
        self.assertEqual(self.read("out.txt"), "HOUSE\n")
        self.assert_nothing_to_do()
        # The same for a target overwritten by an old copy.
        self.write("copy.txt", "stale copy\n")
        self.set_mtime_ns("copy.txt", self.mtime_ns("other.txt"))
        r = self.build("-R")
        self.assertIn("update target 'copy.txt' due to: tsdb mismatch", r.stdout)
        self.assertEqual(echoed_targets(r.stdout), ["copy.txt"])
        self.assertEqual(self.read("copy.txt"), "other\n")

    def test_odd_names_and_command_words_survive_the_database(self):
        self.write("in put.txt", "data\n")
        self.write("Kilnfile", """@toplevel
@phonyrule: "all": "my file.txt" "q.txt"
"my file.txt": "in put.txt"
\tcp $< $@
"q.txt":
@\t["sh", "-c", "printf '%s\\n' \\"it's\\" 'a\\\\b' 'caf\u00e9' '\\t' > q.txt"]
""")
        r = self.build()
        self.assertIn("[., my file.txt] sh -c cp in\\ put.txt my\\ file.txt\n", r.stdout)
        self.assertEqual(self.read("my file.txt"), "data\n")
        self.assertEqual(self.read("q.txt"), "it's\na\\b\ncaf\u00e9\n\t\n")
        # The newline, TAB and é of the command are escaped in the file.
        self.assertIn(r'"printf \'%s\n\' \"it\'s\" \'a\\b\' \'caf\xc3\xa9\' \'\t\' > q.txt"',
                      self.db())
        self.assert_nothing_to_do()


class HeaderDependencyTest(ProjectTestCase):
    def setUp(self):
        super().setUp()
        self.write("Kilnfile", """@toplevel
$CC = "cc"
"prog": "a.o"
@\t[$CC, "-o", $@, @ $^]
"a.o" "a.d": "a.c"
@\t[$CC, "-MMD", "-c", "-o", $@, $<]
@cdepincludes @autophony @autotarget @ignore ["a.d"]
""")
        self.write("a.c", '#include "a.h"\nint main(void) { return A; }\n')
        self.write("a.h", "#define A 0\n")

    def run_prog(self):
        return subprocess.run([self.path("prog")]).returncode

    def test_header_change_reaches_the_object(self):
        r = self.build()
        self.assertEqual(echoed_targets(r.stdout), ["a.o", "prog"])
        self.assertEqual(self.read("a.d").split(), ["a.o:", "a.c", "a.h"])
        self.assertIn('"a.h" = ', self.db())
        self.assert_nothing_to_do()
        self.write("a.h", "#define A 5\n")
        r = self.build("-R")
        self.assertIn("update target 'a.o' due to: tsdb mismatch of dependency 'a.h'", r.stdout)
        self.assertEqual(echoed_targets(r.stdout), ["a.o", "prog"])
        self.assertEqual(self.run_prog(), 5)
        self.assert_nothing_to_do()
        # A header that is no longer there rebuilds instead of failing.
        self.write("a.c", "int main(void) { return 7; }\n")
        os.unlink(self.path("a.h"))
        r = self.build("-R")
        self.assertIn("'a.h' (nonexistent)", r.stdout)
        self.assertEqual(echoed_targets(r.stdout), ["a.o", "prog"])
        self.assertEqual(self.run_prog(), 7)
        self.assert_nothing_to_do()


class SubDirectoryTest(ProjectTestCase):
    def setUp(self):
        super().setUp()
        self.write("Kilnfile", """@toplevel
@phonyrule: "all": "app.txt"
"app.txt": "lib/lib.txt" "main.txt"
\tcat lib/lib.txt main.txt > $@
@dirinclude "lib"
""")
        self.write("lib/Kilnfile", """@subfile
"lib.txt": "part.txt" "../main.txt"
\tpwd > $@; cat $^ >> $@
""")
        self.write("main.txt", "main\n")
        self.write("lib/part.txt", "part\n")
        self.lib = os.path.realpath(self.path("lib"))

    def test_names_and_commands_are_relative_to_each_directory(self):
        r = self.build()
        self.assertEqual(echo_lines(r.stdout), [
            "[lib, lib/lib.txt] sh -c pwd > lib.txt; cat part.txt ../main.txt >> lib.txt",
            "[., app.txt] sh -c cat lib/lib.txt main.txt > app.txt",
        ])
        self.assertEqual(self.read("lib/lib.txt"), f"{self.lib}\npart\nmain\n")
        self.assertEqual(self.read("app.txt"), f"{self.lib}\npart\nmain\nmain\n")
        self.assertIn('"lib" "lib/lib.txt":\n', self.db())
        self.assertIn('"lib/part.txt" = ', self.db())
        self.assertFalse(self.exists("lib/.kiln.db"))
        self.assert_nothing_to_do()
        # main.txt, named from both directories, is one file.
        self.touch("main.txt")
        self.assertEqual(echoed_targets(self.build().stdout), ["lib/lib.txt", "app.txt"])
        self.assert_nothing_to_do()

    def test_mode_this_builds_the_sub_directory_from_inside_it(self):
        r = self.run_kiln("-u", name="klnt", cwd=self.path("lib"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, (
            f"kiln: Using directory {os.path.realpath(self.dir)}\n"
            "kiln: Forward path: lib\n"
            "[lib, lib/lib.txt] sh -c pwd > lib.txt; cat part.txt ../main.txt >> lib.txt\n"))
        self.assertFalse(self.exists("app.txt"))
        self.assertTrue(self.exists(".kiln.db"))
        r = self.run_kiln("-u", name="klnt", cwd=self.path("lib"))
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")


def max_concurrency(log):
    running = peak = 0
    for line in log.splitlines():
        running += 1 if line.startswith("+") else -1
        peak = max(peak, running)
    return peak


class ParallelTest(ProjectTestCase):
    def test_the_job_count_bounds_the_jobs_running_at_once(self):
        self.write("wait.sh", WAIT_SH)
        rules = "".join(f'"{t}":\n\techo + $@ >> log; sleep 0.4; echo - $@ >> log; touch $@\n'
                        for t in ("c1", "c2", "c3"))
        # Two commands that can finish only when they overlap.
        self.write("Kilnfile", '@toplevel\n@phonyrule: "all": "p1" "p2" "c1" "c2" "c3"\n'
                   '"p1":\n\ttouch p1.started; sh wait.sh p2.started 100; touch $@\n'
                   '"p2":\n\ttouch p2.started; sh wait.sh p1.started 100; touch $@\n' + rules)
        start = time.monotonic()
        self.build("-j2")
        self.assertLess(time.monotonic() - start, 5)
        self.assertEqual(max_concurrency(self.read("log")), 2)
        for t in ("p1", "p2", "c1", "c2", "c3"):
            self.assertTrue(self.exists(t), t)
        os.unlink(self.path("log"))
        self.build("-B", "-j1", "c1", "c2", "c3")
        self.assertEqual(max_concurrency(self.read("log")), 1)

    def test_dependant_starts_after_all_its_dependencies(self):
        self.write("Kilnfile", '@toplevel\n'
                   '"top": "d1" "d2"\n\techo + $@ >> log; echo - $@ >> log; touch $@\n'
                   '"d1":\n\techo + $@ >> log; sleep 0.3; echo - $@ >> log; touch $@\n'
                   '"d2":\n\techo + $@ >> log; sleep 0.1; echo - $@ >> log; touch $@\n')
        self.build("-j2", "top")
        self.assertEqual(self.read("log").splitlines()[-2:], ["+ top", "- top"])
        self.assertEqual(max_concurrency(self.read("log")), 2)


    def test_closed_descriptors_named_by_a_parent_make_are_not_joined(self):
        # A make that runs kiln as a plain command closes its jobserver
        # descriptors but still names them; kiln's own database and pipes
        # then take those numbers and must not be taken for tokens.
        self.write("wait.sh", WAIT_SH)
        self.write("Kilnfile", '@toplevel\n@phonyrule: "all": "p1" "p2"\n'
                   '"p1":\n\ttouch p1.started; sh wait.sh p2.started 100; touch $@\n'
                   '"p2":\n\ttouch p2.started; sh wait.sh p1.started 100; touch $@\n')
        r = self.build("-j2", env={"MAKEFLAGS": " --jobserver-auth=3,4 -j"})
        self.assertIn("kiln: Jobserver unavailable\n", r.stderr)
        self.assertTrue(self.exists("p1") and self.exists("p2"))

class FailureTest(ProjectTestCase):
    # "bad" is queued last and so starts first; "other" does not depend on it.
    KILNFILE = """@toplevel
@phonyrule: "all": "other" "top"
"top": "bad"
\ttouch top
"bad":
\techo partial > bad; exit 3
\ttouch never
"other":
\ttouch other
"""
    FAILURE = ("kiln: recipe for target 'bad' in directory '.' failed\n"
               "kiln: failed command was: sh -c echo partial > bad; exit 3\n")

    def setUp(self):
        super().setUp()
        self.write("Kilnfile", self.KILNFILE)

    def test_failing_command_stops_the_build(self):
        self.write("Kilnfile", self.KILNFILE.replace("exit 3", "exit 0"))
        self.build("bad")
        self.assertIn('"." "bad":', self.db())
        os.unlink(self.path("never"))
        self.write("Kilnfile", self.KILNFILE)
        r = self.build(status=2)
        self.assertEqual(r.stderr, self.FAILURE + "kiln: *** Error 3. Exiting.\n")
        self.assertEqual(echoed_targets(r.stdout), ["bad"])
        for name in ("bad", "never", "top", "other"):
            self.assertFalse(self.exists(name), name)
        self.assertNotIn('"bad":', self.db())
        # Nothing was recorded as done, so the next run tries again.
        r = self.build(status=2)
        self.assertEqual(echoed_targets(r.stdout), ["bad"])

    def test_keep_going_builds_what_does_not_depend_on_the_failure(self):
        r = self.build("-k", status=2)
        self.assertEqual(r.stderr, self.FAILURE + "Error 3\n"
                         "kiln: *** Some of the commands failed. Exiting.\n")
        self.assertEqual(echoed_targets(r.stdout), ["bad", "other"])
        self.assertTrue(self.exists("other"))
        self.assertFalse(self.exists("top"))
        self.assertFalse(self.exists("bad"))
        self.assertIn('"." "other":', self.db())
        self.assert_nothing_to_do("other")

    def test_ignored_failures_let_the_recipe_and_its_dependants_go_on(self):
        r = self.build("-i")
        self.assertEqual(r.stderr, "")
        self.assertEqual(echoed_targets(r.stdout), ["bad", "bad", "top", "other"])
        for name in ("bad", "never", "top", "other"):
            self.assertTrue(self.exists(name), name)
        # A "-" line ignores its own failure without -i.
        self.write("Kilnfile", '@toplevel\n"t":\n\t-exit 4\n\ttouch t\n')
        r = self.build()
        self.assertEqual(r.stderr, "")
        self.assertEqual(echo_lines(r.stdout), ["[., t] sh -c exit 4", "[., t] sh -c touch t"])

    def test_failure_waits_for_the_jobs_still_running(self):
        self.write("Kilnfile", '@toplevel\n@phonyrule: "all": "slow" "bad"\n'
                   '"slow":\n\tsleep 0.5; touch slow\n"bad":\n\techo oops; exit 1\n')
        r = self.build("-j2", "-Ot", status=2)
        self.assertTrue(self.exists("slow"))
        self.assertEqual(r.stdout, "[., bad] sh -c echo oops; exit 1\noops\n"
                         "[., slow] sh -c sleep 0.5; touch slow\n")
        self.assertEqual(r.stderr, (
            "kiln: recipe for target 'bad' in directory '.' failed\n"
            "kiln: failed command was: sh -c echo oops; exit 1\n"
            "kiln: *** Error 1. Exiting.\n"
            "kiln: *** Waiting for child processes to die.\n"
            "kiln: *** No children left. Exiting.\n"))

    def test_recipe_that_does_not_create_its_target(self):
        self.write("Kilnfile", '@toplevel\n"t":\n\ttrue\n@mayberule: "m":\n\ttrue\n')
        r = self.build(status=2)
        self.assertEqual(r.stderr, (
            "kiln: *** Target 't' was not created by rule (directory: '.').\n"
            "kiln: *** Hint: use @phonyrule for phony rules.\n"
            "kiln: *** Hint: use @mayberule for rules that may or may not update target.\n"
            "kiln: *** Hint: use @rectgtrule for rules that have targets inside @recdep.\n"
            "kiln: *** Target 't' was not created by rule. Exiting.\n"))
        self.build("m")


class BuildOptionTest(CProjectCase):
    def test_dry_run_prints_without_running_and_keeps_the_database(self):
        self.build()
        self.write("a.c", "int b(void);\nint main(void) { return 1 + b(); }\n")
        self.write("Kilnfile", C_PROJECT + '"note":\n\t@echo quiet > note\n'
                   '"made":\n\t+touch made\n')
        db = self.db()
        objects = (self.mtime_ns("a.o"), self.mtime_ns("prog"))
        r = self.build("-n")
        # The dependant of a remade target counts as remade too.
        self.assertEqual(echoed_targets(r.stdout), ["a.o", "prog"])
        self.assertEqual((self.mtime_ns("a.o"), self.mtime_ns("prog")), objects)
        self.assertEqual(self.db(), db)
        # Commands that are not echoed are shown in a dry run.
        r = self.build("-n", "note")
        self.assertEqual(echo_lines(r.stdout), ["[., note] sh -c echo quiet > note"])
        self.assertFalse(self.exists("note"))
        # Sub-make lines are not run either.
        r = self.build("-n", "made")
        self.assertEqual(echo_lines(r.stdout), ["[., made] sh -c touch made"])
        self.assertFalse(self.exists("made"))
        self.build("-q", status=1)
        self.assertEqual(echoed_targets(self.build().stdout), ["a.o", "prog"])
        self.assertEqual(self.run_prog(), 1)
        r = self.build("note")
        self.assertEqual(r.stdout, "")
        self.assertEqual(self.read("note"), "quiet\n")

    def test_question_mode_runs_nothing_and_answers_by_exit_status(self):
        self.build("-q", status=1)
        self.assertFalse(self.exists("a.o"))
        self.assertIsNone(self.db())  # no empty database is left behind
        self.build()
        db = self.db()
        r = self.build("-q")
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        self.touch("b.c")
        r = self.build("-q", status=1)
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        self.assertEqual(self.db(), db)
        self.build("-q", "a.o")

    def test_unconditional_build_remakes_everything(self):
        self.build()
        r = self.build("-B", "-R")
        self.assertCountEqual(echoed_targets(r.stdout), ["a.o", "b.o", "prog"])
        self.assertIn("update target 'a.o' due to: unconditional build of everything", r.stdout)
        self.assert_nothing_to_do()

    def test_silent_build_echoes_nothing(self):
        r = self.build("-s")
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        self.assertEqual(self.run_prog(), 0)
        r = self.build("-s")
        self.assertEqual((r.stdout, r.stderr), ("", ""))


class ExampleDryRunTest(ProjectTestCase):
    def test_dry_run_prints_exactly_what_the_real_run_then_runs(self):
        # Rules completed without a run used to count as remade under -n,
        # so an up-to-date tree still showed the archive and every link.
        source = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "hello")
        os.rmdir(self.dir)
        shutil.copytree(source, self.dir,
                        ignore=shutil.ignore_patterns("*.o", "*.d", "*.a", "hello", ".kiln.db"))
        self.build()
        self.assert_nothing_to_do("-n")
        self.build("-q")
        for changed in ("greet/greet.c", "hello.c"):
            self.touch(changed)
            dry = self.build("-n")
            self.assertEqual(dry.stderr, "")
            real = self.build()
            self.assertEqual(dry.stdout, real.stdout)
            self.assertTrue(echo_lines(real.stdout), real.stdout)
            self.assert_nothing_to_do("-n")


class SubMakeTest(ProjectTestCase):
    def setUp(self):
        super().setUp()
        self.write("wait.sh", WAIT_SH)

    def test_only_sub_makes_see_the_jobserver(self):
        self.write("Kilnfile", """@toplevel
@phonyrule: "all": "mf.txt" "plain.txt"
"mf.txt":
\t+echo "$$MAKEFLAGS" > flags.txt; f=$${MAKEFLAGS#*fifo:}; test -p "$${f%% *}" && echo fifo > $@ || echo none > $@
"plain.txt":
\techo "$${MAKEFLAGS-unset}" > plain.txt
""")
        self.build("-j3", env={"MAKEFLAGS": "-k"})
        self.assertEqual(self.read("mf.txt"), "fifo\n")
        flags = self.read("flags.txt")
        m = re.fullmatch(r" --jobserver-auth=fifo:(\S+) --jobserver-fds=(\d+),(\d+)"
                         r" --jobserver-auth=\2,\3 -j\n", flags)
        self.assertTrue(m, flags)
        self.assertFalse(os.path.exists(m.group(1)), "the jobserver FIFO outlived kiln")
        self.assertEqual(self.read("plain.txt"), "unset\n")
        self.build("-B", "-P", "-Ot", "mf.txt")
        self.assertEqual(self.read("mf.txt"), "none\n")
        self.assertRegex(self.read("flags.txt"),
                         r"^ --jobserver-fds=(\d+),(\d+) --jobserver-auth=\1,\2 -j -Otarget\n$")

    def write_submake_project(self, polls):
        self.write("sub.mk", "both: x y\n"
                   f"x:\n\ttouch x.started; sh wait.sh y.started {polls}\n"
                   f"y:\n\ttouch y.started; sh wait.sh x.started {polls}\n")
        self.write("Kilnfile", '@toplevel\n"done":\n\t+make -s -f sub.mk both\n\ttouch done\n')

    def test_gnu_make_takes_its_jobs_from_our_jobserver(self):
        # make reads descriptors, not a FIFO, from the jobserver words.
        self.write_submake_project(100)
        self.build("-P", "-j2")
        self.assertTrue(self.exists("done"))
        # With one job there is no token to share: make runs x and y in turn.
        self.write_submake_project(10)
        for name in ("done", "x.started", "y.started"):
            os.unlink(self.path(name))
        r = self.build("-P", "-j1", status=2)
        self.assertIn("kiln: failed command was: sh -c make -s -f sub.mk both\n", r.stderr)
        self.assertFalse(self.exists("done"))

    def test_sub_makes_old_and_new_share_the_default_fifo_jobserver(self):
        # A make that knows only descriptors (4.0 to 4.3) stopped with an
        # invalid jobserver string when kiln named nothing but its FIFO.
        # With one job there is no token: make's two jobs wait for each
        # other in vain.
        for transport in ([], ["-F"]):
            for jobs, polls, status in (("-j4", 100, 0), ("-j1", 10, 2)):
                self.write_submake_project(polls)
                for name in ("done", "x.started", "y.started"):
                    if self.exists(name):
                        os.unlink(self.path(name))
                r = self.build(*transport, jobs, status=status)
                self.assertNotIn("jobserver", r.stdout + r.stderr)
                self.assertEqual(self.exists("done"), status == 0)
        # A client that reads only the FIFO's path takes a token and gives
        # it back: the second command finds it again.
        self.write("client.py", FIFO_CLIENT)
        self.write("Kilnfile", "@toplevel\n\"ok\":\n"
                   f"\t+{sys.executable} client.py 5\n\t+{sys.executable} client.py 5\n\ttouch ok\n")
        self.build("-j2")
        self.assertTrue(self.exists("ok"))
        os.unlink(self.path("ok"))
        self.build("-j1", status=2)


class OutputSyncTest(ProjectTestCase):
    # a and b print in strict alternation: a1 b1 a2 b2 a3 b3.
    KILNFILE = """@toplevel
@phonyrule: "all": "a" "b"
"a":
\techo a1; touch a.1; sh wait.sh b.1 100; echo a2; touch a.2; sh wait.sh b.2 100; echo a3; touch a.3
\ttouch a
"b":
\tsh wait.sh a.1 100; echo b1; touch b.1; sh wait.sh a.2 100; echo b2; touch b.2; sh wait.sh a.3 100; echo b3
\ttouch b
"""

    def setUp(self):
        super().setUp()
        self.write("wait.sh", WAIT_SH)
        self.write("Kilnfile", self.KILNFILE)

    def output_of(self, stdout):
        return [line for line in stdout.splitlines() if not line.startswith("[")]

    def test_target_sync_keeps_each_rules_output_together(self):
        r = self.build("-j2")
        self.assertEqual(self.output_of(r.stdout), ["a1", "b1", "a2", "b2", "a3", "b3"])
        for name in ("a", "b", "a.1", "a.2", "a.3", "b.1", "b.2"):
            os.unlink(self.path(name))
        r = self.build("-j2", "-Ot")
        lines = r.stdout.splitlines()
        self.assertEqual(len(lines), 10, r.stdout)
        blocks = {lines[0][:6]: lines[:5], lines[5][:6]: lines[5:]}
        self.assertCountEqual(blocks, ["[., a]", "[., b]"])
        for name, block in blocks.items():
            t = name[4]
            self.assertTrue(block[0].startswith(f"[., {t}] sh -c "), block)
            self.assertEqual(block[1:], [f"{t}1", f"{t}2", f"{t}3", f"[., {t}] sh -c touch {t}"])

    def test_line_sync_flushes_after_every_command(self):
        r = self.build("-j2", "-Ol")
        lines = r.stdout.splitlines()
        for t in ("a", "b"):
            first = lines.index(f"{t}1")
            self.assertEqual(lines[first:first + 3], [f"{t}1", f"{t}2", f"{t}3"])
            self.assertTrue(lines[first - 1].startswith(f"[., {t}] sh -c "), lines)


if __name__ == "__main__":
    unittest.main()


class LargeGraphTest(ProjectTestCase):
    """Graphs that name thousands of files, where start-up reads the file
    states ahead of the build."""

    def test_a_file_a_recipe_writes_undeclared_is_seen_by_later_rules(self):
        n = 2500
        for i in range(n):
            self.write(f"s/{i}", "")
        for i in range(n):
            self.write(f"o/{i}", "")
        self.write("x", "old\n")
        objects = " ".join(f'"o/{i}"' for i in range(n))
        self.write("Kilnfile", '@toplevel\n'
                   f'@phonyrule: "all": {objects} "a" @wait "b"\n'
                   + "".join(f'"o/{i}": "s/{i}"\n' for i in range(n)) +
                   '"a": "a.src"\n\techo new > x; touch a\n'
                   '"b": "x"\n\tcat x > b\n')
        self.write("a.src", "")
        self.assertEqual(echoed_targets(self.build().stdout), ["a", "b"])
        self.assert_nothing_to_do()
        # a runs again and rewrites x without declaring it; b, considered
        # only once a is done, must see x as a left it.
        self.touch("a.src")
        self.assertEqual(echoed_targets(self.build().stdout), ["a", "b"])
        self.assert_nothing_to_do()
