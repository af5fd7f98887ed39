"""Compiling on many machines: the example project built with its compiler
wrapped by distcc, one distccd on the loopback address standing in for the
cluster. Skipped when distcc, distccd or gcc is missing or the daemon
cannot start."""

import os
import shutil
import signal
import socket
import subprocess
import unittest

from kilntest import ProjectTestCase, echoed_targets, wait_until

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "hello")

# The daemon stops by itself after this many seconds, should the test's
# cleanup never run.
DAEMON_LIFETIME = 300


def free_loopback_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts_connections(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class DistccTest(ProjectTestCase):
    def setUp(self):
        super().setUp()
        missing = [name for name in ("distcc", "distccd", "gcc") if not shutil.which(name)]
        if missing:
            self.skipTest(f"{', '.join(missing)} not on PATH (apt-get install distcc gcc)")
        self.port = free_loopback_port()
        self.log_path = self.path("distccd.log")
        with open(self.log_path, "w") as log:
            self.daemon = subprocess.Popen(
                ["distccd", "--daemon", "--no-detach", "--allow", "127.0.0.1",
                 "--listen", "127.0.0.1", "--port", str(self.port), "--log-stderr",
                 "--log-level", "info", "--jobs", "2", "--lifetime", str(DAEMON_LIFETIME)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                start_new_session=True)
        self.addCleanup(self.stop_daemon)
        wait_until(lambda: self.daemon.poll() is not None or accepts_connections(self.port),
                   timeout=10)
        if self.daemon.poll() is not None or not accepts_connections(self.port):
            self.skipTest(f"distccd could not start on 127.0.0.1:{self.port}:\n"
                          + self.read("distccd.log")[-2000:])

    def stop_daemon(self):
        """Ends the daemon and the workers it forked (its own process group)."""
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.daemon.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.daemon.wait(timeout=5)
                break
            except subprocess.TimeoutExpired:
                continue
        if self.daemon.poll() is None:
            self.daemon.kill()
            self.daemon.wait()

    def compile_jobs(self):
        """The sources of the compile jobs that distccd finished, in order."""
        return [line.rsplit(" ", 1)[1] for line in self.read("distccd.log").splitlines()
                if "COMPILE_OK" in line]

    def test_example_compiles_through_distccd_and_runs(self):
        project = self.path("hello")
        shutil.copytree(EXAMPLE, project,
                        ignore=shutil.ignore_patterns("*.o", "*.d", "*.a", "hello", ".kiln.db"))
        env = {
            "CC": "distcc gcc",
            "DISTCC_HOSTS": f"127.0.0.1:{self.port}",
            "DISTCC_DIR": self.path("distcc-state"),
            # A compile the daemon cannot do fails instead of quietly running here.
            "DISTCC_FALLBACK": "0",
        }
        os.mkdir(env["DISTCC_DIR"])
        r = self.build("-j4", cwd=project, env=env)
        self.assertIn("[., hello.o] distcc gcc -O2 -Wall -Wextra -MMD -c -o hello.o hello.c",
                      r.stdout)
        self.assertEqual(sorted(self.compile_jobs()), ["greet.c", "hello.c"])
        hello = subprocess.run([os.path.join(project, "hello")], capture_output=True, text=True,
                               timeout=30)
        self.assertIn("hello, world", hello.stdout)

        # The dependency files come back from the compiles: a header change
        # recompiles its includers, through the daemon again.
        self.assertIn("greet/greet.h", self.read("hello/hello.d"))
        os.utime(os.path.join(project, "greet", "greet.h"))
        r = self.build("-j4", cwd=project, env=env)
        self.assertEqual(sorted(echoed_targets(r.stdout)),
                         ["greet/greet.o", "greet/libgreet.a", "hello", "hello.o"])
        self.assertEqual(sorted(self.compile_jobs()), ["greet.c", "greet.c", "hello.c", "hello.c"])
        r = self.build(cwd=project, env=env)
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")


if __name__ == "__main__":
    unittest.main()
