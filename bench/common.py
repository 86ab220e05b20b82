"""What the benchmark scripts share: finding and building the programs,
and the form of their report."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


class BenchError(Exception):
    """The benchmark could not be run (as opposed to a target being missed)."""


def build_type_of(binary: Path) -> str:
    cache = binary.parent / "CMakeCache.txt"
    try:
        for line in cache.read_text(errors="replace").splitlines():
            if line.startswith("CMAKE_BUILD_TYPE:"):
                return line.split("=", 1)[1] or "(none)"
    except OSError:
        pass
    return "unknown"


def find_binary(given: str | None, name: str, beside: Path | None = None,
                use_build: bool = True) -> Path:
    """The program `name`: `given`, else the one beside `beside`, else
    build/<name> (when `use_build`), else build-bench/<name> (a Release
    build), built when needed."""
    if given:
        path = Path(given).resolve()
        if not os.access(path, os.X_OK):
            raise BenchError(f"{path}: not an executable file")
        return path
    for existing in ([beside.parent / name] if beside else []) + (
            [REPO / "build" / name] if use_build else []):
        if os.access(existing, os.X_OK):
            return existing
    build_dir = REPO / "build-bench"
    steps = [["cmake", "--build", str(build_dir), "--target", name]]
    if not (build_dir / "CMakeCache.txt").exists():
        steps.insert(0, ["cmake", "-S", str(REPO), "-B", str(build_dir),
                         "-DCMAKE_BUILD_TYPE=Release", "-DFISKAL_TESTS=OFF"])
    for step in steps:
        print("bench: " + " ".join(step), file=sys.stderr)
        done = subprocess.run(step, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        if done.returncode != 0:
            sys.stderr.write(done.stdout.decode(errors="replace"))
            raise BenchError(f"building {name} failed")
    return build_dir / name


@dataclass
class Check:
    name: str
    measured: str
    target: str
    ok: bool | None  # None: not judged


def mark(ok: bool | None) -> str:
    return {True: "PASS", False: "FAIL", None: "----"}[ok]


def decode_json(printer: Path, path: Path) -> dict:
    """`fiskal-printer decode --json` of a transcript or a capture."""
    done = subprocess.run([str(printer), "decode", "--json", str(path)],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if done.returncode not in (0, 1) or not done.stdout:
        raise BenchError(f"fiskal-printer decode {path.name}: "
                         + done.stderr.decode(errors="replace").strip())
    return json.loads(done.stdout)


def text_bytes(text: dict) -> bytes:
    """A text's bytes: fiskal-printer gives them as code points 0 to 255."""
    return text["bytes"].encode("latin-1")
