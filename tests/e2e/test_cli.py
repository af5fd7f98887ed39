"""The command line as a user meets it: usage texts, modes, option checks,
the recursion refusal, -v and -G."""

import os
import re
import unittest

from kilntest import KilnTestCase

MAIN_USAGE = (
    "Usage:\n"
    "kiln [-vGdHhcbqikBnsTReEFPu] [-j jobcnt] [-l loadavg] [-W|-X|-o|-r file] [-O n|l|t|r] "
    "[-C dir] -f Kilnfile | -t | -p | -a [target...]\n"
    "  You can start kiln as klna, klnt or klnp or use main command kiln\n"
    "  klna, klnt and klnp do not take -t | -p | -a whereas kiln takes\n"
    "  klna, klnt and klnp do not take -f Kilnfile whereas kiln takes\n"
    "  -b and -c options are incompatible with -q\n"
)


def short_usage(name):
    return (
        "Usage:\n"
        f"{name} [-vGdHhcbqikBnsTReEFPu] [-j jobcnt] [-l loadavg] [-W|-X|-o|-r file] "
        "[-O n|l|t|r] [-C dir] [target...]\n"
        f"  You can start {name} as klna, klnt or klnp or use main command kiln\n"
        "  klna, klnt and klnp do not take -t | -p | -a whereas kiln takes\n"
        "  klna, klnt and klnp do not take -f Kilnfile whereas kiln takes\n"
        "  -b and -c options are incompatible with -q\n"
    )


class UsageTest(KilnTestCase):
    def assert_usage(self, result, text=MAIN_USAGE, prefix=""):
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr, prefix + text)
        self.assertEqual(result.stdout, "")

    def test_help_prints_the_main_usage(self):
        self.assert_usage(self.run_kiln("-h"))

    def test_long_help_and_version_succeed_on_stdout(self):
        # Anywhere among the options, before any other check or search;
        # every option letter the usage names has its own line.
        for args in (["--help"], ["-a", "--help"], ["-j", "2", "--help", "-x"]):
            r = self.run_kiln(*args)
            self.assertEqual((r.returncode, r.stderr), (0, ""), args)
            self.assertTrue(r.stdout.startswith(MAIN_USAGE.split("\n  -b and")[0]))
            for letter in re.findall(r"[a-zA-Z]", "vGdHhcbqikBnsTReEFPujlWXorOCftpa"):
                self.assertRegex(r.stdout, rf"\n  -{letter}\b", letter)
        r = self.run_kiln("--version")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(r.stdout, self.run_kiln("-v").stdout)
        # After the first non-option word it is a target name.
        r = self.run_kiln("-f", "Kilnfile", "x", "--help")
        self.assertEqual(r.returncode, 2)

    def test_short_names_print_their_own_usage(self):
        for name in ("klna", "klnt", "klnp"):
            with self.subTest(name=name):
                self.assert_usage(self.run_kiln("-h", name=name), short_usage(name))

    def test_without_mode_or_file(self):
        self.assert_usage(self.run_kiln())
        self.assert_usage(self.run_kiln("-j", "2", "target"))

    def test_unknown_option(self):
        self.assert_usage(self.run_kiln("-Z", "-a"))

    def test_job_count_limits(self):
        self.assert_usage(self.run_kiln("-j", "0", "-a"))
        self.assert_usage(self.run_kiln("-j", "1001", "-a"))
        self.assert_usage(self.run_kiln("-j", "x", "-a"))
        self.assert_usage(self.run_kiln("-j", "4294967297", "-a"))

    def test_question_mode_refuses_clean(self):
        self.assert_usage(self.run_kiln("-q", "-c", "-a"))
        self.assert_usage(self.run_kiln("-b", "-q", "-a"))

    def test_output_sync_letters(self):
        self.assert_usage(self.run_kiln("-O", "x", "-a"))

    def test_mode_and_file_together(self):
        self.assert_usage(self.run_kiln("-a", "-f", "Kilnfile"))
        self.assert_usage(self.run_kiln("-f", "x", name="klna"), short_usage("klna"))


