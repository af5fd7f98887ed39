"""Stopping a build: SIGINT, SIGTERM and SIGHUP while commands run, the
fatal exit that waits for the children, deletes what the killed commands
left half written and still writes the database, and failing commands."""

import os
import signal
import time
import unittest

from kilntest import KilnTestCase, session_pids, wait_until

FATAL_TAIL = ("kiln: *** Waiting for child processes to die.\n"
              "kiln: *** No children left. Exiting.\n")

# Two slow rules that write their targets in steps and one quick rule c.
# The slow step is exec'd, so that the signal kiln forwards to its child
# reaches the sleeping process itself. $NAP is expanded by the shell, so the
# stored commands do not depend on it and a later run with NAP=0 only
# rebuilds what is out of date. Every command that runs leaves a line in
# ran.log.
STEPPED = ('@toplevel\n'
           '@phonyrule: "all": "c" "a" "b"\n'
           '"c":\n'
           '\techo c > $@; echo c >> ran.log\n'
           '"a": "c"\n'
           '\techo partial > $@; echo a >> ran.log\n'
           '\texec sleep $${NAP:-0}\n'
           '\techo done >> $@\n'
           '"b": "c"\n'
           '\techo partial > $@; echo b >> ran.log\n'
           '\texec sleep $${NAP:-0}\n'
           '\techo done >> $@\n')

# The same with each recipe in one shell line, as most recipes are written;
# the sleep is a grandchild of kiln here.
ONE_LINE = ('@toplevel\n'
            '@phonyrule: "all": "c" "a" "b"\n'
            '"c":\n'
            '\techo c > $@; echo c >> ran.log\n'
            '"a": "c"\n'
            '\techo partial > $@; echo a >> ran.log; sleep $${NAP:-0}; echo done >> $@\n'
            '"b": "c"\n'
            '\techo partial > $@; echo b >> ran.log; sleep $${NAP:-0}; echo done >> $@\n')


class InterruptTestCase(KilnTestCase):
    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def ran(self):
        """The commands run so far, by rule, and forgets them."""
        if not os.path.exists(self.path("ran.log")):
            return []
        lines = self.read("ran.log").split()
        os.unlink(self.path("ran.log"))
        return sorted(lines)

    def sleeping(self, run, count):
        """True when count sleep processes run in kiln's session."""
        names = []
        for pid in session_pids(run.pid):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    names.append(f.read().split(b"\0")[0])
            except OSError:
                pass
        return names.count(b"sleep") >= count

    def start_slow_build(self, *extra, env=None):
        """Starts kiln -j2 on all, with a and b sleeping once both have
        written their partial targets."""
        env = {"NAP": "30", **(env or {})}
        run = self.start_kiln("-f", "Kilnfile", "-j2", *extra, env=env)
        started = wait_until(lambda: self.sleeping(run, 2), timeout=10)
        if not started:
            run.kill_leftovers()
            run.finish()
            self.fail(f"the slow commands did not start: {run.stderr}")
        self.assertEqual(self.read("a"), "partial\n")
        self.assertEqual(self.read("b"), "partial\n")
        return run

    def stop(self, run, sig, group=False):
        """Sends sig to kiln (or to its whole process group) and waits for
        it; returns the seconds it took to exit."""
        began = time.monotonic()
        if group:
            os.killpg(run.pid, sig)
        else:
            os.kill(run.pid, sig)
        run.finish(timeout=15)
        return time.monotonic() - began

    def assert_stopped(self, run, took, sig_name):
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertLess(took, 10, "kiln waited for the slow commands to finish")
        self.assertEqual(run.stderr, f"kiln: *** Got {sig_name}. Exiting.\n" + FATAL_TAIL)
        # Nothing of the build is left running.
        self.assertTrue(wait_until(lambda: not session_pids(run.pid), timeout=5),
                        "children of kiln survived it")

    def assert_partial_targets_deleted(self):
        self.assertFalse(os.path.exists(self.path("a")))
        self.assertFalse(os.path.exists(self.path("b")))

    def assert_c_kept_for_next_run(self):
        """c, completed before the interrupt, is kept and is up to date for
        the next run, which builds only a and b."""
        self.assertEqual(self.read("c"), "c\n")
        self.assertTrue(os.path.exists(self.path(".kiln.db")))
        r = self.run_kiln("-f", "Kilnfile", "-j2", env={"NAP": "0"})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.ran(), ["a", "b"])
        self.assertEqual(self.read("a"), "partial\ndone\n")
        r = self.run_kiln("-f", "Kilnfile", env={"NAP": "0"})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")
        self.assertEqual(self.ran(), [])


