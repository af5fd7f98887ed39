"""Folders of src/ include one way: only folders below themselves.

The order, bottom up, is the one list KILN_FOLDERS of the top
CMakeLists.txt. Every `#include "folder/..."` of src/*/*.h and src/*/*.cc
must name the file's own folder or one listed before it, and every folder
of src/ must be listed. The self-build's Kilnfile links the folders'
archives users first, so its $FOLDERS must be the same list reversed.

Prints one line per violation and exits 1; exits 0 when there is none."""

import glob
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/[^"]*"')


def folder_order():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        m = re.search(r"set\(KILN_FOLDERS\s+([^)]*)\)", f.read())
    return m.group(1).split() if m else []


def kilnfile_link_order():
    with open(os.path.join(ROOT, "Kilnfile")) as f:
        m = re.search(r"^\$FOLDERS\s*=\s*\[([^\]]*)\]", f.read(), re.M)
    return re.findall(r'"([^"]+)"', m.group(1)) if m else []


def violations(order):
    rank = {folder: i for i, folder in enumerate(order)}
    src = os.path.join(ROOT, "src")
    for folder in sorted(os.listdir(src)):
        if not os.path.isdir(os.path.join(src, folder)):
            continue
        if folder not in rank:
            yield f"src/{folder}: not in KILN_FOLDERS of CMakeLists.txt"
            continue
        files = glob.glob(os.path.join(src, folder, "*.h")) + glob.glob(os.path.join(src, folder, "*.cc"))
        for path in sorted(files):
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m or m.group(1) == folder:
                        continue
                    used = m.group(1)
                    where = f"{os.path.relpath(path, ROOT)}:{number}"
                    if used not in rank:
                        if os.path.isdir(os.path.join(src, used)):
                            yield f"{where}: includes {used}/, which is not in KILN_FOLDERS"
                    elif rank[used] > rank[folder]:
                        yield f"{where}: {folder} includes {used}/, a folder above it"


def main():
    order = folder_order()
    if not order:
        print("CMakeLists.txt: no KILN_FOLDERS list")
        return 1
    found = list(violations(order))
    link = kilnfile_link_order()
    if link != order[::-1]:
        found.append(f"Kilnfile: $FOLDERS {link} is not KILN_FOLDERS reversed {order[::-1]}")
    for v in found:
        print(v)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
