#!/usr/bin/env python3
"""The commands and files the documents show, read from the documents.

Written here only: how a test finds a block of README.md or doc/*.md. Every
fenced block in those documents is named by an HTML comment on the line
before it (blank lines between are allowed), which renders as nothing:

    <!-- block: post-receipt -->
    ```sh
    curl ...
    ```

or marked as something the reader sees but does not run:

    <!-- output -->

A test runs a named block as the document shows it: in Python
`doc_block("post-receipt")`, from a shell script
`python3 testing/doc_blocks.py post-receipt`. Names are unique across all
the documents. Docs.EveryBlockIsTested (doc/blocks_test.py) fails on a
block without a name or mark, and on a named block no test reads.

usage: doc_blocks.py NAME       print the block NAME
       doc_blocks.py --list     print every block: file, line, name
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FENCE = re.compile(r"^(```+|~~~+)")
NAME = re.compile(r"^<!--\s*block:\s*([A-Za-z0-9_.-]+)\s*-->\s*$")
OUTPUT = re.compile(r"^<!--\s*output\s*-->\s*$")


def documents(root=ROOT):
    """README.md and every Markdown file under doc/."""
    found = [os.path.join(root, "README.md")]
    doc = os.path.join(root, "doc")
    for name in sorted(os.listdir(doc)):
        if name.endswith(".md"):
            found.append(os.path.join(doc, name))
    return found


class Block:
    def __init__(self, path, line, name, text):
        self.path, self.line, self.name, self.text = path, line, name, text

    def where(self):
        return f"{os.path.relpath(self.path, ROOT)}:{self.line}"


def blocks(path):
    """Every fenced block of one document. name is None when the block has
    neither a name nor the output mark, "" when it is output."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found, label, i = [], None, 0
    while i < len(lines):
        line = lines[i]
        fence = FENCE.match(line)
        if fence:
            start, body = i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith(fence.group(1)):
                body.append(lines[i])
                i += 1
            if i == len(lines):
                raise ValueError(f"{path}:{start}: a block that never ends")
            found.append(Block(path, start, label, "\n".join(body) + "\n"))
            label = None
        elif NAME.match(line):
            label = NAME.match(line).group(1)
        elif OUTPUT.match(line):
            label = ""
        elif line.strip():
            label = None
        i += 1
    return found


def all_blocks(root=ROOT):
    result = []
    for path in documents(root):
        result.extend(blocks(path))
    return result


def doc_block(name, root=ROOT):
    """The text of the block called name, exactly as the document shows it."""
    matches = [b for b in all_blocks(root) if b.name == name]
    if len(matches) != 1:
        raise KeyError(f"block {name!r}: {len(matches)} blocks have this name in "
                       "README.md and doc/*.md; see doc_blocks.py --list")
    return matches[0].text


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        for b in all_blocks():
            print(f"{b.where()}\t{b.name if b.name is not None else '(unnamed)'}")
        return 0
    if len(argv) != 2 or argv[1].startswith("-"):
        print("usage: doc_blocks.py NAME | --list", file=sys.stderr)
        return 2
    try:
        sys.stdout.write(doc_block(argv[1]))
    except KeyError as e:
        print(f"doc_blocks.py: {e.args[0]}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
