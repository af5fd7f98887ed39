"""The tools behind the long options (--targets, --compdb, --graph,
--query) and NAME=value words on the example project."""

import json
import os
import shutil
import unittest

from kilntest import ProjectTestCase, echo_lines

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "hello")


@unittest.skipUnless(shutil.which("cc"), "needs a C compiler")
class ToolsTest(ProjectTestCase):
    def setUp(self):
        super().setUp()
        # Without what the README's first command leaves in the example.
        shutil.copytree(EXAMPLE, self.dir, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("*.o", "*.d", "*.a", "hello", ".kiln.db*"))

    def tool(self, *args, stderr=""):
        r = self.build(*args)
        self.assertEqual(r.stderr, stderr)
        return r.stdout

    def test_targets_list_every_target_with_directory_and_kind(self):
        rows = [line.split("\t") for line in self.tool("--targets").splitlines()]
        self.assertIn(["all", ".", "phony"], rows)
        self.assertIn(["hello", ".", "file"], rows)
        self.assertIn(["greet/greet.o", "greet", "pattern"], rows)
        self.assertFalse(self.exists("hello"), "a tool builds nothing")

    def test_compdb_holds_the_compile_commands_only(self):
        db = json.loads(self.tool("--compdb"))
        by_file = {(e["directory"], e["file"]): e for e in db}
        top = os.path.realpath(self.dir)
        self.assertEqual(sorted(by_file), [(top, "hello.c"), (top + "/greet", "greet.c")])
        entry = by_file[(top, "hello.c")]
        self.assertEqual(entry["arguments"][0], "cc")
        self.assertIn("-c", entry["arguments"])
        self.assertEqual(entry["output"], "hello.o")

    def test_graph_shows_the_edges_below_the_target(self):
        dot = self.tool("--graph", "greet/libgreet.a")
        self.assertTrue(dot.startswith("digraph kiln {\n") and dot.endswith("}\n"))
        self.assertIn('"greet/libgreet.a" -> "greet/greet.o";', dot)
        self.assertNotIn('"hello"', dot)
        self.assertIn('"hello" -> "hello.o";', self.tool("--graph"))

    def test_query_tells_whether_and_why_without_touching_anything(self):
        self.build("-s")
        before = os.stat(self.path(".kiln.db"))
        out = self.tool("--query", "hello", stderr="kiln: Nothing to be done.\n")
        self.assertIn("target: hello\nrule: file, Kilnfile line ", out)
        self.assertIn("dependencies: hello.o greet/libgreet.a\n", out)
        self.assertIn("dependants: all\n", out)
        self.assertIn("command: cc -o hello hello.o greet/libgreet.a\n", out)
        self.assertTrue(out.endswith("hello is up to date\n"), out)
        self.touch("hello.c")
        out = self.tool("--query", "hello")
        self.assertIn("due to: tsdb mismatch of dependency 'hello.c'", out)
        self.assertIn("[., hello] cc -o hello", out)
        self.assertTrue(out.endswith("hello is out of date\n"), out)
        after = os.stat(self.path(".kiln.db"))
        self.assertEqual((after.st_ino, after.st_mtime_ns), (before.st_ino, before.st_mtime_ns))

    def test_command_line_variable_overrides_the_kilnfile(self):
        self.build("-s", "CC=gcc")
        r = self.build("-n", "CC=gcc", "hello")
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")
        # A list variable gets the value's words.
        lines = echo_lines(self.build("-n", "CC=cc -DWORDS").stdout)
        self.assertIn("[., hello.o] cc -DWORDS -O2", "\n".join(lines))
        # Without the word the Kilnfile's compiler is back: every command changed.
        lines = echo_lines(self.build("-n").stdout)
        self.assertEqual(len(lines), 4)
        self.assertTrue(all(" gcc " not in line for line in lines), lines)


if __name__ == "__main__":
    unittest.main()
