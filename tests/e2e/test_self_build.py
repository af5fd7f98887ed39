"""kiln builds itself: the Kilnfiles of the source tree compile every
folder and link a kiln that works, incrementally."""

import os
import shutil
import subprocess
import unittest

from kilntest import KilnTestCase

SOURCE = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))


class SelfBuild(KilnTestCase):
    def test_kiln_builds_itself_and_the_result_builds_the_example(self):
        shutil.copy(os.path.join(SOURCE, "Kilnfile"), self.dir)
        shutil.copytree(os.path.join(SOURCE, "src"), os.path.join(self.dir, "src"),
                        ignore=shutil.ignore_patterns("*.o", "*.d", "*.a", "kiln_revision.h"))
        env = {"KILN_CXXFLAGS": "-O0"}
        r = self.run_kiln("-f", "Kilnfile", "-j2", "-s", env=env, timeout=1200)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        built = os.path.join(self.dir, "kiln")
        version = subprocess.run([built, "-v"], capture_output=True, text=True)
        self.assertEqual(version.returncode, 0)
        # A copy outside a git checkout is an unversioned build.
        self.assertTrue(version.stdout.startswith("kiln " + "0" * 40), version.stdout)
        self.assertEqual(os.readlink(os.path.join(self.dir, "klnt")), "kiln")

        again = self.run_kiln("-f", "Kilnfile", "-j2", env=env)
        self.assertEqual(again.returncode, 0)
        self.assertIn("kiln: Nothing to be done.", again.stderr)

        # A header change recompiles exactly its includers and relinks.
        os.utime(os.path.join(self.dir, "src", "graph", "arena.h"))
        r = self.run_kiln("-f", "Kilnfile", "-j2", env=env, timeout=1200)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("src/graph/arena.o]", r.stdout)
        self.assertNotIn("src/json/writer.o]", r.stdout)
        self.assertIn("[., kiln]", r.stdout)

        example = os.path.join(self.dir, "example")
        shutil.copytree(os.path.join(SOURCE, "examples", "hello"), example,
                        ignore=shutil.ignore_patterns("*.o", "*.d", "*.a", "hello", ".kiln.db"))
        r = subprocess.run([built, "-f", "Kilnfile", "-s"], cwd=example, capture_output=True,
                           text=True, env={**os.environ, "MAKEFLAGS": ""})
        self.assertEqual(r.returncode, 0, r.stderr)
        hello = subprocess.run([os.path.join(example, "hello")], capture_output=True, text=True)
        self.assertIn("hello, world", hello.stdout)


if __name__ == "__main__":
    unittest.main()
