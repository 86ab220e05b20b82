"""What the benchmark scripts share: finding and building the programs,
the form of their report, and for the service's benchmarks, watching a
process through /proc and HTTP to fiskald."""

from __future__ import annotations

import ctypes
import http.client
import json
import os
import signal
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


# --- what the service benchmarks share: processes, /proc, HTTP to fiskald ---

HOST = "127.0.0.1"
REQUEST_TIMEOUT_S = 10.0   # one HTTP request
LIST_LIMIT = 1000          # GET /v1/receipts?limit= at most
PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


class Interrupted(Exception):
    """SIGTERM or SIGHUP reached the script."""


def die_with_parent() -> None:
    # Runs in the child between fork and exec: SIGKILL when the thread that
    # started it (always the script's main thread) ends.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def cpu_ticks(pid: int) -> int:
    """utime + stime of the whole process, in clock ticks."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        text = f.read()
    fields = text[text.rindex(b")") + 2:].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def status_kib(pid: int) -> dict[str, int]:
    out = {}
    with open(f"/proc/{pid}/status", "rb") as f:
        for line in f:
            key, _, value = line.decode().partition(":")
            if key in ("VmRSS", "VmHWM", "RssAnon", "RssFile", "Threads"):
                out[key] = int(value.split()[0])
    return out


def context_switches(pid: int) -> int:
    """Voluntary and involuntary context switches of all threads."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status", "rb") as f:
                for line in f:
                    if line.startswith((b"voluntary_ctxt_switches:",
                                        b"nonvoluntary_ctxt_switches:")):
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def request(port: int, method: str, path: str, body: bytes | None = None,
            headers: dict[str, str] | None = None,
            timeout: float = REQUEST_TIMEOUT_S) -> tuple[int, dict[str, str], bytes]:
    """One request on a connection of its own."""
    conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        data = r.read()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, data
    finally:
        conn.close()


def get_json(port: int, path: str) -> object:
    status, _, data = request(port, "GET", path)
    if status != 200:
        raise BenchError(f"GET {path}: status {status}: {data[:200]!r}")
    return json.loads(data)


def metrics(port: int) -> dict[str, float]:
    """The samples of GET /metrics, by name with labels."""
    status, _, data = request(port, "GET", "/metrics")
    if status != 200:
        raise BenchError(f"GET /metrics: status {status}")
    out = {}
    for line in data.decode().splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            out[name] = float(value)
    return out


def percentile(values: list[float], p: float) -> float:
    """Nearest-rank percentile of a non-empty list."""
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(-(-p * len(s) // 100)) - 1))
    return s[k]


def latency_text(ms: list[float]) -> str:
    if not ms:
        return "n/a"
    return (f"p50 {percentile(ms, 50):.2f} / p99 {percentile(ms, 99):.2f} / "
            f"max {max(ms):.2f}")


def print_checks(checks: list[Check]) -> None:
    w = max(len(c.name) for c in checks)
    for c in checks:
        target = f"  target {c.target}" if c.target else ""
        print(f"  {mark(c.ok)}  {c.name:<{w}}  {c.measured}{target}", flush=True)


def note(text: str) -> None:
    print(f"        {text}", flush=True)


def fetch_all_receipts(port: int) -> dict[int, dict]:
    """Every receipt in the journal: the newest 1000 by the list, older ones
    one by one."""
    listed = get_json(port, f"/v1/receipts?limit={LIST_LIMIT}")["receipts"]
    receipts = {r["id"]: r for r in listed}
    if len(listed) == LIST_LIMIT:
        for rid in range(min(receipts) - 1, 0, -1):
            status, _, data = request(port, "GET", f"/v1/receipts/{rid}")
            if status == 200:
                receipts[rid] = json.loads(data)
            elif status != 404:
                raise BenchError(f"GET /v1/receipts/{rid}: status {status}")
    return receipts
