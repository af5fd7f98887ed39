"""The Kilnfile reference (docs/kilnfile.md) runs as written: every
example in it is built with the built kiln and must print exactly the
output the reference shows, and every keyword of the lexer is documented
and used by some example.

Example format, read from the fenced blocks of the reference:

- A block tagged `kiln` is the top-level Kilnfile of a new example. When
  its first line is not `@toplevel`, the block is the body of one: the
  `@toplevel` line is put before it and a phony rule without recipe
  after it, so that a file that only computes and prints has a rule.
- A block with `file=PATH` in its tag (`kiln file=lib/Kilnfile`,
  `json file=cfg.json`, ...) is written verbatim to PATH.
- A block tagged `output` runs kiln in the example's directory and holds
  the expected standard output; an immediately following `stderr` block
  holds the expected standard error (not compared without one). Tag
  words: `args="..."` (arguments after `-f Kilnfile`), `status=N`
  (default 0), `tool=klnt` with `cwd=DIR` (run a short name from a
  directory, with `-u`, since the scratch tree lies below the
  world-writable /tmp), `touch=FILE` (make FILE newer first). Several
  output blocks run one after another in the same directory.

Runs use TZ=UTC and no MAKEFLAGS or KILNPID; the scratch directory's path
prints as /home/me/proj."""

import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

from kilntest import KILN, tool

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
REFERENCE = os.path.join(ROOT, "docs", "kilnfile.md")
SHOWN_TOP = "/home/me/proj"
END_RULE = '@phonyrule: "doc-example-end":\n'


class Block:
    def __init__(self, line, info, body):
        self.line = line
        words = shlex.split(info)
        self.kind = words[0] if words else ""
        self.attrs = dict(w.split("=", 1) for w in words[1:] if "=" in w)
        self.body = body

    @property
    def is_input(self):
        return self.kind == "kiln" or "file" in self.attrs

    @property
    def is_result(self):
        return self.kind in ("output", "stderr")


def fenced_blocks(text):
    """Every fenced block of the markdown text: (line, info string, body)."""
    blocks, lines, i = [], text.split("\n"), 0
    while i < len(lines):
        if lines[i].startswith("```"):
            start, info, body = i + 1, lines[i][3:].strip(), []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            blocks.append(Block(start, info, "\n".join(body) + "\n" if body else ""))
        i += 1
    return blocks


def examples(text):
    """Groups the blocks into examples: input blocks, then result blocks."""
    found, current = [], None
    for b in fenced_blocks(text):
        if b.is_input:
            if current is None or current["runs"]:
                current = {"line": b.line, "inputs": [], "runs": []}
                found.append(current)
            current["inputs"].append(b)
        elif b.is_result:
            if current is None or not current["inputs"]:
                raise ValueError(f"line {b.line}: result block without an example")
            if b.kind == "stderr":
                if not current["runs"] or current["runs"][-1][1] is not None:
                    raise ValueError(f"line {b.line}: stderr block without its output block")
                current["runs"][-1][1] = b
            else:
                current["runs"].append([b, None])
    return found


def main_kilnfile(body):
    first = next((l for l in body.split("\n") if l.strip()), "")
    if first.startswith("@toplevel"):
        return body
    return "@toplevel\n" + body + END_RULE


def touch_newest(top, name):
    """Sets the file's time to now, by the clock that stamps new files, once
    that is later than every other file of the example: a time in the
    future would make the next targets look older than their sources."""
    newest = max(os.stat(os.path.join(root, f)).st_mtime_ns
                 for root, _, files in os.walk(top) for f in files)
    path = os.path.join(top, name)
    for _ in range(200):
        os.utime(path)
        if os.stat(path).st_mtime_ns > newest:
            return
        time.sleep(0.01)
    raise AssertionError(f"the clock does not pass {newest}")


def keyword_table():
    """The keyword spellings of the lexer: the X-macro of tokens.h plus the
    extra spellings of tokens.cc's table (@le8)."""
    with open(os.path.join(ROOT, "src", "front", "tokens.h")) as f:
        words = re.findall(r'X\(kw_\w+, "(@[^"]+)"\)', f.read())
    with open(os.path.join(ROOT, "src", "front", "tokens.cc")) as f:
        words += re.findall(r'keyword_entry\{"(@[^"]+)"', f.read())
    return words


class ReferenceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(REFERENCE) as f:
            cls.text = f.read()
        cls.examples = examples(cls.text)

    def run_example(self, example):
        work = tempfile.mkdtemp(prefix="kiln-ref-")
        self.addCleanup(shutil.rmtree, work, True)
        os.chmod(work, 0o755)
        top = os.path.join(work, "proj")
        os.makedirs(top)
        real_top = os.path.realpath(top)
        for b in example["inputs"]:
            name = b.attrs.get("file", "Kilnfile")
            path = os.path.join(top, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(b.body if "file" in b.attrs else main_kilnfile(b.body))
        env = dict(os.environ, TZ="UTC", LC_ALL="C")
        env.pop("MAKEFLAGS", None)
        env.pop("KILNPID", None)
        for out, err in example["runs"]:
            where = f"{REFERENCE}:{out.line}"
            if "touch" in out.attrs:
                touch_newest(top, out.attrs["touch"])
            args = shlex.split(out.attrs.get("args", ""))
            name = out.attrs.get("tool", "kiln")
            if name == "kiln":
                argv = [KILN, "-f", "Kilnfile", *args]
            else:
                argv = [tool(name), "-u", *args]
            r = subprocess.run(argv, cwd=os.path.join(top, out.attrs.get("cwd", ".")), env=env,
                               capture_output=True, text=True, timeout=30)
            stdout = r.stdout.replace(real_top, SHOWN_TOP)
            stderr = r.stderr.replace(real_top, SHOWN_TOP)
            self.assertEqual(stdout, out.body, f"{where}: standard output\nstderr:\n{stderr}")
            if err is not None:
                self.assertEqual(stderr, err.body, f"{where}: standard error")
            self.assertEqual(r.returncode, int(out.attrs.get("status", "0")),
                             f"{where}: exit status\nstderr:\n{stderr}")

    def test_every_example_prints_what_the_reference_shows(self):
        self.assertGreater(len(self.examples), 50)
        for example in self.examples:
            with self.subTest(line=example["line"]):
                self.assertTrue(example["runs"],
                                f"{REFERENCE}:{example['line']}: example without output block")
                self.run_example(example)

    def test_every_keyword_is_described_and_used_in_an_example(self):
        sources = "".join(b.body for e in self.examples for b in e["inputs"])
        for word in keyword_table() + ["@strict"]:
            with self.subTest(keyword=word):
                self.assertIn(f"`{word}`", self.text, "not described")
                self.assertRegex(sources, re.escape(word) + r"(?![A-Za-z0-9])", "in no example")


if __name__ == "__main__":
    unittest.main()