class SignalTest(InterruptTestCase):
    def test_each_stop_signal_ends_the_build_in_order(self):
        for sig, name in ((signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM"),
                          (signal.SIGHUP, "SIGHUP")):
            with self.subTest(signal=name):
                for f in ("a", "b", "c", ".kiln.db"):
                    if os.path.exists(self.path(f)):
                        os.unlink(self.path(f))
                self.write("Kilnfile", STEPPED)
                run = self.start_slow_build()
                self.assertEqual(self.ran(), ["a", "b", "c"])
                took = self.stop(run, sig)
                self.assert_stopped(run, took, name)
                self.assert_partial_targets_deleted()
                self.assert_c_kept_for_next_run()

    def test_ctrl_c_reaches_the_whole_process_group(self):
        # As a terminal does it: kiln, the shells and their sleeps all get
        # SIGINT, and kiln forwards it to its children once more.
        self.write("Kilnfile", ONE_LINE)
        run = self.start_slow_build()
        self.ran()
        took = self.stop(run, signal.SIGINT, group=True)
        self.assert_stopped(run, took, "SIGINT")
        self.assert_partial_targets_deleted()
        self.assert_c_kept_for_next_run()

    def test_ignore_errors_keeps_the_partial_targets(self):
        self.write("Kilnfile", STEPPED)
        run = self.start_slow_build("-i")
        took = self.stop(run, signal.SIGINT)
        self.assert_stopped(run, took, "SIGINT")
        self.assertTrue(os.path.exists(self.path("a")) and os.path.exists(self.path("b")))
        self.assertEqual(self.read("a"), "partial\n")
        self.assertEqual(self.read("b"), "partial\n")

    def test_database_entries_of_earlier_runs_survive(self):
        # Loading the database empties the file, so the fatal exit must
        # write back what earlier runs recorded as well.
        self.write("Kilnfile", STEPPED + '"x":\n\techo x > $@; echo x >> ran.log\n')
        r = self.run_kiln("-f", "Kilnfile", "x")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.ran(), ["x"])
        run = self.start_slow_build()
        self.stop(run, signal.SIGTERM)
        self.assertEqual(run.returncode, 2)
        self.ran()
        r = self.run_kiln("-f", "Kilnfile", "x")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.ran(), [])
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")

    def test_sigkill_loses_no_history(self):
        # Nothing runs at a SIGKILL: the database on disk must be the last
        # complete one, so only what was running is built again.
        self.write("Kilnfile", STEPPED + '"x":\n\techo x > $@; echo x >> ran.log\n')
        for target in ("x", "all"):
            r = self.run_kiln("-f", "Kilnfile", target)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.ran(), ["a", "b", "c", "x"])
        os.unlink(self.path("a"))
        os.unlink(self.path("b"))
        run = self.start_slow_build()
        os.killpg(run.pid, signal.SIGKILL)
        self.assertEqual(run.finish(), -signal.SIGKILL)
        self.ran()
        self.assertGreater(os.path.getsize(self.path(".kiln.db")), 0)
        for target in ("all", "x"):
            r = self.run_kiln("-f", "Kilnfile", target)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.ran(), ["a", "b"])
        self.assertEqual(self.read("a"), "partial\ndone\n")
        r = self.run_kiln("-f", "Kilnfile", "all")
        self.assertEqual(r.stderr, "kiln: Nothing to be done.\n")

    def test_buffered_output_of_killed_commands_is_not_lost(self):
        self.write("Kilnfile", STEPPED.replace("echo partial > $@;", "echo partial > $@; echo said-$@;"))
        run = self.start_slow_build("-Ot")
        self.stop(run, signal.SIGINT)
        self.assertEqual(run.returncode, 2)
        self.assertIn("said-a\n", run.stdout)
        self.assertIn("said-b\n", run.stdout)

    def test_jobserver_fifo_is_removed(self):
        tmp = os.path.join(self.dir, "tmp")
        os.mkdir(tmp)
        self.write("Kilnfile", STEPPED)
        run = self.start_slow_build(env={"TMPDIR": tmp})
        self.stop(run, signal.SIGHUP)
        self.assertEqual(run.returncode, 2)
        self.assertEqual(os.listdir(tmp), [])


class FailureTest(InterruptTestCase):
    def test_failing_command_keeps_the_database(self):
        self.write("Kilnfile", ('@toplevel\n'
                                '@phonyrule: "all": "f"\n'
                                '"c":\n'
                                '\techo c > $@; echo c >> ran.log\n'
                                '"f": "c"\n'
                                '\techo partial > $@; echo f >> ran.log; exit 3\n'))
        for attempt in (1, 2):
            with self.subTest(attempt=attempt):
                r = self.run_kiln("-f", "Kilnfile")
                self.assertEqual(r.returncode, 2)
                # No child runs any more: only the failure and the fatal line.
                self.assertEqual(r.stderr, (
                    "kiln: recipe for target 'f' in directory '.' failed\n"
                    "kiln: failed command was: sh -c echo partial > f; echo f >> ran.log; exit 3\n"
                    "kiln: *** Error 3. Exiting.\n"))
                self.assertFalse(os.path.exists(self.path("f")))
                self.assertEqual(self.read("c"), "c\n")
                # c is built once; the second run only retries f.
                self.assertEqual(self.ran(), ["c", "f"] if attempt == 1 else ["f"])

    def test_failure_waits_for_the_other_running_commands(self):
        # f fails while s still runs: kiln waits for s, which ends well, so
        # its target stays.
        self.write("Kilnfile", ('@toplevel\n'
                                '@phonyrule: "all": "s" "f"\n'
                                '"s":\n'
                                '\techo partial > $@; sleep 1.5; echo done >> $@\n'
                                '"f":\n'
                                '\tsleep 0.3; echo partial > $@; false\n'))
        began = time.monotonic()
        r = self.run_kiln("-f", "Kilnfile", "-j2")
        self.assertGreaterEqual(time.monotonic() - began, 1.4)
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.stderr.endswith("kiln: *** Error 1. Exiting.\n" + FATAL_TAIL), r.stderr)
        self.assertFalse(os.path.exists(self.path("f")))
        self.assertEqual(self.read("s"), "partial\ndone\n")

    def test_killed_command_is_reported_as_signaled(self):
        self.write("Kilnfile", '@toplevel\n"k":\n\techo partial > $@; kill -9 $$$$\n')
        r = self.run_kiln("-f", "Kilnfile")
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.stderr.endswith("kiln: *** Error: signaled. Exiting.\n"), r.stderr)
        self.assertFalse(os.path.exists(self.path("k")))


if __name__ == "__main__":
    unittest.main()
