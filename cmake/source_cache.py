#!/usr/bin/env python3
"""The one home of the cache of libraries made from Debian's source packages.

A library the Windows build makes from a Debian source package (SQLite's
amalgamation today) is made once per source version and toolchain and kept
outside the clone, under $FISKAL_CACHE_DIR/sources (scripts/cache-env), so
a clean clone does not fetch and make it again.

    source_cache.py CACHE NAME KEY_FILE -- COMMAND...

KEY_FILE holds what the result depends on, one `what=value` per line: the
source package and its version, the compilers and tools with their
versions, the options. The entry CACHE/NAME-<sha256 of the key> is used
only when
  - its key.txt is that key, byte for byte (an entry of another version or
    toolchain is never used, even under a wrong name), and
  - every file its manifest names is there with the size and SHA-256 the
    manifest gives, and nothing else is (a corrupt or half-written entry is
    never trusted).
Otherwise the entry is removed and made again: COMMAND runs with
FISKAL_CACHE_OUT set to an empty folder to fill; the folder becomes the
entry only once COMMAND has succeeded and the manifest is written. Two
builds making the same entry at once take turns (a lock per entry).

Prints the entry's folder of files (the one COMMAND filled) on standard
output; says on standard error whether it was made or found. Exit status 1
when COMMAND fails (its status and the entry are named), 2 on bad usage.
"""

import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

MANIFEST = "manifest.txt"
KEY = "key.txt"
FILES = "files"


def key_text(raw):
    """The key as stored: its lines without trailing blanks, in their order."""
    lines = [line.rstrip() for line in raw.replace("\r\n", "\n").split("\n")]
    lines = [line for line in lines if line]
    if not lines or any("=" not in line for line in lines):
        raise ValueError("a key is one or more lines of what=value")
    return "\n".join(lines) + "\n"


def entry_name(name, key):
    return f"{name}-{hashlib.sha256(key.encode()).hexdigest()[:24]}"


def _digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def manifest_of(files):
    """`sha256 size path` for every file under FILES, sorted by path."""
    lines = []
    for path in sorted(p for p in files.rglob("*")):
        if path.is_symlink() or not (path.is_file() or path.is_dir()):
            raise ValueError(f"{path}: only plain files and folders may be cached")
        if path.is_file():
            rel = path.relative_to(files).as_posix()
            lines.append(f"{_digest(path)} {path.stat().st_size} {rel}")
    return "\n".join(lines) + "\n"


def why_unusable(entry, key):
    """None when the entry may be used; otherwise why not."""
    if not entry.exists():
        return "not made yet"
    try:
        stored = (entry / KEY).read_text()
    except OSError:
        return "it has no key"
    if stored != key:
        return "it was made for another key"
    try:
        manifest = (entry / MANIFEST).read_text()
    except OSError:
        return "it has no manifest (made only in part)"
    try:
        actual = manifest_of(entry / FILES)
    except (OSError, ValueError) as e:
        return f"its files cannot be read ({e})"
    if actual != manifest:
        return "its files differ from its manifest (corrupt)"
    return None


def fetch(cache, name, key, command):
    """The folder of files of the entry for KEY, made when needed."""
    cache.mkdir(parents=True, exist_ok=True)
    entry = cache / entry_name(name, key)
    with open(cache / f"{entry.name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        why = why_unusable(entry, key)
        if why is None:
            print(f"source cache: {name} found in {entry}", file=sys.stderr)
            return entry / FILES
        print(f"source cache: making {name} in {entry} ({why})", file=sys.stderr)
        shutil.rmtree(entry, ignore_errors=True)
        work = Path(tempfile.mkdtemp(prefix=f".{entry.name}-", dir=cache))
        try:
            (work / FILES).mkdir()
            env = dict(os.environ, FISKAL_CACHE_OUT=str(work / FILES))
            # Its output goes to standard error: standard output is the answer.
            status = subprocess.run(command, env=env, stdout=sys.stderr).returncode
            if status != 0:
                raise RuntimeError(f"`{' '.join(command)}` failed with status {status}; "
                                   f"nothing was kept in {cache}")
            (work / KEY).write_text(key)
            (work / MANIFEST).write_text(manifest_of(work / FILES))
            os.rename(work, entry)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return entry / FILES


def main(argv):
    if len(argv) < 6 or argv[4] != "--":
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2
    cache, name, key_file = Path(argv[1]), argv[2], Path(argv[3])
    try:
        key = key_text(key_file.read_text())
        print(fetch(cache, name, key, argv[5:]))
    except (OSError, ValueError, RuntimeError) as e:
        print(f"source cache: {name}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
