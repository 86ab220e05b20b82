#!/usr/bin/env python3
"""deb_src_sources.py: the machine's Debian entries become deb-src, the
mirror and keyring kept; other suites, source entries and disabled
stanzas are left out; no entry at all is said."""

import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import deb_src_sources as d  # noqa: E402


# Made-up hosts (example.invalid), written apart from "deb" so no line here
# reads as a source entry.
M = "http://mirror.example.invalid"
T = "https://third.example.invalid"


class OneLine(unittest.TestCase):
    def test_table(self):
        cases = [
            (f"deb {M}/debian bookworm main contrib",
             [f"deb-src {M}/debian bookworm main contrib"]),
            (f"deb [signed-by=/k.gpg arch=amd64] {M}/debian-security bookworm-security main",
             [f"deb-src [signed-by=/k.gpg arch=amd64] {M}/debian-security "
              "bookworm-security main"]),
            (f"deb {M}/debian bookworm-updates main # a comment",
             [f"deb-src {M}/debian bookworm-updates main"]),
            (f"# deb {M}/debian bookworm main", []),
            (f"deb-src {M}/debian bookworm main", []),
            (f"deb {T}/apt cloud-sdk-bookworm main", []),
            (f"deb {M}/debian bullseye main", []),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(d.one_line_entries(line, "bookworm"), expected)


class Deb822(unittest.TestCase):
    def test_table(self):
        kept = ("Types: deb\n# a mirror of its own\nURIs: http://proxy.example/debian\n"
                "Suites: bookworm bookworm-updates\nComponents: main\n"
                "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg")
        cases = [
            (kept, ["Types: deb-src\nURIs: http://proxy.example/debian\n"
                    "Suites: bookworm bookworm-updates\nComponents: main\n"
                    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"]),
            ("Types: deb\nURIs: http://m/debian\nSuites: bookworm\nComponents: main\n"
             "Enabled: no", []),
            ("Types: deb-src\nURIs: http://m/debian\nSuites: bookworm\nComponents: main", []),
            ("Types: deb\nURIs: https://third.example/apt\nSuites: stable\nComponents: main", []),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(d.deb822_entries(text, "bookworm"), expected)


class Files(unittest.TestCase):
    def test_writes_the_entries_or_says_none_were_found(self):
        with tempfile.TemporaryDirectory() as tmp:
            etc, out = Path(tmp) / "etc", Path(tmp) / "out"
            (etc / "sources.list.d").mkdir(parents=True)
            self.assertEqual(d.main(["x", "bookworm", str(out), str(etc)]), 1)
            (etc / "sources.list.d" / "debian.sources").write_text(
                "Types: deb\nURIs: http://m/debian\nSuites: bookworm\nComponents: main\n")
            (etc / "sources.list.d" / "old.list.disabled").write_text(
                "deb {M}/debian bookworm main\n")
            self.assertEqual(d.main(["x", "bookworm", str(out), str(etc)]), 0)
            self.assertEqual((out / "sources.list").read_text(), "")
            self.assertIn("Types: deb-src\n",
                          (out / "sources.list.d" / "machine.sources").read_text())


if __name__ == "__main__":
    unittest.main()
