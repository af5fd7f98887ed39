"""Checks of the manual page docs/kiln.1.

  check_manpage.py lint           groff -man -ww -z finds nothing to warn
                                  about (exit 77, a skip, without groff)
  check_manpage.py options KILN   every option of KILN's usage text has an
                                  entry in the page's OPTIONS section, and
                                  every -O mode letter is described
"""

import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PAGE = os.path.join(ROOT, "docs", "kiln.1")
SKIP = 77


def lint():
    groff = shutil.which("groff")
    if groff is None:
        print("groff is not installed (Debian package groff-base); the manual page is not checked")
        return SKIP
    r = subprocess.run([groff, "-man", "-ww", "-z", PAGE], capture_output=True, text=True)
    if r.returncode != 0 or r.stderr or r.stdout:
        print(f"groff -man -ww -z {PAGE}: status {r.returncode}\n{r.stdout}{r.stderr}")
        return 1
    return 0


def usage_text(kiln):
    """The usage as kiln prints it for -h and for --help (which may list
    one line per option)."""
    text = ""
    for flag in ("-h", "--help"):
        r = subprocess.run([kiln, flag], capture_output=True, text=True, timeout=30)
        text += r.stdout + r.stderr
    return text


def usage_options(text):
    """Short option letters, long option names and -O mode letters of a usage."""
    letters, longs, modes = set(), set(), set()
    for line in text.splitlines():
        for cluster in re.findall(r"\[-([A-Za-z]{2,})\]", line):
            letters.update(cluster)
        letters.update(re.findall(r"(?<![\w-])-([A-Za-z])\b", line))
        longs.update(re.findall(r"(?<![\w-])--([a-z][a-z-]*)", line))
        for spec in re.findall(r"-O \[?([a-z](?:\|[a-z])+)", line):
            modes.update(spec.split("|"))
    return letters, longs, modes


def options_section(page):
    start = page.index("\n.SH OPTIONS")
    end = page.index("\n.SH ", start + 1)
    return page[start:end]


def check_options(kiln):
    letters, longs, modes = usage_options(usage_text(kiln))
    if not letters:
        print("no options found in the usage text")
        return 1
    with open(PAGE) as f:
        section = options_section(f.read())
    # The tag line of each entry: ".TP" then ".B \-x" or ".BI \-x " arg".
    tags = re.findall(r"^\.TP\n\.B[IR]? ([^\n]*)", section, re.M)
    described_letters = {m for t in tags for m in re.findall(r"^\\-([A-Za-z])(?![A-Za-z])", t)}
    described_longs = {m for t in tags for m in re.findall(r"^\\-\\-([a-z-]+)", t)}
    missing = sorted("-" + l for l in letters - described_letters)
    missing += sorted("--" + l for l in longs - described_longs)
    sync = re.search(r"^\.BI \\-O [^\n]*\n(.*?)(?=^\.TP)", section, re.M | re.S)
    sync_text = sync.group(1) if sync else ""
    missing += sorted(f"-O {m}" for m in modes if not re.search(rf"^\.B {m}$", sync_text, re.M))
    if missing:
        print("options of the usage without an entry in docs/kiln.1: " + ", ".join(missing))
        return 1
    print(f"{len(letters)} options, {len(longs)} long options, {len(modes)} output sync modes described")
    return 0


def main(argv):
    if len(argv) == 2 and argv[1] == "lint":
        return lint()
    if len(argv) == 3 and argv[1] == "options":
        return check_options(argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
