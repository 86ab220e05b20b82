#!/usr/bin/env python3
"""Benchmark of one fiskal run against a pseudo-terminal standing in for the printer.

Each run writes a fiskal.txt with N items into a fresh temp folder, starts
`fiskal-printer listen --once --json` there, points port 1 (FISKAL_COM1) at
the listener's pseudo-terminal and ports 2..9 at a path that does not exist,
and starts fiskal. The listener times every read and decodes the receipt; the
script takes the texts, their arrival times and the pauses from its JSON, and
decodes the listener's capture and fiskal.log with `fiskal-printer decode
--json`. From that it reports:

  pause overshoot  for the begin frame and every item frame: the time from the
                   last byte of that text to the first byte of the next one,
                   as the listener read them, less the 0.5 s pause (min /
                   median / max, and how many pauses the listener found too
                   soon)
  overhead         wall time from start to exit less the 0.5 s x (N + 1)
                   pauses the run must make, split into start to first byte,
                   between the texts, and last byte to exit
  CPU              user + system time of the fiskal process (wait4 rusage)
  peak memory      ru_maxrss of the fiskal process (wait4 rusage), with the
                   highest VmHWM read from /proc (every 50 ms) while it ran
                   beside it

and checks that the bytes the "printer" received are whole and consistent and
equal the texts recorded in fiskal.log, and that fiskal exited with status 0.

Short pauses and read jitter: a text read late makes the gap before it look
long and the one after it look short, though fiskal slept its full 0.5 s. So
whether a pause was short is the listener's verdict, which times a frame's
end from the last time it found the line quiet (a late read cannot shorten a
pause that way; see fiskal-printer --help); the report also says how many
pauses came out under 0.5 s as read. Whether the sleep itself is ever short
is better seen in fiskal's own system calls: run it under strace (see
README.md).

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

Which binaries: --binary PATH if given; else build/fiskal under the
repository root if it exists (whatever build type it was built with: the
report shows it); else the script configures and builds build-bench/ under
the repository root (Release, tests off) and uses build-bench/fiskal. The
listener: --printer PATH if given; else the fiskal-printer beside that
fiskal, else build/fiskal-printer, else build-bench/fiskal-printer (built
the same way).

Exit status: 0 when every target is met in every run, 1 otherwise, 2 when
the benchmark itself could not run (no binary, build failed, ...).
"""

from __future__ import annotations

import argparse
import ctypes
import json
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

from common import (BenchError, Check, build_type_of, decode_json, find_binary, mark,
                    text_bytes)


PAUSE_S = 0.5
FOOTER = "THANK YOU"
MAX_ITEMS = 255
# How often fiskal's peak memory is read from /proc while it runs.
HWM_EVERY_S = 0.05

# Targets.
TARGET_MEDIAN_OVERSHOOT_MS = 2.0
TARGET_OVERHEAD_MS = 20.0
TARGET_CPU_MS = 50.0
TARGET_PEAK_MB = 4.0

# Device paths the benchmark must never touch: real serial ports of the
# machine it runs on.
FORBIDDEN_DEVICE_PREFIXES = ("/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM")

PR_SET_CHILD_SUBREAPER = 36


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
    too_soon: int = 0  # pauses the listener found too soon
    problems: list[str] = field(default_factory=list)
    stream_ok: bool = False      # a whole, consistent receipt of N items
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


