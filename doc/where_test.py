#!/usr/bin/env python3
"""doc/where.md stays true and whole.

True: every path it names (in backticks, with a folder) exists.
Whole: every source file whose opening comment says a rule is written or
decided there only is named in it.

usage: where_test.py <source dir>
"""

import os
import re
import sys

# A path in backticks: a folder, a name, a known extension or a trailing
# slash ("examples/broker/").
PATH = re.compile(r"`([A-Za-z0-9_.-]+(?:/[A-Za-z0-9_.-]+)+/?)`")
# What an opening comment says of the one home of a rule.
ONE_HOME = re.compile(r"(written|decided|set|kept) here only|in one place", re.I)
SOURCE_DIRS = ("base", "protocol", "line", "receipt", "printer", "service", "testing")
OPENING_LINES = 12


def named_paths(text):
    return {m.group(1) for m in PATH.finditer(text)}


def one_homes(root):
    homes = []
    for top in SOURCE_DIRS:
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = [d for d in dirs if d != "node_modules"]
            for name in files:
                if not name.endswith((".h", ".cc", ".py")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as f:
                    lines = [f.readline() for _ in range(OPENING_LINES)]
                # The comment's words, its markers and line ends left out.
                opening = " ".join(l.strip().lstrip("/#*").strip() for l in lines)
                if ONE_HOME.search(opening):
                    homes.append(os.path.relpath(path, root).replace(os.sep, "/"))
    return sorted(homes)


def main():
    root = sys.argv[1]
    with open(os.path.join(root, "doc", "where.md"), encoding="utf-8") as f:
        text = f.read()
    faults = []
    named = named_paths(text)
    for path in sorted(named):
        if not os.path.exists(os.path.join(root, path)):
            faults.append(f"doc/where.md names {path}, which does not exist")
    for home in one_homes(root):
        # A .cc stands for its header and the other way round.
        stem = re.sub(r"(-posix|-win32)?\.(h|cc)$", "", home)
        if not any(p == home or re.sub(r"(-posix|-win32)?\.(h|cc)$", "", p) == stem
                   for p in named):
            faults.append(f"{home} says it is the one home of a rule, "
                          "but doc/where.md does not name it")
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} fault(s): make doc/where.md name each file as it is now")
        return 1
    print(f"doc/where.md: {len(named)} paths, all there; every one home named")
    return 0


if __name__ == "__main__":
    sys.exit(main())
