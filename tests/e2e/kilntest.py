"""Helpers for kiln's end-to-end tests: run the built binary in scratch
directories and look at what it printed."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
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

    def start_kiln(self, *args, name="kiln", cwd=None, env=None):
        """Starts kiln in the background, in a session of its own; whatever
        is left of that session is killed when the test ends."""
        full_env = dict(os.environ)
        full_env.pop("MAKEFLAGS", None)
        full_env.pop("KILNPID", None)
        if env:
            full_env.update(env)
        popen = subprocess.Popen([tool(name), *args], cwd=cwd or self.dir, env=full_env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 start_new_session=True)
        run = BackgroundKiln(popen)
        self.addCleanup(run.kill_leftovers)
        return run


def wait_until(predicate, timeout=10.0, interval=0.02):
    """Polls predicate until it holds or timeout seconds pass; returns its last result."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(interval)


def session_pids(sid):
    """Pids of the live (not zombie) processes of session sid, from /proc."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != "Z" and int(fields[3]) == sid:
            pids.append(int(entry))
    return pids


class BackgroundKiln:
    """A kiln run in a session and process group of its own, so that a
    test can signal kiln alone or its whole group, as a terminal would."""

    def __init__(self, popen):
        self.popen = popen
        self.pid = popen.pid
        self.returncode = None
        self.stdout = self.stderr = None

    def finish(self, timeout=20):
        """Waits for kiln and collects its output; returns the exit status."""
        self.stdout, self.stderr = self.popen.communicate(timeout=timeout)
        self.returncode = self.popen.returncode
        return self.returncode

    def kill_leftovers(self):
        for pid in session_pids(self.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if self.popen.poll() is None:
            self.popen.kill()
            self.popen.wait()


class ProjectTestCase(KilnTestCase):
    """Helpers for tests that build small projects and look at the files,
    the echo lines and the database they leave behind."""

    def path(self, relpath):
        return os.path.join(self.dir, relpath)

    def read(self, relpath):
        with open(self.path(relpath)) as f:
            return f.read()

    def exists(self, relpath):
        return os.path.lexists(self.path(relpath))

    def mtime_ns(self, relpath):
        return os.stat(self.path(relpath)).st_mtime_ns

    def set_mtime_ns(self, relpath, ns):
        os.utime(self.path(relpath), ns=(ns, ns))

    def touch(self, relpath):
        """Set a file's time to now as the kernel sees it (the same clock that
        stamps freshly written targets, so times stay comparable)."""
        os.utime(self.path(relpath))

    def db(self):
        """The text of .kiln.db, or None when there is none."""
        return self.read(".kiln.db") if self.exists(".kiln.db") else None

    def build(self, *args, status=0, **kw):
        """kiln -f Kilnfile with args in the project directory; checks the
        exit status and returns the result."""
        r = self.run_kiln("-f", "Kilnfile", *args, **kw)
        self.assertEqual(r.returncode, status, f"stdout:\n{r.stdout}\nstderr:\n{r.stderr}")
        return r

    def assert_nothing_to_do(self, *args):
        r = self.build(*args)
        self.assertEqual(r.stdout, "")
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")


def echo_lines(text):
    """The command echo lines ("[dir, target] words") of kiln's output."""
    return [line for line in text.splitlines() if line.startswith("[")]


def echoed_targets(text):
    """The first targets named by the echo lines, in order."""
    return [line[1:line.index("]")].split(", ", 1)[1] for line in echo_lines(text)]
