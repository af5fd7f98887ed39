"""Interrupting builds at random moments, SIGKILL included, never leaves a
half-written target that a later run takes as up to date, nor loses the
history of what was built before."""

import os
import random
import signal
import time
import unittest

from kilntest import ProjectTestCase, wait_until

N_GROUPS = 4
N_PER_GROUP = 8


def kilnfile():
    """Sources -> objects -> one archive per group -> one top target. Every
    recipe writes a partial file first and completes it a moment later."""
    lines = ['@toplevel', '@phonyrule: "all": "top"', '"top": ' + " ".join(
        f'"g{g}.lib"' for g in range(N_GROUPS)),
        '\tprintf partial > $@; sleep 0.02; cat $^ > $@']
    for g in range(N_GROUPS):
        objs = [f"g{g}o{i}.obj" for i in range(N_PER_GROUP)]
        lines.append(f'"g{g}.lib": ' + " ".join(f'"{o}"' for o in objs))
        lines.append('\tprintf partial > $@; sleep 0.02; cat $^ > $@')
        lines.append(f'@patrule: ([{", ".join(repr(o).replace(chr(39), chr(34)) for o in objs)}]):'
                     ' "%.obj": "%.src"')
        lines.append('\tprintf partial > $@; sleep 0.03; (cat $<; echo compiled) > $@')
    return "\n".join(lines) + "\n"


class InterruptStress(ProjectTestCase):
    def sources(self):
        return [f"g{g}o{i}.src" for g in range(N_GROUPS) for i in range(N_PER_GROUP)]

    def assert_complete(self):
        """Every output is what a clean build of the sources gives."""
        libs = []
        for g in range(N_GROUPS):
            objs = [self.read(f"g{g}o{i}.src") + "compiled\n" for i in range(N_PER_GROUP)]
            for i, text in enumerate(objs):
                self.assertEqual(self.read(f"g{g}o{i}.obj"), text)
            libs.append("".join(objs))
            self.assertEqual(self.read(f"g{g}.lib"), libs[-1])
        self.assertEqual(self.read("top"), "".join(libs))

    def test_a_hundred_random_interruptions(self):
        rng = random.Random(int(os.environ.get("KILN_STRESS_SEED", "20261209")))
        self.write("Kilnfile", kilnfile())
        generation = 0
        for src in self.sources():
            self.write(src, f"{src} {generation}\n")
        for round_ in range(100):
            # Change some sources so that the interrupted run has work.
            generation += 1
            for src in rng.sample(self.sources(), rng.randint(1, len(self.sources()))):
                self.write(src, f"{src} {generation}\n")
            run = self.start_kiln("-f", "Kilnfile", "-j2", "-s")
            time.sleep(rng.uniform(0.0, 0.4))
            sig = rng.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
            try:
                os.killpg(run.pid, sig)
            except ProcessLookupError:
                pass  # the build was already over
            status = run.finish()
            # Before its handlers are installed (during start-up) the
            # signal's default action ends kiln; SIGKILL always does.
            self.assertIn(status, (0, 2, -sig), f"round {round_}: {run.stderr}")
            if round_ > 0:
                self.assertGreater(os.path.getsize(self.path(".kiln.db")), 0,
                                   f"round {round_}: the database was lost")
            self.assertTrue(wait_until(lambda: not [p for p in _session(run.pid)], 5),
                            f"round {round_}: children outlived kiln")
            r = self.build("-j2", "-s")
            self.assertEqual(r.returncode, 0, f"round {round_}: {r.stderr}")
            self.assert_nothing_to_do("-j2")
            self.assert_complete()


def _session(sid):
    from kilntest import session_pids
    return session_pids(sid)


if __name__ == "__main__":
    unittest.main()