class ModeTest(KilnTestCase):
    def test_conflicting_modes_are_ambiguous(self):
        r = self.run_kiln("-a", name="klnt")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, "Ambiguous mode\n" + short_usage("klnt"))
        r = self.run_kiln("-t", "-p")
        self.assertEqual(r.stderr, "Ambiguous mode\n" + MAIN_USAGE)

    def test_repeating_the_own_mode_is_accepted(self):
        # Accepted: the run gets as far as looking for the Kilnfile.
        for name, args in (("klnt", ("-t",)), ("kiln", ("-a", "-a"))):
            with self.subTest(name=name):
                r = self.run_kiln(*args, name=name)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stderr, "kiln: *** Kilnfile not found. Exiting.\n")
                real = os.path.realpath(self.dir)
                self.assertTrue(r.stdout.endswith(f"kiln: Using directory {real}\n"), r.stdout)
                self.assertFalse(os.path.exists(os.path.join(self.dir, ".kiln.db")))

    def test_silent_drops_the_directory_line(self):
        r = self.run_kiln("-s", "-u", name="klnt")
        self.assertEqual(r.stdout, "")
        self.assertEqual(r.stderr, "kiln: *** Kilnfile not found. Exiting.\n")


class DirectorySearchTest(KilnTestCase):
    def test_world_writable_parent_stops_the_search(self):
        shared = os.path.join(self.dir, "shared")
        sub = os.path.join(shared, "sub")
        os.makedirs(sub)
        os.chmod(shared, 0o777)
        real_shared = os.path.realpath(shared)
        r = self.run_kiln(name="klnt", cwd=sub)
        self.assertEqual(r.stdout, (
            f"kiln: Encountered world-writable directory at {real_shared}, not considering it\n"
            "kiln: Hint: execute kiln with -u to allow unsafe operation\n"
            f"kiln: Using directory {os.path.realpath(sub)}\n"))
        r = self.run_kiln("-u", name="klnt", cwd=sub)
        self.assertNotIn("world-writable", r.stdout)

    def test_missing_description_file_is_fatal(self):
        r = self.run_kiln("-f", "Kilnfile")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, "kiln: *** Kilnfile not found. Exiting.\n")
        self.assertFalse(os.path.exists(os.path.join(self.dir, ".kiln.db")))


class OptionTest(KilnTestCase):
    def test_invalid_load_average(self):
        for arg in ("2.5x", ""):
            r = self.run_kiln("-l", arg, "-a")
            self.assertEqual(r.returncode, 2)
            self.assertEqual(r.stderr, f"kiln: invalid load average limit: {arg}\n")

    def test_chdir_acts_at_once(self):
        os.mkdir(os.path.join(self.dir, "sub"))
        self.write("sub/Kilnfile", "")
        r = self.run_kiln("-C", "sub", "-f", "Kilnfile")
        self.assertNotIn("Kilnfile not found", r.stderr)
        r = self.run_kiln("-C", "nowhere", "-a")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, "kiln: failed to chdir to nowhere\n")

    def test_version_and_revisions(self):
        r = self.run_kiln("-v")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, "")
        first = r.stdout.splitlines()[0]
        self.assertRegex(first, r"^kiln [0-9a-f]{40}$")
        self.assertEqual(len(r.stdout.splitlines()), 4)
        self.assertIn("MIT", r.stdout)
        r = self.run_kiln("-G")
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.splitlines()
        self.assertTrue(lines)
        for line in lines:
            self.assertRegex(line, r"^[0-9a-f]{40}$")
        self.assertEqual(lines[0], first.split()[1])

    def test_invalid_makeflags_output_sync(self):
        r = self.run_kiln("-f", "Kilnfile", env={"MAKEFLAGS": "-Ox"})
        self.assertEqual(r.stderr, "kiln: invalid output sync mode in MAKEFLAGS, using default\n"
                         "kiln: *** Kilnfile not found. Exiting.\n")
        r = self.run_kiln("-f", "Kilnfile", env={"MAKEFLAGS": "-Otarget"})
        self.assertEqual(r.stderr, "kiln: *** Kilnfile not found. Exiting.\n")


class RecursionTest(KilnTestCase):
    def test_kiln_below_kiln_is_refused_before_parsing(self):
        self.write("Kilnfile", "this is not a Kilnfile\n")
        r = self.run_kiln("-f", "Kilnfile", env={"KILNPID": str(os.getpid())})
        self.assertEqual(r.returncode, 2)
        lines = r.stderr.splitlines()
        self.assertEqual(len(lines), 12)
        for line in lines[:8]:
            self.assertTrue(line.startswith("kiln: "), line)
        self.assertEqual(lines[8:], [
            "",
            "kiln: *** Recursion misuse detected.",
            "kiln: *** Kiln is designed to be used non-recursively.",
            "kiln: *** Exiting.",
        ])
        self.assertFalse(os.path.exists(os.path.join(self.dir, ".kiln.db")))

    def test_other_kilnpid_is_replaced(self):
        r = self.run_kiln("-f", "Kilnfile", env={"KILNPID": "1"})
        self.assertNotIn("Recursion", r.stderr)


if __name__ == "__main__":
    unittest.main()
