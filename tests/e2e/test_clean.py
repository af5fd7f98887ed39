"""Cleaning with -c, -b and both: which targets go, in which order, the
clean hooks of each directory, silence, and cleaning below a directory."""

import os
import unittest

from kilntest import KilnTestCase

# Ordinary, distribution and directory targets, a symbolic link, a phony
# rule named like an existing directory and a source without a rule. The
# rule for obj/sub/c.o stands before the rules of both directories above it,
# the rule for obj/a.o after the rule of obj.
TREE = ('@toplevel\n'
        '@phonyrule: "all": "b" "obj/a.o" "obj/sub/c.o" "d1" "d2" "o2" "l" "docs"\n'
        '"obj/sub/c.o": @orderonly "obj/sub"\n'
        '\techo c > $@\n'
        '"obj/sub": @orderonly "obj"\n'
        '\tmkdir $@\n'
        '"b": "src.c"\n'
        '\tcat src.c > $@\n'
        '"obj":\n'
        '\tmkdir $@\n'
        '"obj/a.o": @orderonly "obj" "src.c"\n'
        '\tcat src.c > $@\n'
        '@distrule: "d1":\n'
        '\techo d1 > $@\n'
        '@disttgt "d2" "o2":\n'
        '\techo d2 > d2; echo o2 > o2\n'
        '"l":\n'
        '\tln -s src.c $@\n'
        '@phonyrule: "docs":\n'
        '\ttrue\n')

ORDINARY = ["b", "obj/a.o", "obj/sub/c.o", "obj/sub", "obj", "o2", "l"]
DIST = ["d1", "d2"]
KEPT = ["Kilnfile", "src.c", "docs", "docs/index", ".kiln.db"]


class CleanTestCase(KilnTestCase):
    def exists(self, relpath):
        return os.path.lexists(os.path.join(self.dir, relpath))

    def assert_present(self, paths):
        for p in paths:
            self.assertTrue(self.exists(p), p)

    def assert_absent(self, paths):
        for p in paths:
            self.assertFalse(self.exists(p), p)

    def kiln_ok(self, *args, **kw):
        r = self.run_kiln(*args, **kw)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return r

    def read_log(self):
        path = os.path.join(self.dir, "log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            lines = f.read().split()
        os.unlink(path)
        return lines


class RemovalTest(CleanTestCase):
    def setUp(self):
        super().setUp()
        self.write("Kilnfile", TREE)
        self.write("src.c", "int x;\n")
        self.write("docs/index", "doc\n")
        self.kiln_ok("-f", "Kilnfile")
        self.assert_present(ORDINARY + DIST)

    def test_clean_removes_ordinary_targets_files_before_directories(self):
        r = self.kiln_ok("-f", "Kilnfile", "-c")
        self.assertEqual(r.stderr, "")
        lines = r.stdout.splitlines()
        self.assertEqual(sorted(lines), sorted([
            "unlink regular: b", "unlink regular: obj/a.o", "unlink regular: obj/sub/c.o",
            "rmdir: obj/sub", "rmdir: obj", "unlink regular: o2", "unlink symlink: l"]))
        # Whatever order the rules stand in, a directory goes after what it holds.
        for inner, outer in (("unlink regular: obj/a.o", "rmdir: obj"),
                             ("rmdir: obj/sub", "rmdir: obj"),
                             ("unlink regular: obj/sub/c.o", "rmdir: obj/sub")):
            self.assertLess(lines.index(inner), lines.index(outer))
        self.assert_absent(ORDINARY)
        # Sources, distribution targets, phony names and the link's file stay.
        self.assert_present(DIST + KEPT)
        # Missing targets are no error.
        r = self.kiln_ok("-f", "Kilnfile", "-c")
        self.assertEqual((r.stdout, r.stderr), ("", ""))

    def test_distclean_removes_only_distribution_targets(self):
        r = self.kiln_ok("-f", "Kilnfile", "-b")
        self.assertEqual(sorted(r.stdout.splitlines()), ["unlink regular: d1", "unlink regular: d2"])
        self.assert_absent(DIST)
        self.assert_present(ORDINARY + KEPT)

    def test_both_remove_everything_built(self):
        r = self.kiln_ok("-f", "Kilnfile", "-c", "-b")
        self.assertEqual(len(r.stdout.splitlines()), len(ORDINARY + DIST))
        self.assert_absent(ORDINARY + DIST)
        self.assert_present(KEPT)

    def test_directory_that_is_not_empty_is_left_with_a_note(self):
        self.write("obj/stray", "x\n")
        r = self.kiln_ok("-f", "Kilnfile", "-c")
        self.assertEqual(r.stderr, "kiln: (ignoring) can't rmdir: Directory not empty\n")
        self.assertIn("rmdir: obj\n", r.stdout)
        self.assert_absent(["obj/a.o", "obj/sub"])
        self.assert_present(["obj/stray"])

    def test_silent_clean_prints_nothing(self):
        self.write("obj/stray", "x\n")
        r = self.kiln_ok("-f", "Kilnfile", "-s", "-c", "-b")
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        self.assert_absent(DIST + ["obj/a.o", "obj/sub", "b", "l"])

    def test_named_targets_are_built_after_the_clean(self):
        r = self.kiln_ok("-f", "Kilnfile", "-c", "obj/a.o")
        lines = r.stdout.splitlines()
        self.assertIn("unlink regular: obj/a.o", lines)
        self.assertLess(lines.index("rmdir: obj"), lines.index("[., obj] sh -c mkdir obj"))
        self.assertEqual(lines[-1], "[., obj/a.o] sh -c cat src.c > obj/a.o")
        self.assert_present(["obj/a.o"] + DIST)
        self.assert_absent(["b", "o2", "l", "obj/sub"])

    def test_unknown_named_target_removes_nothing(self):
        r = self.run_kiln("-f", "Kilnfile", "-c", "nosuch")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, "kiln: *** rule 'nosuch' not found. Exiting.\n")
        self.assert_present(ORDINARY + DIST)


