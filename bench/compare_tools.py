#!/usr/bin/env python3
"""Times kiln against GNU make and ninja on synthetic trees of gen_tree.py.

    compare_tools.py [--kiln PATH] [--workdir DIR] [--cc CC] [--keep]
                     [--runs N] [SIZE ...]

SIZE is a number of objects (split into directories of 100 sources, or one
directory when smaller) or DIRSxSOURCES; the default sizes are 1000 and
10000.  For every size each tool gets a fresh tree of its own and is timed
on
  full   the first build of the tree,
  noop   a build with nothing to do (best of --runs),
  incr   a build after one source was touched (best of --runs; the same
         source, touched again before each run).
Two tables are printed: wall time, and CPU time (user + system of the tool
and of the commands it ran), which a busy machine disturbs less.
The tools run as `kiln -f Kilnfile -j2 -s`, `make -j2 -s` and `ninja -j2`
in the tree's top directory with their output discarded.  kiln is found
through --kiln, else $KILN, else /work/main/build/kiln.

Before the table is printed the outputs of the three trees are compared
byte for byte, and a no-op run that rewrote top.out or an incremental run
that did not is reported; either ends the program with status 1.
"""

import argparse
import filecmp
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GEN = os.path.join(HERE, "gen_tree.py")
TOOLS = ("kiln", "make", "ninja")
PHASES = ("full", "noop", "incr")


def parse_size(text):
    if "x" in text:
        d, s = text.split("x", 1)
        dirs, sources = int(d), int(s)
    else:
        n = int(text)
        if n <= 100:
            dirs, sources = 1, n
        else:
            if n % 100:
                raise ValueError("%d is not a multiple of 100" % n)
            dirs, sources = n // 100, 100
    if dirs < 1 or sources < 1:
        raise ValueError("empty tree")
    return dirs, sources


def child_env():
    env = dict(os.environ)
    # Keep the tools from joining a jobserver or inheriting flags of a
    # build that happens to run this script.
    for name in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "MAKEFILES", "KILNPID",
                 "GNUMAKEFLAGS"):
        env.pop(name, None)
    return env


def command(tool, kiln):
    if tool == "kiln":
        return [kiln, "-f", "Kilnfile", "-j2", "-s"]
    if tool == "make":
        return ["make", "-j2", "-s"]
    return ["ninja", "-j2"]


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


class timing:
    """Wall time and the CPU time (user + system) of the tool and of every
    command it ran."""

    def __init__(self, wall, cpu):
        self.wall = wall
        self.cpu = cpu


def best(timings):
    return timing(min(t.wall for t in timings), min(t.cpu for t in timings))


def run_timed(cmd, cwd, env):
    cpu = children_cpu()
    start = time.perf_counter()
    proc = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    cpu = children_cpu() - cpu
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr.decode(errors="replace"))
        raise RuntimeError("%s failed with status %d in %s"
                           % (" ".join(cmd), proc.returncode, cwd))
    return timing(elapsed, cpu)


def mtime_ns(path):
    return os.stat(path).st_mtime_ns


def bench_tool(tool, tree, kiln, runs, env, problems):
    cmd = command(tool, kiln)
    top = os.path.join(tree, "top.out")
    result = {"full": run_timed(cmd, tree, env)}

    before = mtime_ns(top)
    result["noop"] = best([run_timed(cmd, tree, env) for _ in range(runs)])
    if mtime_ns(top) != before:
        problems.append("%s: no-op build rewrote top.out in %s" % (tool, tree))

    src = os.path.join(tree, "d0000", "s0000.c")
    incr = []
    for _ in range(runs):
        before = mtime_ns(top)
        os.utime(src)
        incr.append(run_timed(cmd, tree, env))
        if mtime_ns(top) == before:
            problems.append("%s: incremental build left top.out alone in %s"
                            % (tool, tree))
    result["incr"] = best(incr)
    return result


def outputs(dirs, sources):
    names = ["top.out"]
    for d in range(dirs):
        names.append("d%04d/lib.a" % d)
        names += ["d%04d/s%04d.o" % (d, s) for s in range(sources)]
    return names