def run_once(binary: Path, printer: Path, items: int, direct: bool) -> RunResult:
    result = RunResult(expected_pauses=items + 1)
    with tempfile.TemporaryDirectory(prefix="fiskal-bench-") as tmp:
        folder = Path(tmp)
        (folder / "fiskal.txt").write_bytes(input_text(items))
        link = folder / "com1"
        capture = folder / "capture.bin"

        # The listener holds its own end of the line open for the whole
        # run, so fiskal's closing the port between texts never hangs it
        # up; it exits after the end frame, once fiskal has closed the port.
        listener = subprocess.Popen(
            [str(printer), "listen", "--once", "--json", "--link", str(link),
             "--capture", str(capture)],
            cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        try:
            ready = listener.stderr.readline()
            if not ready.startswith(b"listening on "):
                raise BenchError("fiskal-printer listen did not start: "
                                 + ready.decode(errors="replace").strip())
            check_device(str(link))
            env = {k: v for k, v in os.environ.items()
                   if not k.startswith("FISKAL_")}
            env["FISKAL_COM1"] = str(link)
            absent = str(folder / "no-such-device")
            for n in range(2, 10):
                env[f"FISKAL_COM{n}"] = absent

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
                    if time.monotonic() > deadline:
                        os.kill(pid, signal.SIGKILL)
                        result.problems.append("fiskal did not finish in time; killed")
                        deadline = float("inf")
                    ready_fds, _, _ = select.select([pidfd], [], [], HWM_EVERY_S)
                    now = time.monotonic()
                    if ready_fds:
                        t_exit = now
                    else:
                        result.hwm_kib = max(result.hwm_kib, read_hwm_kib(pid))
            finally:
                os.close(pidfd)
                if t_exit is None:  # interrupted: do not wait out the run
                    os.kill(pid, signal.SIGKILL)
                _, status, usage = os.wait4(pid, 0)
            try:
                out, err = listener.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                out, err = b"", b"no end frame came"
        finally:
            if listener.poll() is None:
                listener.kill()
                listener.communicate()

        result.wall_s = t_exit - t0
        result.t0 = t0
        result.exit_status = os.waitstatus_to_exitcode(status)
        result.cpu_s = usage.ru_utime + usage.ru_stime
        result.maxrss_kib = usage.ru_maxrss
        try:
            result.stderr = (folder / "fiskal.stderr").read_text(errors="replace")
        except OSError:
            pass

        heard = json.loads(out) if out.strip() else None
        if heard is None:
            result.problems.append("the listener heard no whole receipt: "
                                   + err.decode(errors="replace").strip())
        else:
            result.texts = [Text(text_bytes(t), t["first"], t["last"])
                            for t in heard["texts"]]
            for pause in heard["pauses"]:
                result.overshoots_ms.append((pause["seconds"] - PAUSE_S) * 1000.0)
                result.too_soon += pause["too_soon"]

        received = decode_json(printer, capture)
        expected_texts = items + 3  # version, begin, items, end
        result.problems += received["problems"]
        result.stream_ok = (received["ok"]
                            and len(received["texts"]) == expected_texts
                            and len(received["items"]) == items)
        if not result.stream_ok and received["ok"]:
            result.problems.append(f"received {len(received['texts'])} texts, "
                                   f"expected {expected_texts}")
        if (folder / "fiskal.log").exists():
            log = decode_json(printer, folder / "fiskal.log")
            result.transcript_ok = (
                log["format"] == "transcript"
                and [text_bytes(t) for t in log["texts"]]
                == [text_bytes(t) for t in received["texts"]])
            if not result.transcript_ok:
                result.problems.append(
                    f"fiskal.log ({len(log['texts'])} texts) does not record "
                    f"exactly the {len(received['texts'])} texts received")
        else:
            result.problems.append("fiskal.log: missing")
    if result.exit_status != 0:
        result.problems.append(f"exit status {result.exit_status}")
    return result


# --------------------------------------------------------------------------
# Report


def short_pauses(too_soon: int, overshoots_ms: list[float]) -> str:
    """The pauses the listener found too soon, and how many more came out
    under 0.5 s as read (a late read of a frame's end does that)."""
    under = sum(1 for x in overshoots_ms if x < 0)
    more = under - too_soon
    return (f"{too_soon} of {len(overshoots_ms)}"
            + (f" ({more} more under 0.5 s as read, not too soon by the "
               f"listener's timing)" if more > 0 else ""))


def checks_for(r: RunResult, direct: bool) -> list[Check]:
    o = r.overshoots_ms
    med = statistics.median(o) if o else float("nan")
    peak_mb = r.maxrss_kib / 1024.0
    return [
        Check("exit status", str(r.exit_status), "0", r.exit_status == 0),
        Check("received = fiskal.log",
              "yes" if r.transcript_ok and r.stream_ok else "NO",
              "yes", r.transcript_ok and r.stream_ok),
        Check("pauses short of 0.5 s", short_pauses(r.too_soon, o),
              "0", bool(o) and r.too_soon == 0 and len(o) == r.expected_pauses),
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


def print_checks(checks: list[Check]) -> None:
    w = max(len(c.name) for c in checks)
    wm = max(len(c.measured) for c in checks)
    for c in checks:
        print(f"  {mark(c.ok)}  {c.name:<{w}}  {c.measured:<{wm}}  "
              f"target {c.target}")


def worst_checks(results: list[RunResult], direct: bool) -> list[Check]:
    per_run = [checks_for(r, direct) for r in results]
    all_o = [x for r in results for x in r.overshoots_ms]
    medians = [statistics.median(r.overshoots_ms)
               for r in results if r.overshoots_ms]
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
              short_pauses(sum(r.too_soon for r in results), all_o),
              "0", all_ok(2)),
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
    parser.add_argument("--printer", metavar="PATH",
                        help="the fiskal-printer that listens and decodes "
                             "(default: the one beside fiskal, else "
                             "build/fiskal-printer, else build "
                             "build-bench/fiskal-printer)")
    parser.add_argument("--items", metavar="N", type=int, default=20,
                        help="item lines in fiskal.txt (default 20, at most "
                             f"{MAX_ITEMS})")
    parser.add_argument("--runs", metavar="R", type=int, default=1,
                        help="runs to make; the worst of them is judged "
                             "(default 1)")
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
        binary = find_binary(args.binary, "fiskal")
        printer = find_binary(args.printer, "fiskal-printer", beside=binary)
        if not args.direct:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
                raise BenchError("prctl(PR_SET_CHILD_SUBREAPER) failed: "
                                 + os.strerror(ctypes.get_errno())
                                 + " (try --direct)")
        print(f"fiskal benchmark: {binary} (build type {build_type_of(binary)}), "
              f"{args.items} items, {args.runs} run(s), "
              f"{args.items + 1} pauses of {PAUSE_S} s each, "
              f"started {'directly' if args.direct else 'through /bin/sh'}, "
              f"heard by {printer}")
        results = []
        for n in range(1, args.runs + 1):
            r = run_once(binary, printer, args.items, args.direct)
            results.append(r)
            checks = checks_for(r, args.direct)
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

    final = (checks_for(results[0], args.direct)
             if len(results) == 1
             else worst_checks(results, args.direct))
    if len(results) > 1:
        print(f"worst of {len(results)} runs:")
        print_checks(final)
    ok = all(c.ok is not False for c in final)
    print("ALL PASS" if ok else "SOME FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