def hooks(where, up):
    """Clean hooks of all three kinds that log their kind and directory,
    and whether the directory's target t still existed when they ran.
    Deeper hooks are slower, so that running in parallel would show."""
    delay = {"top": "0", "sub": "0.2", "deep": "0.4"}[where]
    text = ""
    for kind, word in (("@cleanhook", "clean"), ("@distcleanhook", "dist"),
                       ("@bothcleanhook", "both")):
        text += (f'{kind}:\n'
                 f'\tsleep {delay}; test -e t && echo {word}-{where} >> {up}log\n')
    return text


HOOKED_TOP = ('@toplevel\n"t":\n\techo t > $@\n' + hooks("top", "") + '@dirinclude "sub"\n')
HOOKED_SUB = ('@subfile\n"t":\n\techo t > $@\n' + hooks("sub", "../") + '@dirinclude "deep"\n')
HOOKED_DEEP = ('@subfile\n"t":\n\techo t > $@\n' + hooks("deep", "../../"))


class HookTest(CleanTestCase):
    def setUp(self):
        super().setUp()
        self.write("Kilnfile", HOOKED_TOP)
        self.write("sub/Kilnfile", HOOKED_SUB)
        self.write("sub/deep/Kilnfile", HOOKED_DEEP)

    def build_all(self):
        for t in ("t", "sub/t", "sub/deep/t"):
            self.kiln_ok("-f", "Kilnfile", t)
        self.assertEqual(self.read_log(), [])

    def test_each_kind_runs_its_own_hooks_deepest_first(self):
        for args, word in ((("-c",), "clean"), (("-b",), "dist"), (("-c", "-b"), "both")):
            with self.subTest(args=args):
                self.build_all()
                r = self.kiln_ok("-f", "Kilnfile", "-j3", *args)
                # The hooks ran before anything was removed, children first.
                self.assertEqual(self.read_log(), [f"{word}-deep", f"{word}-sub", f"{word}-top"])
                self.assertEqual(r.stderr, "")

    def test_failing_hook_stops_the_clean(self):
        self.build_all()
        self.write("sub/Kilnfile", HOOKED_SUB.replace("sleep 0.2;", "exit 1;", 1))
        r = self.run_kiln("-f", "Kilnfile", "-c")
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.stderr.endswith("kiln: *** Error 1. Exiting.\n"), r.stderr)
        self.assertEqual(self.read_log(), ["clean-deep"])
        self.assert_present(["t", "sub/t", "sub/deep/t"])

    def test_clean_from_a_sub_directory_stays_below_it(self):
        self.build_all()
        r = self.kiln_ok("-u", "-c", name="klnt", cwd=os.path.join(self.dir, "sub"))
        self.assertEqual(self.read_log(), ["clean-deep", "clean-sub"])
        self.assertIn("kiln: Forward path: sub\n", r.stdout)
        self.assertIn("unlink regular: sub/t\n", r.stdout)
        self.assertIn("unlink regular: sub/deep/t\n", r.stdout)
        self.assertNotIn("unlink regular: t\n", r.stdout)
        self.assert_absent(["sub/t", "sub/deep/t"])
        self.assert_present(["t"])

    def test_whole_tree_modes_clean_everything_from_a_sub_directory(self):
        # sub is part of the top directory's project, so the project
        # directory is the top directory as well.
        for name in ("klna", "klnp"):
            with self.subTest(name=name):
                self.build_all()
                self.kiln_ok("-u", "-c", name=name, cwd=os.path.join(self.dir, "sub"))
                self.assertEqual(self.read_log(), ["clean-deep", "clean-sub", "clean-top"])
                self.assert_absent(["t", "sub/t", "sub/deep/t"])

    def test_named_target_in_a_sub_directory(self):
        self.build_all()
        sub = os.path.join(self.dir, "sub")
        r = self.kiln_ok("-u", "-c", "t", name="klnt", cwd=sub)
        self.assertEqual(self.read_log(), ["clean-deep", "clean-sub"])
        self.assertTrue(r.stdout.endswith("[sub, sub/t] sh -c echo t > t\n"), r.stdout)
        self.assert_present(["t", "sub/t"])
        self.assert_absent(["sub/deep/t"])


class HookThenBuildTest(CleanTestCase):
    def test_what_a_hook_needed_is_built_again_after_the_clean(self):
        # The hook needs "tool", which the clean then removes; the named
        # target must still find it rebuilt.
        self.write("Kilnfile",
                   '@toplevel\n'
                   '"a": "tool"\n\tcat tool > a\n'
                   '"tool":\n\techo tool > $@\n'
                   '@cleanhook: "tool"\n\tcat tool > /dev/null\n')
        self.kiln_ok("-f", "Kilnfile", "a")
        r = self.kiln_ok("-f", "Kilnfile", "-c", "a")
        self.assertIn("unlink regular: tool", r.stdout)
        self.assert_present(["a", "tool"])
        with open(os.path.join(self.dir, "a")) as f:
            self.assertEqual(f.read(), "tool\n")
        r = self.kiln_ok("-f", "Kilnfile", "a")
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")


if __name__ == "__main__":
    unittest.main()
