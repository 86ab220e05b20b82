#!/usr/bin/env python3
"""The one home of what clang-tidy has passed, so that scripts/tidy checks
only what changed since the last run that passed.

A source file needs checking unless a passed run checked it with the same
key. Its key is the SHA-256 of
  - the run's key (KEY_FILE: clang-tidy's and the compiler's versions,
    .clang-tidy, the versions of the packages whose headers the sources
    include; scripts/tidy writes it), so a change to any of them checks
    every file again;
  - the file's compile command from compile_commands.json (the flags), with
    the clone's and the build folder's paths made neutral, so every clone
    shares the record;
  - the path and bytes of the file and of every file of the clone or build
    folder it includes, however deeply (found by its #include lines along
    the command's -I folders, whatever #if around them, so too many rather
    than too few).

    tidy_record.py select RECORD ROOT BUILD KEY_FILE FILE...
        prints the FILEs that need checking, one per line
    tidy_record.py passed RECORD ROOT BUILD KEY_FILE FILE...
        records the FILEs as passed (after a run without findings)

RECORD is a JSON file (under $FISKAL_CACHE_DIR/tidy, scripts/cache-env);
keys not seen for 90 days are dropped. A RECORD that cannot be read counts
as empty: everything is checked.
"""

import hashlib
import json
import os
import re
import shlex
import sys
import time
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.M)
KEEP_SECONDS = 90 * 24 * 3600


def _commands(build):
    """file (resolved) -> its argument list."""
    out = {}
    for entry in json.loads((Path(build) / "compile_commands.json").read_text()):
        args = entry.get("arguments") or shlex.split(entry["command"])
        path = Path(entry["directory"], entry["file"]).resolve()
        out[str(path)] = args
    return out


def _include_dirs(args, directory):
    dirs = []
    for i, a in enumerate(args):
        for flag in ("-I", "-isystem", "-iquote"):
            if a == flag and i + 1 < len(args):
                dirs.append(args[i + 1])
            elif a.startswith(flag) and len(a) > len(flag):
                dirs.append(a[len(flag):])
    return [Path(directory, d).resolve() for d in dirs]


class Keys:
    def __init__(self, root, build, run_key):
        self.root = Path(root).resolve()
        self.build = Path(build).resolve()
        self.run_key = run_key
        self.commands = _commands(self.build)
        self._digests = {}
        self._includes = {}

    def _ours(self, path):
        return path.is_relative_to(self.root) or path.is_relative_to(self.build)

    def _neutral(self, text):
        return text.replace(str(self.build), "<build>").replace(str(self.root), "<root>")

    def _digest(self, path):
        if path not in self._digests:
            self._digests[path] = hashlib.sha256(path.read_bytes()).hexdigest()
        return self._digests[path]

    def closure(self, source, dirs):
        """The file and every file of ours it includes, sorted."""
        seen, todo = set(), [source]
        while todo:
            path = todo.pop()
            if path in seen:
                continue
            seen.add(path)
            if path not in self._includes:
                self._includes[path] = INCLUDE.findall(path.read_text(errors="replace"))
            for kind, name in self._includes[path]:
                places = ([path.parent] if kind == '"' else []) + dirs
                for place in places:
                    found = (place / name).resolve()
                    if self._ours(found) and found.is_file():
                        todo.append(found)
                        break
        return sorted(seen)

    def key(self, file):
        source = Path(file).resolve()
        args = self.commands.get(str(source))
        if args is None:
            raise KeyError(f"{file}: not in {self.build}/compile_commands.json")
        h = hashlib.sha256()
        h.update(self.run_key.encode())
        h.update(self._neutral(" ".join(args)).encode())
        for path in self.closure(source, _include_dirs(args, self.build)):
            h.update(f"\n{self._neutral(str(path))} {self._digest(path)}".encode())
        return h.hexdigest()


def load(record):
    try:
        data = json.loads(Path(record).read_text())
        return {k: float(v) for k, v in data.items()} if isinstance(data, dict) else {}
    except (OSError, ValueError):
        return {}


def save(record, data, now):
    data = {k: v for k, v in data.items() if now - v < KEEP_SECONDS}
    record = Path(record)
    record.parent.mkdir(parents=True, exist_ok=True)
    part = record.with_name(record.name + f".{os.getpid()}")
    part.write_text(json.dumps(data, sort_keys=True))
    os.replace(part, record)


def main(argv):
    if len(argv) < 6 or argv[1] not in ("select", "passed"):
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2
    what, record, root, build, key_file, files = argv[1], argv[2], argv[3], argv[4], argv[5], argv[6:]
    now = time.time()
    try:
        keys = Keys(root, build, Path(key_file).read_text())
        data = load(record)
        if what == "select":
            for f in files:
                if keys.key(f) not in data:
                    print(f)
        else:
            for f in files:
                data[keys.key(f)] = now
            save(record, data, now)
    except (OSError, ValueError, KeyError) as e:
        print(f"tidy_record: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
