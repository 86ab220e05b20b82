#!/usr/bin/env python3
"""Tests the compiler cache as scripts/cache-env sets it up: an object made
by another compiler or from other bytes is never handed out, and a damaged
entry is compiled again, not trusted. Skipped (77) without ccache.

    compiler_cache_test.py ROOT
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = None  # from the command line


def cache_env(cache_dir):
    """The environment scripts/cache-env exports, for FISKAL_CACHE_DIR."""
    done = subprocess.run(["bash", "-c", 'root="$1"; . "$1/scripts/cache-env"; env -0', "-", ROOT],
                          env=dict(os.environ, FISKAL_CACHE_DIR=str(cache_dir), FISKAL_CCACHE="1"),
                          capture_output=True, check=True, timeout=60)
    return dict(item.split("=", 1) for item in done.stdout.decode().split("\0") if "=" in item)


class CompilerCache(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.env = cache_env(self.dir / "cache")
        self.source = self.dir / "clone" / "x.c"
        self.source.parent.mkdir()
        self.source.write_text("int answer(void) { return 42; }\n")
        # Another compiler: another file that compiles (as another version
        # of a toolchain would be), the same objects.
        self.other_cc = self.dir / "other" / "cc"
        self.other_cc.parent.mkdir()
        self.other_cc.write_text(f'#!/bin/sh\nexec {shutil.which("gcc")} "$@"\n')
        self.other_cc.chmod(0o755)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def compile(self, compiler="gcc", cache=True):
        """Compiles x.c; returns the object's bytes and whether it was a hit."""
        out = self.dir / "x.o"
        out.unlink(missing_ok=True)
        env = dict(self.env) if cache else dict(self.env, CCACHE_DISABLE="1")
        subprocess.run(["ccache", "--zero-stats"], env=env, check=True, capture_output=True)
        subprocess.run(["ccache", str(compiler), "-O2", "-c", str(self.source), "-o", str(out)],
                       env=env, check=True, capture_output=True, timeout=120)
        stats = subprocess.run(["ccache", "--print-stats"], env=env, check=True,
                               capture_output=True, text=True).stdout
        hits = sum(int(line.split()[1]) for line in stats.splitlines()
                   if line.split()[0] in ("direct_cache_hit", "preprocessed_cache_hit"))
        return out.read_bytes(), hits > 0

    def test_settings(self):
        self.assertEqual(self.env["CCACHE_DIR"], str(self.dir / "cache" / "ccache"))
        self.assertEqual(self.env["CMAKE_CXX_COMPILER_LAUNCHER"], "ccache")
        self.assertEqual(cache_env(self.dir / "c2").get("CCACHE_DISABLE"), None)
        off = subprocess.run(["bash", "-c", 'root="$1"; . "$1/scripts/cache-env"; env', "-", ROOT],
                             env=dict(os.environ, FISKAL_CACHE_DIR=str(self.dir / "c3"),
                                      FISKAL_CCACHE="0"),
                             capture_output=True, text=True, check=True).stdout
        self.assertIn("CCACHE_DISABLE=1", off)
        self.assertNotIn("COMPILER_LAUNCHER", off)

    def test_only_the_same_compiler_and_bytes_hit(self):
        fresh, hit = self.compile(cache=False)
        self.assertFalse(hit)
        cases = [
            ("first", lambda: None, "gcc", False),
            ("again", lambda: None, "gcc", True),
            ("another compiler", lambda: None, self.other_cc, False),
            ("another source", lambda: self.source.write_text("int answer(void) { return 7; }\n"),
             "gcc", False),
        ]
        for what, change, compiler, expect_hit in cases:
            with self.subTest(what):
                change()
                got, hit = self.compile(compiler)
                self.assertEqual(hit, expect_hit)
                self.assertEqual(got, self.compile(compiler, cache=False)[0])
        self.assertNotEqual(got, fresh)

    def test_a_damaged_entry_is_compiled_again(self):
        fresh, _ = self.compile(cache=False)
        self.compile()
        self.assertTrue(self.compile()[1])
        damaged = 0
        for path in (self.dir / "cache" / "ccache").rglob("*"):
            if path.is_file() and path.stat().st_size > 64 and path.name[-1] in "RM":
                data = bytearray(path.read_bytes())
                for i in range(40, len(data), 97):
                    data[i] ^= 0xFF
                path.write_bytes(bytes(data))
                damaged += 1
        self.assertGreater(damaged, 0)
        got, hit = self.compile()
        self.assertFalse(hit)
        self.assertEqual(got, fresh)
        self.assertTrue(self.compile()[1])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: compiler_cache_test.py ROOT")
    ROOT = os.path.abspath(sys.argv.pop(1))
    if not shutil.which("ccache") or not shutil.which("gcc"):
        print("no ccache or gcc here: skipped")
        sys.exit(77)
    unittest.main()
