"""Helpers for kiln's end-to-end tests: run the built binary in scratch
directories and look at what it printed."""

import os
import shutil
import subprocess
import tempfile
import unittest

KILN = os.environ.get("KILN", os.path.join(os.path.dirname(__file__), "..", "..", "build", "kiln"))
BIN_DIR = os.environ.get("KILN_BIN_DIR", os.path.dirname(KILN))


def tool(name):
    """Path of kiln or one of its short names (klna, klnt, klnp)."""
    return KILN if name == "kiln" else os.path.join(BIN_DIR, name)


class KilnTestCase(unittest.TestCase):
    """A test case with a fresh scratch directory per test."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kiln-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, relpath, text):
        path = os.path.join(self.dir, relpath)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def run_kiln(self, *args, name="kiln", cwd=None, env=None, timeout=120):
        full_env = dict(os.environ)
        full_env.pop("MAKEFLAGS", None)
        full_env.pop("KILNPID", None)
        if env:
            full_env.update(env)
        return subprocess.run([tool(name), *args], cwd=cwd or self.dir, env=full_env,
                              capture_output=True, text=True, timeout=timeout)
