#!/usr/bin/env python3
"""Tests cmake/source_cache.py: an entry is used only for its own key and
only when whole; anything else is made again, through the command line as
CMake calls it."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOOL = HERE / "source_cache.py"

# The "build": writes lib.a (its content from LIB) and include/lib.h, and
# counts its runs in RUNS.
BUILD = [sys.executable, "-c", """
import os, pathlib
out = pathlib.Path(os.environ["FISKAL_CACHE_OUT"])
print("-- building, chattily, on standard output")
(out / "include").mkdir()
(out / "lib.a").write_text(os.environ["LIB"])
(out / "include" / "lib.h").write_text("int f(void);\\n")
with open(os.environ["RUNS"], "a") as f:
    f.write("run\\n")
raise SystemExit(int(os.environ.get("FAIL", "0")))
"""]

KEY_A = "source=sqlite3 3.40.1-2+deb12u1\ntoolchain=x86_64-w64-mingw32-gcc 12-win32\n"
KEY_B = "source=sqlite3 3.40.1-2+deb12u2\ntoolchain=x86_64-w64-mingw32-gcc 12-win32\n"
KEY_C = "source=sqlite3 3.40.1-2+deb12u1\ntoolchain=x86_64-w64-mingw32-gcc 13-win32\n"


class SourceCache(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.cache = self.dir / "cache"
        self.runs = self.dir / "runs"

    def tearDown(self):
        shutil.rmtree(self.dir)

    def fetch(self, key, lib="A", fail=0):
        key_file = self.dir / "key"
        key_file.write_text(key)
        env = dict(os.environ, LIB=lib, RUNS=str(self.runs), FAIL=str(fail))
        done = subprocess.run([sys.executable, str(TOOL), str(self.cache), "sqlite3", str(key_file),
                               "--", *BUILD], capture_output=True, text=True, env=env, timeout=60)
        # Standard output is the folder alone, whatever the build printed.
        self.assertLessEqual(len(done.stdout.splitlines()), 1, done.stdout)
        if "making" in done.stderr:
            self.assertIn("chattily", done.stderr)
        return done.returncode, Path(done.stdout.strip()), done.stderr

    def built(self):
        return self.runs.read_text().count("run") if self.runs.exists() else 0

    def test_made_once_then_found(self):
        status, files, err = self.fetch(KEY_A)
        self.assertEqual((status, self.built()), (0, 1), err)
        self.assertIn("making sqlite3", err)
        self.assertEqual((files / "lib.a").read_text(), "A")
        status, again, err = self.fetch(KEY_A, lib="never used")
        self.assertEqual((status, self.built(), again), (0, 1, files), err)
        self.assertIn("found", err)
        self.assertEqual((again / "lib.a").read_text(), "A")

    def test_another_version_or_toolchain_is_never_used(self):
        status, files_a, err = self.fetch(KEY_A, lib="A")
        self.assertEqual(status, 0, err)
        for n, (key, lib) in enumerate(((KEY_B, "B"), (KEY_C, "C")), start=2):
            with self.subTest(key=key):
                status, files, err = self.fetch(key, lib=lib)
                self.assertEqual((status, self.built()), (0, n), err)
                self.assertNotEqual(files, files_a)
                self.assertEqual((files / "lib.a").read_text(), lib)
        # An entry made for another key, found under this key's name (moved
        # or copied by hand), is made again.
        entry_b = self.fetch(KEY_B)[1].parent
        shutil.rmtree(entry_b)
        shutil.copytree(files_a.parent, entry_b)
        status, files, err = self.fetch(KEY_B, lib="B again")
        self.assertEqual((status, self.built()), (0, 4), err)
        self.assertIn("made for another key", err)
        self.assertEqual((files / "lib.a").read_text(), "B again")

    def test_a_corrupt_or_partial_entry_is_made_again(self):
        spoil = {
            "a byte changed": lambda e: (e / "files/lib.a").write_text("a"),
            "a file missing": lambda e: (e / "files/include/lib.h").unlink(),
            "a file added": lambda e: (e / "files/extra.o").write_text("x"),
            "file truncated": lambda e: (e / "files/include/lib.h").write_text(""),
            "no manifest": lambda e: (e / "manifest.txt").unlink(),
            "no key": lambda e: (e / "key.txt").unlink(),
            "manifest edited": lambda e: (e / "manifest.txt").write_text(""),
        }
        for what, damage in spoil.items():
            with self.subTest(what):
                status, files, err = self.fetch(KEY_A)
                self.assertEqual(status, 0, err)
                before = self.built()
                damage(files.parent)
                status, files, err = self.fetch(KEY_A, lib="A2")
                self.assertEqual((status, self.built()), (0, before + 1), err)
                self.assertIn("making sqlite3", err)
                self.assertEqual((files / "lib.a").read_text(), "A2")
                self.assertEqual((files / "include/lib.h").read_text(), "int f(void);\n")
                status, _, err = self.fetch(KEY_A)
                self.assertIn("found", err)

    def test_a_failed_build_leaves_nothing(self):
        status, _, err = self.fetch(KEY_A, fail=3)
        self.assertEqual(status, 1)
        self.assertIn("failed with status 3", err)
        self.assertIn("nothing was kept", err)
        self.assertEqual([p.name for p in self.cache.iterdir() if not p.name.endswith(".lock")], [])
        status, files, err = self.fetch(KEY_A)
        self.assertEqual((status, self.built()), (0, 2), err)
        self.assertEqual((files / "lib.a").read_text(), "A")

    def test_bad_keys_and_usage_are_refused(self):
        for key in ("", "\n\n", "sqlite3 3.40\n"):
            with self.subTest(key=key):
                status, _, err = self.fetch(key)
                self.assertEqual(status, 1)
                self.assertIn("what=value", err)
        done = subprocess.run([sys.executable, str(TOOL), str(self.cache)], capture_output=True,
                              text=True, timeout=60)
        self.assertEqual(done.returncode, 2)
        self.assertIn("source_cache.py CACHE NAME KEY_FILE -- COMMAND", done.stderr)
        self.assertEqual(self.built(), 0)


if __name__ == "__main__":
    unittest.main()
