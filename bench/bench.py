#!/usr/bin/env python3
"""Benchmark of one fiskal run against a pseudo-terminal standing in for the printer.

Each run writes a fiskal.txt with N items into a fresh temp folder, points
port 1 (FISKAL_COM1) at the slave side of a pseudo-terminal and ports 2..9 at
a path that does not exist, starts fiskal there and timestamps every chunk of
bytes read from the master side until fiskal has exited and the master is
drained. From that it reports:

  pause overshoot  for the begin frame and every item frame: the time from the
                   last byte of that text to the first byte of the next one,
                   less the 0.5 s pause (min / median / max, and how many
                   pauses came out shorter than 0.5 s)
  overhead         wall time from start to exit less the 0.5 s x (N + 1)
                   pauses the run must make, split into start to first byte,
                   between the texts, and last byte to exit
  CPU              user + system time of the fiskal process (wait4 rusage)
  peak memory      ru_maxrss of the fiskal process (wait4 rusage), with the
                   highest VmHWM seen in /proc while it ran beside it

and checks that the bytes the "printer" received equal the texts recorded in
fiskal.log and that fiskal exited with status 0.

Short pauses and the pty's jitter: the kernel hands what fiskal writes to the
slave on to the master a little later, and now and then a few ms later. A
text that arrives late makes the gap before it look long and the one after
it look short, though fiskal slept its full 0.5 s. So a pause is judged short
only when it comes out under 0.5 s by more than --jitter-ms (default 5); the
report says how many more came out under 0.5 s within that margin. Whether
the sleep itself is ever short is better seen in fiskal's own system calls:
run it under strace (see README.md).

Peak memory and the launcher: on Linux, the ru_maxrss of a process that was
started by exec includes the resident size of the image it replaced, and a
child that Python spawns replaces (a copy of, or with vfork the very) image of
this Python process, about 17 MB. To measure fiskal alone, the script by
default makes itself a child subreaper and has /bin/sh start fiskal in the
background and exit; fiskal is then the script's own child, which it waits
for with os.wait4(pid, 0). The clock starts when the shell, already running,
is told to go: its fork and exec of fiskal are counted, as Popen's would be,
its own start-up is not. --direct starts fiskal straight from
subprocess.Popen instead (the clock starts just before Popen); the peak
memory figure is then that of this script and is not judged.

This is a benchmark, not a test: it is not part of the CTest suite. The
pseudo-terminal has no baud rate, so the times are the program's own, not
those of a 9600 baud line.

Which binary: --binary PATH if given; else build/fiskal under the repository
root if it exists (whatever build type it was built with: the report shows
it); else the script configures and builds build-bench/ under the repository
root (Release, tests off) and uses build-bench/fiskal.

Exit status: 0 when every target is met in every run, 1 otherwise, 2 when
the benchmark itself could not run (no binary, build failed, ...).
"""

from __future__ import annotations

import argparse
import ctypes
import os
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

PAUSE_S = 0.5
ESC = b"\x1b"
FRAME_START = ESC + b"P"
FRAME_END = ESC + b"\\"
FOOTER = "THANK YOU"
MAX_ITEMS = 255
DEFAULT_JITTER_MS = 5.0

# Targets.
TARGET_MEDIAN_OVERSHOOT_MS = 2.0
TARGET_OVERHEAD_MS = 20.0
TARGET_CPU_MS = 50.0
TARGET_PEAK_MB = 4.0

# Device paths the benchmark must never touch: real serial ports of the
# machine it runs on.
FORBIDDEN_DEVICE_PREFIXES = ("/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM")

PR_SET_CHILD_SUBREAPER = 36


class BenchError(Exception):
    """The benchmark could not be run (as opposed to a target being missed)."""


# --------------------------------------------------------------------------
# The binary


def build_type_of(binary: Path) -> str:
    cache = binary.parent / "CMakeCache.txt"
    try:
        for line in cache.read_text(errors="replace").splitlines():
            if line.startswith("CMAKE_BUILD_TYPE:"):
                return line.split("=", 1)[1] or "(none)"
    except OSError:
        pass
    return "unknown"


