"""The editor grammars in contrib/ know every keyword of the lexer.

The keyword table is the X-macro of src/front/tokens.h plus the extra
spellings of src/front/tokens.cc (`@le8`), and `@strict`, which the lexer
handles itself. The vim syntax must list each one in a `syn keyword`
line; the TextMate grammar must have a pattern that matches each one as a
whole word, and none that matches it as the start of a longer word. The
VS Code package must declare the language for files named Kilnfile with
that grammar."""

import json
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
VIM = os.path.join(ROOT, "contrib", "vim", "syntax", "kilnfile.vim")
VSCODE = os.path.join(ROOT, "contrib", "vscode")


def keyword_table():
    with open(os.path.join(ROOT, "src", "front", "tokens.h")) as f:
        words = re.findall(r'X\(kw_\w+, "(@[^"]+)"\)', f.read())
    with open(os.path.join(ROOT, "src", "front", "tokens.cc")) as f:
        words += re.findall(r'keyword_entry\{"(@[^"]+)"', f.read())
    return words + ["@strict"]


def vim_keywords():
    words = set()
    with open(VIM) as f:
        for line in f:
            m = re.match(r"\s*syn(?:tax)?\s+keyword\s+\w+\s+(.*)", line)
            if m:
                words.update(w for w in m.group(1).split() if not w.startswith(("contained", "nextgroup")))
    return words


def textmate_patterns(node):
    """Every match and begin regex of the grammar."""
    if isinstance(node, dict):
        for key in ("match", "begin"):
            if isinstance(node.get(key), str):
                yield re.compile(node[key])
        for value in node.values():
            yield from textmate_patterns(value)
    elif isinstance(node, list):
        for value in node:
            yield from textmate_patterns(value)


def highlights_exactly(patterns, word):
    text = f"x {word}(1)"
    start = 2
    for p in patterns:
        for m in p.finditer(text):
            if m.start() == start and m.end() == start + len(word):
                return True
    return False


def main():
    keywords = keyword_table()
    if len(keywords) < 200:
        print(f"only {len(keywords)} keywords found in tokens.h and tokens.cc")
        return 1
    problems = []
    vim = vim_keywords()
    problems += [f"vim syntax lacks {w}" for w in keywords if w not in vim]
    with open(os.path.join(VSCODE, "kilnfile.tmLanguage.json")) as f:
        grammar = json.load(f)
    patterns = list(textmate_patterns(grammar["repository"]["keywords"]))
    for w in keywords:
        if not highlights_exactly(patterns, w):
            problems.append(f"TextMate grammar lacks {w}")
        if w[-1].isalnum() and highlights_exactly(patterns, w + "x"):
            problems.append(f"TextMate grammar highlights {w}x as a keyword")
    with open(os.path.join(VSCODE, "package.json")) as f:
        package = json.load(f)
    languages = package["contributes"]["languages"]
    if not any("Kilnfile" in lang.get("filenames", []) for lang in languages):
        problems.append("package.json declares no language for files named Kilnfile")
    for g in package["contributes"]["grammars"]:
        if not os.path.exists(os.path.join(VSCODE, g["path"])):
            problems.append(f"package.json names a missing grammar {g['path']}")
    for p in problems:
        print(p)
    if not problems:
        print(f"{len(keywords)} keywords in both grammars")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