def compare_outputs(trees, dirs, sources, problems):
    first = trees["kiln"]
    for tool in ("make", "ninja"):
        other = trees[tool]
        for name in outputs(dirs, sources):
            if not filecmp.cmp(os.path.join(first, name),
                               os.path.join(other, name), shallow=False):
                problems.append("%s differs between kiln and %s"
                                % (name, tool))
                break


def fmt_time(t):
    return "%.3f" % t


def fmt_ratio(a, b):
    return "%.2f" % (a / b) if b > 0 else "-"


def print_table(rows, what):
    head = ("objects", "tree", "phase", "kiln s", "make s", "ninja s",
            "kiln/make", "kiln/ninja")
    lines = [head]
    for objects, shape, phase, r in rows:
        k, m, n = (getattr(r[t], what) for t in TOOLS)
        lines.append((str(objects), shape, phase, fmt_time(k), fmt_time(m),
                      fmt_time(n), fmt_ratio(k, m), fmt_ratio(k, n)))
    widths = [max(len(line[i]) for line in lines) for i in range(len(head))]
    for n, line in enumerate(lines):
        cells = [line[i].ljust(widths[i]) if i < 3 else
                 line[i].rjust(widths[i]) for i in range(len(line))]
        print("  ".join(cells).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


def main():
    ap = argparse.ArgumentParser(
        description="Compare kiln with make and ninja on generated trees.")
    ap.add_argument("sizes", nargs="*", default=["1000", "10000"],
                    help="objects (N, in directories of 100) or DIRSxSOURCES")
    ap.add_argument("--kiln", default=os.environ.get(
        "KILN", "/work/main/build/kiln"), help="kiln binary")
    ap.add_argument("--workdir", default="",
                    help="where the trees go (default: a fresh temporary "
                         "directory)")
    ap.add_argument("--cc", default="",
                    help="compile with CC -c instead of copying sources")
    ap.add_argument("--runs", type=int, default=3,
                    help="runs of which the best no-op and incremental "
                         "times are taken")
    ap.add_argument("--keep", action="store_true",
                    help="keep the trees after the run")
    args = ap.parse_args()

    try:
        sizes = [parse_size(s) for s in args.sizes]
    except ValueError as e:
        ap.error("bad size: %s" % e)
    kiln = os.path.abspath(args.kiln)
    if not os.access(kiln, os.X_OK):
        ap.error("kiln not found at %s (use --kiln or KILN)" % kiln)
    for tool in ("make", "ninja"):
        if shutil.which(tool) is None:
            ap.error("%s not found on PATH" % tool)
    if args.runs < 1:
        ap.error("--runs must be positive")

    if args.workdir:
        os.makedirs(args.workdir, exist_ok=True)
        work = tempfile.mkdtemp(prefix="kiln-compare-", dir=args.workdir)
    else:
        work = tempfile.mkdtemp(prefix="kiln-compare-")
    env = child_env()
    problems = []
    rows = []
    try:
        for dirs, sources in sizes:
            objects = dirs * sources
            shape = "%dx%d" % (dirs, sources)
            trees = {}
            times = {}
            for tool in TOOLS:
                tree = os.path.join(work, "%s-%s" % (shape, tool))
                gen = [sys.executable, GEN, tree, "--dirs", str(dirs),
                       "--sources", str(sources)]
                if args.cc:
                    gen += ["--cc", args.cc]
                subprocess.run(gen, check=True)
                trees[tool] = tree
                print("%s: %s ..." % (shape, tool), file=sys.stderr,
                      flush=True)
                times[tool] = bench_tool(tool, tree, kiln, args.runs, env,
                                         problems)
            compare_outputs(trees, dirs, sources, problems)
            for phase in PHASES:
                rows.append((objects, shape, phase,
                             {t: times[t][phase] for t in TOOLS}))
    finally:
        if args.keep:
            print("trees kept in %s" % work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)

    print("kiln: %s; -j2; full: one run; noop, incr: best of %d"
          % (kiln, args.runs))
    print("\nWall time:")
    print_table(rows, "wall")
    print("\nCPU time (user + system, the tool and its commands):")
    print_table(rows, "cpu")
    for p in problems:
        print("PROBLEM: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
