#!/usr/bin/env python3
"""Every block the documents show is run or used by a test.

Fails on a fenced block of README.md or doc/*.md that has neither a name
nor the output mark, on a name given twice, on a named block that no test
reads (through doc_block("NAME") or `doc_blocks.py NAME`), and on a README
longer than a first screen and a map should be.

usage: blocks_test.py <source dir>
"""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testing"))
import doc_blocks  # noqa: E402

README_MOST_LINES = 250
# Where tests and the scripts that run documented commands live.
TEST_DIRS = ("base", "cmake", "doc", "examples", "line", "printer", "protocol", "receipt",
             "scripts", "service", "testing")
TEST_EXTENSIONS = (".py", ".cc", ".sh", ".cmake", ".txt", "")


def readers(root):
    """The names of blocks some test or script reads."""
    used = set()
    call = re.compile(r"""doc_block\(\s*["']([A-Za-z0-9_.-]+)["']|doc_blocks\.py"?\s+([A-Za-z0-9_.-]+)""")
    for top in TEST_DIRS:
        for folder, _, files in os.walk(os.path.join(root, top)):
            for name in files:
                if os.path.splitext(name)[1] not in TEST_EXTENSIONS or name == "doc_blocks.py":
                    continue
                try:
                    with open(os.path.join(folder, name), encoding="utf-8") as f:
                        text = f.read()
                except (UnicodeDecodeError, OSError):
                    continue
                for m in call.finditer(text):
                    used.add(m.group(1) or m.group(2))
    return used


def main(root):
    faults = []
    seen = {}
    for b in doc_blocks.all_blocks(root):
        if b.name is None:
            faults.append(f"{b.where()}: a block with neither <!-- block: NAME --> nor "
                          "<!-- output --> on the line before it")
        elif b.name:
            if b.name in seen:
                faults.append(f"{b.where()}: the name {b.name!r} is taken by {seen[b.name]}")
            seen[b.name] = b.where()
    used = readers(root)
    for name, where in sorted(seen.items()):
        if name not in used:
            faults.append(f"{where}: no test reads the block {name!r} "
                          f"(doc_block(\"{name}\") or doc_blocks.py {name})")
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        count = f.read().count("\n")
    if count > README_MOST_LINES:
        faults.append(f"README.md: {count} lines; at most {README_MOST_LINES} "
                      "(it is the first screen and the map: details go to doc/)")
    for fault in faults:
        print(fault)
    print(f"{len(seen)} named blocks, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else doc_blocks.ROOT))
