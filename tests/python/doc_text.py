"""The project's documentation as the tests read it: README.md, CONTRIBUTING.md and every
docs/*.md, their fenced blocks, their sections by heading, and their anchors as GitHub
makes them; and a PATH on which the shell blocks find `galtro`."""

import os
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DOC_FILES = ["README.md", "CONTRIBUTING.md"] + sorted(
    str(path.relative_to(ROOT)) for path in (ROOT / "docs").glob("*.md"))


def read(name):
    return (ROOT / name).read_text(encoding="utf-8")


def prose_lines(text):
    """(line number, line) of every line outside fenced blocks."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced:
            yield number, line


def fenced_blocks(text, language):
    """(first line number, code) of every ``` block in the given language."""
    blocks, current, start = [], None, 0
    for number, line in enumerate(text.splitlines(), 1):
        if current is None and line.strip() == f"```{language}":
            current, start = [], number + 1
        elif current is not None and line.strip() == "```":
            blocks.append((start, "\n".join(current) + "\n"))
            current = None
        elif current is not None:
            current.append(line)
    assert current is None, f"unclosed ```{language} block from line {start}"
    return blocks


def section(name, title):
    """The text of file ``name`` under the heading ``title`` (any level), up to the next
    heading of the same level or above."""
    lines = read(name).splitlines(keepends=True)
    start = level = None
    for number, line in prose_lines(read(name)):
        match = re.match(r"^(#+) (.+)$", line)
        if match and start is None and match.group(2) == title:
            start, level = number, len(match.group(1))
        elif match and start is not None and len(match.group(1)) <= level:
            return "".join(lines[start:number - 1])
    assert start is not None, f"no section '{title}' in {name}"
    return "".join(lines[start:])


def section_blocks(name, title, language):
    """The code of every ``` block in the given language under a heading of a file."""
    return [code for _, code in fenced_blocks(section(name, title), language)]


def github_anchor(heading):
    """The anchor GitHub gives a heading: lower case, punctuation dropped, spaces to
    hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(name):
    """Every anchor of a file's headings; a repeated heading gets -1, -2... as on GitHub."""
    seen = {}
    for _, line in prose_lines(read(name)):
        match = re.match(r"^#+ (.+)$", line)
        if match:
            anchor = github_anchor(match.group(1))
            count = seen.get(anchor, 0)
            seen[anchor] = count + 1
            if count:
                seen.setdefault(f"{anchor}-{count}", 1)
    return set(seen)


def path_with_galtro(folder):
    """PATH with a `galtro` command first that runs this interpreter's galtro, from
    ``folder``/bin."""
    bin_dir = folder / "bin"
    bin_dir.mkdir(exist_ok=True)
    shim = bin_dir / "galtro"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m galtro "$@"\n')
    shim.chmod(0o755)
    return f"{bin_dir}{os.pathsep}{os.environ['PATH']}"
