"""What the benchmark scripts share: finding and building the programs,
the form of their report, and for the service's benchmarks, starting and
killing fiskald (never on a serial device) and watching it through /proc
and HTTP."""

from __future__ import annotations

import ctypes
import http.client
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
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
    """Every receipt in the journal: the list page by page (each page's
    "next"; a fiskald that gives no "next" lists the newest 1000, and older
    ones are read one by one)."""
    page = get_json(port, f"/v1/receipts?limit={LIST_LIMIT}")
    receipts = {r["id"]: r for r in page["receipts"]}
    if "next" not in page:
        if len(page["receipts"]) == LIST_LIMIT:
            for rid in range(min(receipts) - 1, 0, -1):
                status, _, data = request(port, "GET", f"/v1/receipts/{rid}")
                if status == 200:
                    receipts[rid] = json.loads(data)
                elif status != 404:
                    raise BenchError(f"GET /v1/receipts/{rid}: status {status}")
        return receipts
    while page["next"]:
        page = get_json(port, page["next"])
        for r in page["receipts"]:
            if r["id"] in receipts:
                raise BenchError(f"receipt {r['id']} listed twice")
            receipts[r["id"]] = r
    return receipts


# --------------------------------------------------------------------------
# Children: every process a benchmark starts is here until it is reaped,
# so that kill_all() leaves none behind.

START_TIMEOUT_S = 15.0     # until fiskald says it is listening
STOP_TIMEOUT_S = 15.0      # SIGTERM to exit (it finishes the receipt in hand)
LISTENING = re.compile(r"^fiskald: listening on http://([0-9.]+):(\d+) ")
IN_DOUBT = re.compile(r"^fiskald: (\d+) receipt\(s\) were being sent when fiskald stopped")

_live: set[subprocess.Popen] = set()
_live_lock = threading.Lock()


def spawn(argv: list[str], cwd: Path, env: dict[str, str], stderr,
          stdout=subprocess.DEVNULL) -> subprocess.Popen:
    """Starts a child in its own process group, killed should the script die."""
    assert threading.current_thread() is threading.main_thread()
    with _live_lock:
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=stderr,
                                process_group=0, preexec_fn=die_with_parent)
        _live.add(proc)
    return proc


def reap(proc: subprocess.Popen) -> None:
    """SIGKILL (when it still runs), waited for."""
    if proc.poll() is None:
        try:
            proc.kill()
        except OSError:
            pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass
    with _live_lock:
        _live.discard(proc)


def kill_all() -> None:
    """Kills and reaps every child still running."""
    with _live_lock:
        procs = list(_live)
    for p in procs:
        reap(p)


def absent_device(n: int) -> str:
    """Where port n of every fiskald a benchmark starts leads: nowhere."""
    return f"/nonexistent/com{n}"


def fiskald_env(folder: Path) -> dict[str, str]:
    """The environment of a fiskald: every port on a path that does not
    exist, the run locks in `folder`, no service manager's variables."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("FISKAL_")
           and k not in ("NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID",
                         "LISTEN_FDNAMES", "WATCHDOG_USEC", "WATCHDOG_PID")}
    for n in range(1, 10):
        env[f"FISKAL_COM{n}"] = absent_device(n)
    env["FISKAL_LOCK_DIR"] = str(folder)
    return env


class Fiskald:
    """One fiskald on `journal` (default fiskald.db in `folder`), listening
    on HOST, port 0. Its stderr goes line by line to `lines` and to
    fiskald.stderr in the folder."""

    def __init__(self, binary: Path, folder: Path, extra: list[str] = (),
                 journal: Path | None = None):
        self.binary = binary
        self.folder = folder
        self.journal = journal or folder / "fiskald.db"
        self.extra = list(extra)
        self.proc: subprocess.Popen | None = None
        self.port = 0
        self.lines: list[str] = []
        self.started_s = 0.0
        self.ready_s = 0.0
        self._ready = threading.Event()
        self._reader: threading.Thread | None = None

    @property
    def pid(self) -> int:
        assert self.proc is not None
        return self.proc.pid

    def start(self, wait_ready: bool = True) -> None:
        self.started_s = time.monotonic()
        self.proc = spawn([str(self.binary), "--listen", f"{HOST}:0",
                           "--journal", str(self.journal)] + self.extra,
                          self.folder, fiskald_env(self.folder), subprocess.PIPE)
        self._reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._reader.start()
        if wait_ready:
            self.wait_ready()

    def _read_stderr(self) -> None:
        assert self.proc is not None and self.proc.stderr is not None
        with open(self.folder / "fiskald.stderr", "ab") as log:
            for raw in self.proc.stderr:
                log.write(raw)
                log.flush()
                line = raw.decode(errors="replace").rstrip("\n")
                self.lines.append(line)
                m = LISTENING.match(line)
                # Listening elsewhere than HOST is refused by wait_ready.
                if m and not self._ready.is_set() and m.group(1) == HOST:
                    self.port = int(m.group(2))
                    self.ready_s = time.monotonic()
                    self._ready.set()
        self.proc.stderr.close()

    def wait_ready(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT_S
        while not self._ready.wait(0.02):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.kill()
                said = "\n  ".join(self.lines[-10:]) or "(nothing)"
                raise BenchError(f"fiskald did not start listening on {HOST} "
                                 f"(exit status {self.proc.returncode}); it said:\n  {said}")

    def kill(self) -> None:
        """SIGKILL, reaped."""
        if self.proc is None:
            return
        reap(self.proc)
        if self._reader is not None:
            self._reader.join(timeout=5)

    def stop(self) -> tuple[int | None, float]:
        """SIGTERM; exit status (None: it had to be killed) and seconds to exit."""
        t0 = time.monotonic()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            status = None
        self.kill()
        return status, time.monotonic() - t0

    def unexpected_lines(self, expected: re.Pattern) -> list[str]:
        """What it said that `expected` does not match."""
        return [l for l in self.lines if not expected.match(l)]
