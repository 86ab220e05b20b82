#!/usr/bin/env python3
"""Tests cmake/tidy_record.py: after a passed run only what a change can
reach is checked again; a change of the run's key checks everything."""

import json
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

TOOL = Path(__file__).resolve().parent / "tidy_record.py"


class TidyRecord(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.record = self.dir / "cache" / "tidy.json"
        self.make_clone(self.dir / "clone")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def make_clone(self, root):
        self.root, self.build = root, root / "build"
        files = {
            "a.cc": '#include "x.h"\n#include <vector>\n',
            "x.h": '#pragma once\n#include "sub/y.h"\n',
            "inc/sub/y.h": "#pragma once\n#ifdef _WIN32\n#include <gen.h>\n#endif\n",
            "b.cc": "#include <vector>\nint b;\n",
            "c.cc": "#include <sub/y.h>\n",
            "build/gen/gen.h": "#define VERSION 1\n",
        }
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        self.write_commands({})

    def write_commands(self, extra_flags):
        entries = [{"directory": str(self.build), "file": str(self.root / f),
                    "command": f"clang++ -I{self.root}/inc -isystem {self.build}/gen "
                               f"{extra_flags.get(f, '-O0')} -o {f}.o -c {self.root / f}"}
                   for f in ("a.cc", "b.cc", "c.cc")]
        (self.build / "compile_commands.json").write_text(json.dumps(entries))

    def run_tool(self, what, key="clang-tidy 14.0.6\n", files=("a.cc", "b.cc", "c.cc")):
        key_file = self.dir / "key"
        key_file.write_text(key)
        done = subprocess.run([sys.executable, str(TOOL), what, str(self.record), str(self.root),
                               str(self.build), str(key_file), *[str(self.root / f) for f in files]],
                              capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout, done.stderr

    def select(self, **kw):
        status, out, err = self.run_tool("select", **kw)
        self.assertEqual(status, 0, err)
        return sorted(Path(line).name for line in out.split())

    def passed(self, **kw):
        status, _, err = self.run_tool("passed", **kw)
        self.assertEqual(status, 0, err)

    def test_only_what_a_change_reaches_is_checked_again(self):
        cases = [
            ("nothing changed", lambda: None, []),
            ("a file's own bytes", lambda: (self.root / "b.cc").write_text("int b;\n"), ["b.cc"]),
            ("a header two includes deep", lambda: (self.root / "inc/sub/y.h").write_text("//\n"),
             ["a.cc", "c.cc"]),
            ("a header found through -I with <>", lambda: (self.root / "inc/sub/y.h")
             .write_text("#pragma once\n#ifdef _WIN32\n#include <gen.h>\n#endif\n// 2\n"), ["a.cc", "c.cc"]),
            ("a generated header in the build folder, under #ifdef",
             lambda: (self.build / "gen/gen.h").write_text("#define VERSION 2\n"), ["a.cc", "c.cc"]),
            ("one file's flags", lambda: self.write_commands({"b.cc": "-O2"}), ["b.cc"]),
            ("a new include of a file",
             lambda: (self.root / "b.cc").write_text('#include "x.h"\nint b;\n'), ["b.cc"]),
        ]
        self.assertEqual(self.select(), ["a.cc", "b.cc", "c.cc"])
        self.passed()
        for what, change, expected in cases:
            with self.subTest(what):
                change()
                self.assertEqual(self.select(), expected)
                self.passed()

    def test_everything_is_checked_again_when_the_run_changes(self):
        self.passed()
        cases = [
            ("another clang-tidy or .clang-tidy", {"key": "clang-tidy 15.0.7\n"}),
            ("the record unreadable", {}),
        ]
        for what, kw in cases:
            with self.subTest(what):
                if not kw:
                    self.record.write_text("{not json")
                self.assertEqual(self.select(**kw), ["a.cc", "b.cc", "c.cc"])
        # A failed run records nothing: the files stay to be checked.
        self.assertEqual(self.select(key="clang-tidy 15.0.7\n"), ["a.cc", "b.cc", "c.cc"])

    def test_another_clone_of_the_same_sources_shares_the_record(self):
        self.passed()
        self.make_clone(self.dir / "elsewhere" / "clone")
        self.assertEqual(self.select(), [])
        (self.root / "a.cc").write_text("int a;\n")
        self.assertEqual(self.select(), ["a.cc"])

    def test_a_file_the_build_does_not_know_is_refused(self):
        status, _, err = self.run_tool("select", files=("a.cc", "x.h"))
        self.assertEqual(status, 1)
        self.assertIn("x.h: not in", err)
        status, _, err = self.run_tool("sweep")
        self.assertEqual(status, 2)
        self.assertIn("tidy_record.py select RECORD", err)


if __name__ == "__main__":
    unittest.main()
