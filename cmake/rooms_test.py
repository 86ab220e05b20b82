#!/usr/bin/env python3
"""The rooms of the code and the one direction of their includes.

Each library's link list (CMakeLists.txt) says what it may use. This check
reads the libraries as CMake built them (their sources and link lists,
written by the build into rooms.txt) and the sources' #include lines, and
fails when:
  - a library's file includes a header of a library it does not reach
    through its link list (the include points the wrong way);
  - a rule of the direction written at the top of CMakeLists.txt is broken
    by a link list itself (the journal reaching the API, say);
  - more than 16 C++ files sit at service/'s top.

usage: rooms_test.py <source dir> <rooms.txt>
"""

import os
import re
import sys

# What may never reach what: the direction of the rooms.
SERVICE = {"fiskal_api", "fiskal_broker", "fiskal_broker_rules", "fiskal_documents",
           "fiskal_http", "fiskal_intake", "fiskal_journal", "fiskal_options", "fiskal_os",
           "fiskal_printers", "fiskal_service_common", "fiskal_startup", "fiskal_fiskald"}
NEVER = [
    ("fiskal_http", SERVICE - {"fiskal_http"}, "http knows nothing of the service"),
    ("fiskal_journal", {"fiskal_api", "fiskal_http", "fiskal_broker", "fiskal_broker_rules",
                        "fiskal_printers", "fiskal_intake", "fiskal_documents"},
     "the journal knows no API, HTTP, broker or printers"),
    ("fiskal_startup", {"fiskal_api", "fiskal_http", "fiskal_broker", "fiskal_broker_rules",
                        "fiskal_printers", "fiskal_intake", "fiskal_documents", "fiskal_options"},
     "the start on the journal knows no more than the journal"),
    ("fiskal_printers", {"fiskal_api", "fiskal_http", "fiskal_broker", "fiskal_broker_rules",
                         "fiskal_intake"},
     "the printers know no API, HTTP or broker"),
    ("fiskal_broker", {"fiskal_http", "fiskal_api"}, "the broker knows no HTTP or API"),
    ("fiskal_broker_rules", {"fiskal_http", "fiskal_api"}, "the broker knows no HTTP or API"),
] + [(lower, SERVICE, "base, protocol, line, receipt and printer know no service")
     for lower in ("fiskal_base", "fiskal_protocol", "fiskal_line", "fiskal_receipt",
                   "fiskal_printer", "fiskal_slip")]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
TOP_LIMIT = 16


def read_rooms(path, root):
    """{target: (sources relative to root, direct link names)}"""
    rooms = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            target, sources, links = line.split("|")
            files = []
            for s in sources.split(";"):
                if not s:
                    continue
                rel = os.path.relpath(s, root) if os.path.isabs(s) else s
                if not rel.startswith(".."):
                    files.append(rel.replace(os.sep, "/"))
            rooms[target] = (files, [l for l in links.split(";") if l])
    return rooms


def closure(rooms, target):
    seen, todo = set(), [target]
    while todo:
        t = todo.pop()
        for link in rooms.get(t, ((), ()))[1]:
            if link not in seen:
                seen.add(link)
                if link in rooms:
                    todo.append(link)
    return seen


def stem(path):
    """service/os/system-posix.cc -> service/os/system"""
    base, _ = os.path.splitext(path)
    return re.sub(r"-(posix|win32)$", "", base)


def owners(rooms):
    """A header's library: the one whose source shares its stem, else the
    one library of its folder."""
    by_stem, by_dir = {}, {}
    for target, (files, _) in rooms.items():
        for f in files:
            by_stem.setdefault(stem(f), set()).add(target)
            by_dir.setdefault(os.path.dirname(f), set()).add(target)
    return by_stem, by_dir


def owner_of(header, by_stem, by_dir):
    if header.startswith("fiskal/"):
        return "fiskal_version"
    s = by_stem.get(stem(header))
    if s and len(s) == 1:
        return next(iter(s))
    d = by_dir.get(os.path.dirname(header))
    if d and len(d) == 1:
        return next(iter(d))
    return None


def main():
    root, rooms_file = sys.argv[1], sys.argv[2]
    rooms = read_rooms(rooms_file, root)
    by_stem, by_dir = owners(rooms)
    faults = []

    for target, forbidden, why in NEVER:
        if target not in rooms:
            continue
        bad = closure(rooms, target) & forbidden
        if bad:
            faults.append(f"{target} links {', '.join(sorted(bad))}: {why}")

    for target, (files, _) in sorted(rooms.items()):
        reach = closure(rooms, target) | {target}
        own = set(files)
        # The headers of the library's own sources, and the Windows twins
        # of its POSIX ones (the same room on the other system).
        for f in list(files):
            if "-posix." in f:
                own.add(f.replace("-posix.", "-win32."))
            for ext in (".h",):
                h = stem(f) + ext
                if os.path.exists(os.path.join(root, h)):
                    own.add(h)
        for f in sorted(own):
            path = os.path.join(root, f)
            if not os.path.exists(path) or not f.endswith((".cc", ".h")):
                continue
            with open(path, encoding="utf-8") as src:
                text = src.read()
            for header in INCLUDE.findall(text):
                if header.startswith(("gtest/", "testing/")) or header.endswith(".inc"):
                    continue
                o = owner_of(header, by_stem, by_dir)
                if o is None:
                    if not os.path.exists(os.path.join(root, header)) and header.startswith("fiskal/"):
                        continue
                    faults.append(f"{f}: includes {header}, which no library owns")
                elif o not in reach:
                    faults.append(f"{f} ({target}): includes {header} of {o}, "
                                  f"which {target}'s link list does not reach")

    top = sorted(n for n in os.listdir(os.path.join(root, "service"))
                 if n.endswith((".cc", ".h")))
    if len(top) > TOP_LIMIT:
        faults.append(f"service/ holds {len(top)} C++ files at its top, at most {TOP_LIMIT}: "
                      + " ".join(top))

    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} fault(s): move the include, or the code, to the room that may "
              "hold it (the direction is written at the top of CMakeLists.txt)")
        return 1
    print(f"{len(rooms)} libraries: every include follows the link lists")
    return 0


if __name__ == "__main__":
    sys.exit(main())
