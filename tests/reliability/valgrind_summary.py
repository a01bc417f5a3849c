"""Judges a memcheck log of an interpreter that ran galtro_core and galtro._state_reader.

    python tests/reliability/valgrind_summary.py LOG

The interpreter brings its own reports (uninitialised reads in its start-up, blocks it
keeps until exit), so the log is judged by the records whose stack passes through the
modules (a frame naming galtro or either module's file). Fails on:

* any invalid read, write or free, anywhere: there are none in the interpreter with
  PYTHONMALLOC=malloc, so one is the module's until shown otherwise;
* any other error record whose stack passes through the module;
* any definitely lost block allocated through the module.

Prints the numbers either way.
"""

import re
import sys

ERROR = re.compile(r"^(Invalid (read|write|free)|Mismatched free|Conditional jump|Use of "
                   r"uninitialised|Syscall param|Source and destination overlap|"
                   r"Argument '.*' of function)")
INVALID = re.compile(r"^(Invalid (read|write|free)|Mismatched free)")
LOST = re.compile(r"^([\d,]+) (\([\d,]+ direct, [\d,]+ indirect\) )?bytes in ([\d,]+) blocks are "
                  r"definitely lost")
MODULE = re.compile(r"galtro")


def records(lines):
    """Blocks of a memcheck log, each a list of lines without the ==pid== prefix."""
    block = []
    for line in lines:
        text = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
        if text.strip():
            block.append(text)
        elif block:
            yield block
            block = []
    if block:
        yield block


def main(path):
    with open(path, encoding="utf-8", errors="replace") as log:
        blocks = list(records(log))
    errors = [b for b in blocks if ERROR.match(b[0])]
    lost = [b for b in blocks if LOST.match(b[0])]
    invalid = [b for b in errors if INVALID.match(b[0])]
    module_errors = [b for b in errors if any(MODULE.search(line) for line in b[1:])]
    module_lost = [b for b in lost if any(MODULE.search(line) for line in b[1:])]
    lost_bytes = sum(int(LOST.match(b[0]).group(1).replace(",", "")) for b in lost)
    summary = next((line for b in blocks for line in b if line.startswith("ERROR SUMMARY")), "")
    print(f"valgrind memcheck: {len(errors)} error contexts ({len(invalid)} invalid accesses, "
          f"{len(module_errors)} through galtro_core); definitely lost: {lost_bytes} bytes in "
          f"{len(lost)} records ({len(module_lost)} through galtro_core); {summary}")
    bad = invalid + [b for b in module_errors if b not in invalid] + module_lost
    for block in bad:
        print("\n".join(block[:24]), end="\n\n")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