def find_binary(given: str | None) -> Path:
    if given:
        path = Path(given).resolve()
        if not os.access(path, os.X_OK):
            raise BenchError(f"{path}: not an executable file")
        return path
    existing = REPO / "build" / "fiskal"
    if os.access(existing, os.X_OK):
        return existing
    build_dir = REPO / "build-bench"
    steps = [
        ["cmake", "-S", str(REPO), "-B", str(build_dir),
         "-DCMAKE_BUILD_TYPE=Release", "-DFISKAL_TESTS=OFF"],
        ["cmake", "--build", str(build_dir), "--target", "fiskal"],
    ]
    for step in steps:
        print("bench: " + " ".join(step), file=sys.stderr)
        done = subprocess.run(step, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        if done.returncode != 0:
            sys.stderr.write(done.stdout.decode(errors="replace"))
            raise BenchError("building fiskal failed")
    return build_dir / "fiskal"


def version_text_of(binary: Path) -> bytes:
    """The version text the binary sends first: what `fiskal --version`
    prints after "fiskal " ("ver.:..."). --version touches no port."""
    try:
        done = subprocess.run([str(binary), "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=10)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise BenchError(f"{binary} --version: {e}")
    out = done.stdout
    if done.returncode != 0 or not out.startswith(b"fiskal ver.:") or not out.endswith(b"\n"):
        raise BenchError(f"{binary} --version: unexpected answer {out!r} "
                         f"(exit status {done.returncode})")
    return out[len(b"fiskal "):-1]


# --------------------------------------------------------------------------
# Input


def input_text(items: int) -> bytes:
    lines = ["1;" + FOOTER]
    for i in range(1, items + 1):
        tax = str((i - 1) % 7 + 1)
        quantity = 100 * (1 + i % 3) + (25 if i % 4 == 0 else 0)
        price = 99 + 137 * i
        lines.append(f"{i}\tITEM {i:03d}\t{tax}\t{quantity}\t{price}\tpcs\t")
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


# --------------------------------------------------------------------------
# One run


@dataclass
class Text:
    data: bytes
    first_s: float  # arrival of the first byte (monotonic)
    last_s: float   # arrival of the last byte


@dataclass
class RunResult:
    exit_status: int | None = None
    stderr: str = ""
    wall_s: float = 0.0
    cpu_s: float = 0.0
    maxrss_kib: int = 0
    hwm_kib: int = 0  # last VmHWM seen in /proc while fiskal ran
    texts: list[Text] = field(default_factory=list)
    overshoots_ms: list[float] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)
    stream_ok: bool = False      # version text and N + 2 whole frames
    transcript_ok: bool = False  # fiskal.log records exactly those texts

    expected_pauses: int = 0
    t0: float = 0.0  # when the launch began (monotonic)

    @property
    def overhead_ms(self) -> float:
        return (self.wall_s - PAUSE_S * self.expected_pauses) * 1000.0

    def overhead_split(self) -> str:
        """Where the overhead went: before the first byte, between the texts
        (less the pauses), after the last byte."""
        if not self.texts:
            return "n/a"
        first = (self.texts[0].first_s - self.t0) * 1000.0
        last = (self.t0 + self.wall_s - self.texts[-1].last_s) * 1000.0
        between = self.overhead_ms - first - last
        return (f"start to first byte {first:.2f}, between texts {between:.2f}, "
                f"last byte to exit {last:.2f}")


def check_device(path: str) -> None:
    real = os.path.realpath(path)
    for p in (path, real):
        if p.startswith(FORBIDDEN_DEVICE_PREFIXES):
            raise BenchError(f"refusing to use {p}: a real serial port")
    if not real.startswith("/dev/pts/"):
        raise BenchError(f"{path}: not a pseudo-terminal slave")


def read_some(fd: int) -> bytes:
    try:
        return os.read(fd, 65536)
    except (BlockingIOError, InterruptedError):
        return b""
    except OSError as e:  # EIO: no slave open; cannot happen while we hold it
        raise BenchError(f"reading the pseudo-terminal: {e.strerror}")


def read_hwm_kib(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status", "rb") as f:
            for line in f:
                if line.startswith(b"VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return 0


def start_fiskal(binary: Path, folder: Path, env: dict[str, str],
                 direct: bool) -> tuple[int, float]:
    """Starts fiskal in `folder`. Returns its pid (a child of this process)
    and the monotonic time the start began, which the run's wall time is
    counted from."""
    err_path = folder / "fiskal.stderr"
    if direct:
        with open(err_path, "wb") as err:
            t0 = time.monotonic()
            proc = subprocess.Popen([str(binary)], cwd=folder, env=env,
                                    stdin=subprocess.DEVNULL,
                                    stdout=err, stderr=err)
        # Reaped with os.wait4 by the caller, not by Popen.
        proc.returncode = 0
        return proc.pid, t0
    # The shell says it is ready, waits for the word, starts fiskal in the
    # background, says its pid and exits; fiskal then becomes our child (we
    # are a subreaper). The clock starts at the word, so the shell's own
    # start-up is not counted, while its fork and exec of fiskal are, as
    # Popen's would be.
    script = 'echo ready; read go; "$0" </dev/null >"$1" 2>&1 & echo $!'
    proc = subprocess.Popen(["/bin/sh", "-c", script, str(binary), str(err_path)],
                            cwd=folder, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    ready = proc.stdout.readline()
    t0 = time.monotonic()
    proc.stdin.write(b"go\n")
    proc.stdin.close()
    out = proc.stdout.read()
    proc.stdout.close()
    proc.wait()
    if ready != b"ready\n" or proc.returncode != 0 or not out.strip():
        raise BenchError(f"/bin/sh could not start {binary}")
    return int(out.split()[0]), t0


def run_once(binary: Path, version_text: bytes, items: int,
             direct: bool) -> RunResult:
    result = RunResult(expected_pauses=items + 1)
    with tempfile.TemporaryDirectory(prefix="fiskal-bench-") as tmp:
        folder = Path(tmp)
        (folder / "fiskal.txt").write_bytes(input_text(items))

        master, slave = os.openpty()
        try:
            slave_path = os.ttyname(slave)
            check_device(slave_path)
            env = {k: v for k, v in os.environ.items()
                   if not k.startswith("FISKAL_")}
            env["FISKAL_COM1"] = slave_path
            absent = str(folder / "no-such-device")
            for n in range(2, 10):
                env[f"FISKAL_COM{n}"] = absent
            # Our slave descriptor stays open for the whole run: while fiskal
            # has the port closed between texts, a master with no slave open
            # reports a hang-up (EIO) on every read and poll would spin.
            # fiskal's TIOCEXCL and flock only bar later opens and other
            # lockers, so holding it does not get in its way.
            os.set_blocking(master, False)

            chunks: list[tuple[float, bytes]] = []
            pid, t0 = start_fiskal(binary, folder, env, direct)
            try:
                pidfd = os.pidfd_open(pid)
            except OSError as e:
                os.kill(pid, signal.SIGKILL)
                os.wait4(pid, 0)
                raise BenchError(f"pidfd_open: {e}")
            t_exit = None
            deadline = t0 + PAUSE_S * (items + 1) + 30.0
            try:
                while t_exit is None:
                    timeout = deadline - time.monotonic()
                    if timeout <= 0:
                        os.kill(pid, signal.SIGKILL)
                        result.problems.append("fiskal did not finish in time; killed")
                        deadline = float("inf")
                        timeout = None
                    ready, _, _ = select.select([master, pidfd], [], [], timeout)
                    now = time.monotonic()
                    if master in ready:
                        data = read_some(master)
                        if data:
                            chunks.append((now, data))
                            hwm = read_hwm_kib(pid)
                            result.hwm_kib = max(result.hwm_kib, hwm)
                    if pidfd in ready:
                        t_exit = now
                # Whatever is still in the pty.
                while select.select([master], [], [], 0.05)[0]:
                    data = read_some(master)
                    if not data:
                        break
                    chunks.append((time.monotonic(), data))
            finally:
                os.close(pidfd)
                if t_exit is None:  # interrupted: do not wait out the run
                    os.kill(pid, signal.SIGKILL)
                _, status, usage = os.wait4(pid, 0)
        finally:
            os.close(master)
            os.close(slave)

        result.wall_s = t_exit - t0
        result.t0 = t0
        result.exit_status = os.waitstatus_to_exitcode(status)
        result.cpu_s = usage.ru_utime + usage.ru_stime
        result.maxrss_kib = usage.ru_maxrss
        try:
            result.stderr = (folder / "fiskal.stderr").read_text(errors="replace")
        except OSError:
            pass
        try:
            log = (folder / "fiskal.log").read_bytes()
        except OSError as e:
            log = None
            result.problems.append(f"fiskal.log: {e.strerror}")

    received = b"".join(data for _, data in chunks)
    problems_before = len(result.problems)
    result.texts = split_texts(chunks, version_text, result.problems)
    expected_texts = items + 3  # version, begin, items, end
    if result.texts and len(result.texts) != expected_texts:
        result.problems.append(
            f"received {len(result.texts)} texts, expected {expected_texts}")
    result.stream_ok = (len(result.problems) == problems_before
                        and len(result.texts) == expected_texts)
    if log is not None:
        want = b"".join(b'"' + t.data + b'"\r\n' for t in result.texts)
        result.transcript_ok = (
            log == want and b"".join(t.data for t in result.texts) == received)
        if not result.transcript_ok:
            result.problems.append(
                f"fiskal.log ({len(log)} bytes) does not record exactly the "
                f"{len(received)} bytes received")
    if result.exit_status != 0:
        result.problems.append(f"exit status {result.exit_status}")

    # Texts followed by a pause: the begin frame and every item frame, i.e.
    # every text but the version text and the end frame.
    texts = result.texts
    for i in range(1, len(texts) - 1):
        gap = texts[i + 1].first_s - texts[i].last_s
        result.overshoots_ms.append((gap - PAUSE_S) * 1000.0)
    return result


def split_texts(chunks: list[tuple[float, bytes]], version_text: bytes,
                problems: list[str]) -> list[Text]:
    """Splits the stream into the version text and the frames after it."""
    # Arrival time of every byte: that of the chunk it came in.
    data = bytearray()
    starts: list[int] = []
    times: list[float] = []
    for t, chunk in chunks:
        starts.append(len(data))
        times.append(t)
        data += chunk

    def time_of(offset: int) -> float:
        lo, hi = 0, len(starts) - 1
        while lo < hi:  # last chunk starting at or before offset
            mid = (lo + hi + 1) // 2
            if starts[mid] <= offset:
                lo = mid
            else:
                hi = mid - 1
        return times[lo]

    if not data.startswith(version_text):
        problems.append(f"the stream does not begin with the version text "
                        f"{version_text!r} (begins {bytes(data[:16])!r})")
        return []
    texts = [Text(version_text, time_of(0), time_of(len(version_text) - 1))]
    pos = len(version_text)
    while pos < len(data):
        if not data.startswith(FRAME_START, pos):
            problems.append(f"byte {pos}: a frame does not begin with ESC P")
            break
        end = data.find(FRAME_END, pos + len(FRAME_START))
        if end < 0:
            problems.append(f"byte {pos}: a frame is not closed with ESC \\")
            end = len(data) - len(FRAME_END)
        stop = end + len(FRAME_END)
        texts.append(Text(bytes(data[pos:stop]), time_of(pos), time_of(stop - 1)))
        pos = stop
    return texts


# --------------------------------------------------------------------------
# Report


@dataclass
class Check:
    name: str
    measured: str
    target: str
    ok: bool | None  # None: not judged


def short_pauses(overshoots_ms: list[float], jitter_ms: float) -> tuple[int, int]:
    """Pauses under 0.5 s as seen at the pseudo-terminal, and those of them
    short by more than its delivery jitter."""
    raw = sum(1 for x in overshoots_ms if x < 0)
    beyond = sum(1 for x in overshoots_ms if x < -jitter_ms)
    return raw, beyond


def checks_for(r: RunResult, direct: bool, jitter_ms: float) -> list[Check]:
    o = r.overshoots_ms
    raw, short = short_pauses(o, jitter_ms)
    med = statistics.median(o) if o else float("nan")
    peak_mb = r.maxrss_kib / 1024.0
    return [
        Check("exit status", str(r.exit_status), "0", r.exit_status == 0),
        Check("received = fiskal.log",
              "yes" if r.transcript_ok and r.stream_ok else "NO",
              "yes", r.transcript_ok and r.stream_ok),
        Check("pauses short of 0.5 s",
              f"{short} of {len(o)} ({raw - short} more under 0.5 s by at "
              f"most {jitter_ms:g} ms: the pty's jitter)" if raw > short
              else f"{short} of {len(o)}",
              "0", bool(o) and short == 0 and len(o) == r.expected_pauses),
        Check("pause overshoot (ms)",
              f"min {min(o):.3f} / median {med:.3f} / max {max(o):.3f}"
              if o else "n/a",
              f"median < {TARGET_MEDIAN_OVERSHOOT_MS:g}",
              bool(o) and med < TARGET_MEDIAN_OVERSHOOT_MS),
        Check("overhead (ms)",
              f"{r.overhead_ms:.2f} (wall {r.wall_s:.4f} s)",
              f"< {TARGET_OVERHEAD_MS:g}", r.overhead_ms < TARGET_OVERHEAD_MS),
        Check("CPU user+sys (ms)", f"{r.cpu_s * 1000:.2f}",
              f"< {TARGET_CPU_MS:g}", r.cpu_s * 1000 < TARGET_CPU_MS),
        Check("peak memory (MB)",
              f"{peak_mb:.2f} (ru_maxrss {r.maxrss_kib} KiB, "
              f"VmHWM seen {r.hwm_kib} KiB)"
              + ("; includes this script's image" if direct else ""),
              f"< {TARGET_PEAK_MB:g}",
              None if direct else peak_mb < TARGET_PEAK_MB),
    ]


def mark(ok: bool | None) -> str:
    return {True: "PASS", False: "FAIL", None: "----"}[ok]


def print_checks(checks: list[Check]) -> None:
    w = max(len(c.name) for c in checks)
    wm = max(len(c.measured) for c in checks)
    for c in checks:
        print(f"  {mark(c.ok)}  {c.name:<{w}}  {c.measured:<{wm}}  "
              f"target {c.target}")


def worst_checks(results: list[RunResult], direct: bool,
                 jitter_ms: float) -> list[Check]:
    per_run = [checks_for(r, direct, jitter_ms) for r in results]
    all_o = [x for r in results for x in r.overshoots_ms]
    medians = [statistics.median(r.overshoots_ms)
               for r in results if r.overshoots_ms]
    raw, short = short_pauses(all_o, jitter_ms)
    overheads = [r.overhead_ms for r in results]
    cpus = [r.cpu_s * 1000 for r in results]
    rss = [r.maxrss_kib / 1024 for r in results]

    def all_ok(i: int) -> bool | None:
        oks = [checks[i].ok for checks in per_run]
        return None if any(ok is None for ok in oks) else all(oks)

    def spread(values: list[float]) -> str:
        return (f"worst {max(values):.2f} (median "
                f"{statistics.median(values):.2f}, best {min(values):.2f})")

    return [
        Check("exit status", ", ".join(str(r.exit_status) for r in results),
              "0", all_ok(0)),
        Check("received = fiskal.log",
              f"{sum(r.transcript_ok and r.stream_ok for r in results)} of "
              f"{len(results)} runs", "all", all_ok(1)),
        Check("pauses short of 0.5 s",
              f"{short} of {len(all_o)} ({raw - short} more under 0.5 s by "
              f"at most {jitter_ms:g} ms: the pty's jitter)" if raw > short
              else f"{short} of {len(all_o)}", "0", all_ok(2)),
        Check("pause overshoot (ms)",
              f"min {min(all_o):.3f} / worst median {max(medians):.3f} / "
              f"max {max(all_o):.3f}" if all_o else "n/a",
              f"median < {TARGET_MEDIAN_OVERSHOOT_MS:g}", all_ok(3)),
        Check("overhead (ms)", spread(overheads),
              f"< {TARGET_OVERHEAD_MS:g}", all_ok(4)),
        Check("CPU user+sys (ms)", spread(cpus),
              f"< {TARGET_CPU_MS:g}", all_ok(5)),
        Check("peak memory (MB)", spread(rss),
              f"< {TARGET_PEAK_MB:g}", all_ok(6)),
    ]


# --------------------------------------------------------------------------


def parse_args(argv: list[str]) -> argparse.Namespace:
    summary, _, details = __doc__.partition("\n")
    parser = argparse.ArgumentParser(
        prog="bench.py", description=summary,
        epilog=details.strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", metavar="PATH",
                        help="the fiskal executable to measure (default: "
                             "build/fiskal if present, else build "
                             "build-bench/fiskal, Release)")
    parser.add_argument("--items", metavar="N", type=int, default=20,
                        help="item lines in fiskal.txt (default 20, at most "
                             f"{MAX_ITEMS})")
    parser.add_argument("--runs", metavar="R", type=int, default=1,
                        help="runs to make; the worst of them is judged "
                             "(default 1)")
    parser.add_argument("--jitter-ms", metavar="MS", type=float,
                        default=DEFAULT_JITTER_MS,
                        help="how late the pseudo-terminal may deliver a "
                             "text; a pause counts as short only when it "
                             "comes out shorter than 0.5 s by more than this "
                             f"(default {DEFAULT_JITTER_MS:g})")
    parser.add_argument("--direct", action="store_true",
                        help="start fiskal straight from subprocess.Popen, "
                             "not through /bin/sh (peak memory is then not "
                             "judged)")
    args = parser.parse_args(argv)
    if not 0 <= args.items <= MAX_ITEMS:
        parser.error(f"--items must be 0..{MAX_ITEMS}")
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    try:
        binary = find_binary(args.binary)
        version_text = version_text_of(binary)
        if not args.direct:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
                raise BenchError("prctl(PR_SET_CHILD_SUBREAPER) failed: "
                                 + os.strerror(ctypes.get_errno())
                                 + " (try --direct)")
        print(f"fiskal benchmark: {binary} (build type {build_type_of(binary)}), "
              f"{args.items} items, {args.runs} run(s), "
              f"{args.items + 1} pauses of {PAUSE_S} s each, "
              f"started {'directly' if args.direct else 'through /bin/sh'}")
        results = []
        for n in range(1, args.runs + 1):
            r = run_once(binary, version_text, args.items, args.direct)
            results.append(r)
            checks = checks_for(r, args.direct, args.jitter_ms)
            print(f"run {n}: {len(r.texts)} texts received, "
                  f"{sum(len(t.data) for t in r.texts)} bytes")
            print_checks(checks)
            print(f"        overhead split (ms): {r.overhead_split()}")
            for p in r.problems:
                print(f"    problem: {p}")
            if r.stderr.strip():
                print("    fiskal said: " + r.stderr.strip().replace("\n", "\n    "))
    except BenchError as e:
        print(f"bench: {e}", file=sys.stderr)
        return 2

    final = (checks_for(results[0], args.direct, args.jitter_ms)
             if len(results) == 1
             else worst_checks(results, args.direct, args.jitter_ms))
    if len(results) > 1:
        print(f"worst of {len(results)} runs:")
        print_checks(final)
    ok = all(c.ok is not False for c in final)
    print("ALL PASS" if ok else "SOME FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
