#!/usr/bin/env python3
"""Benchmark of fiskald, the receipt service, on loopback.

Every fiskald the script starts listens on 127.0.0.1 on a port the system
gives, keeps its journal in a temp folder of its own, has FISKAL_COM1..9
pointing at a path that does not exist and FISKAL_LOCK_DIR at the temp
folder, and gets log-only (port 0) receipts only: no serial device is ever
opened. The script kills every fiskald it started when it ends, also on
failure or Ctrl+C (and the kernel does, through PR_SET_PDEATHSIG, should
the script itself be killed).

  paced    --clients keep-alive HTTP clients (threads, spread over
           --processes processes) post log-only receipts of --items items,
           each with a fresh Idempotency-Key, for --seconds, on a fixed
           schedule that offers --rate receipts per second in all (default:
           the target, 300): accepted receipts per second (201s), POST
           latency p50/p99 (sent to answered), every answer other than 201,
           and the CPU time fiskald and the clients spent
  flat-out clients that each post again as soon as they have their answer:
           the receipts per second fiskald accepts until its queue (10000 per
           port; log-only receipts print at about 2 s each) is full, what it
           answers then, the latency (with every client waiting on its
           answer, latency is clients / rate: it is reported, and judged in
           the paced run only), and memory: fiskald's VmRSS and VmHWM
           (/proc/PID/status) after the load. The clients are wrk (one
           thread, --clients connections, a Lua script for fresh keys; the
           run ends at the first 503) when it is installed, else the Python
           clients of the paced run (--flat-out-client): Python clients
           take about as much CPU per request as fiskald, so on 2 cores
           they halve what fiskald can show
  idle     a fresh fiskald with nothing queued: its CPU time (utime+stime,
           /proc/PID/stat) and the context switches of all its threads over
           --idle-seconds; no polling means no measurable CPU. Then the
           same over --quiet-seconds with --quiet-connections keep-alive
           connections open and quiet (one GET each first): nothing but
           their timers (fiskald closes a quiet kept connection after 5 s)
  soak     --kills SIGKILLs of fiskald at random moments while a client posts
           log-only receipts (0 or 1 items) and retries each one, same key and
           body, until it gets 201 or 200; fiskald is restarted on the same
           journal after each kill. Then a final start, a wait until nothing
           is queued or sending, and the journal is checked through the API:
           every acknowledged receipt is there (lost), no key has two
           receipts (duplicates), every receipt ended printed or in_doubt (or
           not_sent/cut with a reason), the transcript of every printed
           receipt is its texts exactly once, and every receipt once seen
           in_doubt stayed in_doubt with the texts it had then (never sent
           again); log-only receipts go out one at a time, so a kill leaves
           at most one receipt in_doubt

  memory   the largest bodies fiskald refuses, side by side, for
           --memory-rounds rounds (each: --memory-json JSON receipts of
           10 000 items, refused at the 256th; 2 chunked bodies of 16 MiB,
           refused past 1 MiB; 2 requests with 40 MB of header, refused past
           16 KiB), then --memory-lists whole lists (every page) of
           --memory-receipts receipts of 1 MiB: fiskald's VmRSS at the start
           and the end, and its peak (VmHWM, reset at the start)

Kill moments in the soak, drawn at random for each kill: "anytime" (uniform
over 0.05..2 s after fiskald is ready: mostly while a receipt is being sent),
"post" (0..4 ms after the client has started a POST: in the accept path,
before or after the commit) and "startup" (0..40 ms after the start: before
or during the recovery that marks interrupted receipts in_doubt).

The client posts only while fiskald's queue (GET /metrics) is shorter than
--backlog receipts, so the printing that follows the last kill stays short:
log-only receipts are paced like real ones (0.5 s after the begin frame and
after each item frame).

This is a benchmark, not a test: it is not part of the CTest suite.

Which binary: --binary PATH if given; else the script configures and builds
build-bench/ under the repository root (Release, tests off; a no-op when it
is up to date) and uses build-bench/fiskald.

Exit status: 0 when every figure meets its target, 1 otherwise, 2 when the
benchmark itself could not run (no binary, build failed, fiskald did not
start, ...).
"""

from __future__ import annotations

import argparse
import http.client
import json
import multiprocessing
import os
import random
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

from common import (HOST, IN_DOUBT, LIST_LIMIT, REQUEST_TIMEOUT_S, BenchError, build_type_of,
                    Check, context_switches, cpu_ticks, decode_json, fetch_all_receipts,
                    find_binary, Fiskald, get_json, Interrupted, kill_all, latency_text, metrics,
                    note, percentile, print_checks, request, status_kib, text_bytes)


CLK_TCK = os.sysconf("SC_CLK_TCK")
CORES = os.cpu_count() or 1

# Targets (this 2-core machine).
TARGET_RATE = 300.0        # accepted receipts per second
TARGET_P99_MS = 20.0       # POST latency, 99th percentile
TARGET_RSS_MB = 30.0       # VmRSS and VmHWM after the load
TARGET_IDLE_TICKS = 1      # clock ticks over --idle-seconds while idle

TARGET_QUIET_TICKS = 1     # the same with the quiet connections open


EXPECTED_LINES = re.compile(
    r"^fiskald: (listening on |\d+ receipt\(s\) were being sent|stopping: |stopped)")


# --------------------------------------------------------------------------
# The binary


def version_of(binary: Path) -> str:
    try:
        done = subprocess.run([str(binary), "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=10)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise BenchError(f"{binary} --version: {e}")
    out = done.stdout.decode(errors="replace").strip()
    if done.returncode != 0 or not out.startswith("fiskald "):
        raise BenchError(f"{binary} --version: unexpected answer {out!r} "
                         f"(exit status {done.returncode})")
    return out


# --------------------------------------------------------------------------
# fiskald processes

# --------------------------------------------------------------------------
# /proc


def machine_ticks() -> tuple[int, int]:
    """Busy and total clock ticks of all cores since boot (/proc/stat)."""
    with open("/proc/stat", "rb") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle, iowait
    total = sum(fields[:8])       # guest time is counted in user already
    return total - idle, total


def wait_quiet(max_s: float) -> str:
    """Waits until the machine has been at most 10% busy for 2 s, for at
    most max_s seconds; says how busy it was."""
    deadline = time.monotonic() + max_s
    samples: list[tuple[int, int]] = [machine_ticks()]
    while True:
        time.sleep(1.0)
        samples.append(machine_ticks())
        if len(samples) >= 3:
            (b0, t0), (b1, t1) = samples[-3], samples[-1]
            busy = (b1 - b0) / max(t1 - t0, 1)
            if busy <= 0.10:
                return f"quiet ({busy * 100:.0f}% busy over 2 s)"
            if time.monotonic() >= deadline:
                return f"still {busy * 100:.0f}% busy after waiting {max_s:g} s"


# --------------------------------------------------------------------------
# HTTP


def receipt_body(items: int, salt: int = 0) -> bytes:
    names = ["BREAD", "MILK", "APPLES", "BUTTER", "CHEESE", "EGGS"]
    body = {"port": 0, "footer": "THANK YOU", "items": [
        {"name": names[(i + salt) % len(names)], "tax": str(i % 7 + 1),
         "quantity": f"{1 + i % 3}.{25 * (i % 4):02d}",
         "price": f"{2 + (i + salt) % 9}.{(49 * (i + 1)) % 100:02d}"}
        for i in range(items)]}
    return json.dumps(body).encode()


def post_headers(key: str) -> dict[str, str]:
    return {"Idempotency-Key": key, "Content-Type": "application/json"}


def pending(m: dict[str, float]) -> int:
    """Receipts queued or sending, by the journal."""
    return int(m.get('fiskald_receipts{state="queued"}', 0)
               + m.get('fiskald_receipts{state="sending"}', 0))


# --------------------------------------------------------------------------
# Load: client processes


def load_process(port: int, proc_index: int, threads: int, items: int,
                 start_at: float, seconds: float, rate: float, tag: str) -> dict:
    """One client process: `threads` threads, each with its own keep-alive
    connection, posting from `start_at` (CLOCK_MONOTONIC, the same clock in
    every process) for `seconds`. With `rate` 0 each thread posts again as
    soon as it has its answer; else each thread posts `rate` receipts per
    second on a fixed schedule (a random phase per thread), late ones at
    once. Returns every request as (scheduled, sent, answered, status),
    connection errors and the process's CPU time."""
    body = receipt_body(items)
    end_at = start_at + seconds
    results: list[dict] = []

    def client(t: int) -> None:
        out = {"requests": [], "errors": Counter(), "samples": {}}
        results.append(out)
        rng = random.Random(proc_index * 1000 + t)
        interval = 1.0 / rate if rate > 0 else 0.0
        scheduled = start_at + rng.uniform(0, interval)
        conn = http.client.HTTPConnection(HOST, port, timeout=REQUEST_TIMEOUT_S)
        try:
            conn.connect()
        except OSError as e:
            out["errors"][f"connect: {type(e).__name__}"] += 1
        n = 0
        while scheduled < end_at:
            now = time.monotonic()
            if scheduled > now:
                time.sleep(scheduled - now)
            t0 = time.monotonic()
            if rate <= 0:
                scheduled = t0
                if t0 >= end_at:
                    break
            key = f"{tag}-{proc_index}-{t}-{n}"
            n += 1
            try:
                conn.request("POST", "/v1/receipts", body=body, headers=post_headers(key))
                r = conn.getresponse()
                data = r.read()
            except (OSError, http.client.HTTPException) as e:
                out["errors"][type(e).__name__] += 1
                conn.close()
                scheduled += interval
                continue
            t1 = time.monotonic()
            out["requests"].append((scheduled, t0, t1, r.status))
            if r.status != 201:
                out["samples"].setdefault(r.status, data[:300].decode(errors="replace"))
            scheduled += interval
        conn.close()

    before = resource.getrusage(resource.RUSAGE_SELF)
    workers = [threading.Thread(target=client, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    after = resource.getrusage(resource.RUSAGE_SELF)
    merged = {"requests": [], "errors": Counter(), "samples": {},
              "cpu_s": (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)}
    for r in results:
        merged["requests"] += r["requests"]
        merged["errors"].update(r["errors"])
        for k, v in r["samples"].items():
            merged["samples"].setdefault(k, v)
    return merged


# --------------------------------------------------------------------------
# Report


# --------------------------------------------------------------------------
# 1 + 2: load and memory

QUEUE_FULL = "the queue of port"  # the detail of a 503 for a full queue
QUEUE_LIMIT = 10000               # receipts queued or sending per port


@dataclass
class LoadRun:
    requests: list[tuple[float, float, float, int]]  # scheduled, sent, answered, status
    errors: Counter
    samples: dict[int, str]
    start_at: float
    client_cpu_s: float
    server_cpu_s: float
    machine_busy_s: float  # all cores, everything, over the load
    mem: dict[str, int]
    metrics: dict[str, float]
    stop_status: int | None
    stop_s: float
    said: list[str]


def load_once(args, binary: Path, tmp: Path, name: str, rate_per_client: float) -> LoadRun:
    folder = tmp / name
    folder.mkdir()
    d = Fiskald(binary, folder)
    d.start()
    processes = args.processes
    per_proc = [args.clients // processes + (1 if i < args.clients % processes else 0)
                for i in range(processes)]
    offered = ("as fast as each gets its answers" if rate_per_client <= 0 else
               f"{rate_per_client * args.clients:g} receipts/s offered in all "
               f"({rate_per_client:g}/s each, fixed schedule)")
    print(f"load, {name}: {args.clients} clients ({' + '.join(map(str, per_proc))} threads "
          f"in {processes} process(es)), {offered}, {args.items} items per receipt, "
          f"{args.seconds:g} s, fiskald pid {d.pid} on {HOST}:{d.port}", flush=True)
    try:
        ctx = multiprocessing.get_context("spawn")
        with ctx.Pool(processes) as pool:
            # The workers are up (this script imported) before the clock runs.
            pool.map(abs, range(processes), chunksize=1)
            start_at = time.monotonic() + 1.0
            jobs = [pool.apply_async(load_process,
                                     (d.port, i, per_proc[i], args.items, start_at,
                                      args.seconds, rate_per_client, name))
                    for i in range(processes)]
            while time.monotonic() < start_at:
                time.sleep(0.01)
            ticks0 = cpu_ticks(d.pid)
            busy0, _ = machine_ticks()
            results = [j.get(timeout=args.seconds + 2 * REQUEST_TIMEOUT_S + 30)
                     for j in jobs]
            ticks1 = cpu_ticks(d.pid)
            busy1, _ = machine_ticks()
        mem = status_kib(d.pid)
        m = metrics(d.port)
        stop_status, stop_s = d.stop()
    finally:
        d.kill()
    samples: dict[int, str] = {}
    for p in results:
        for k, v in p["samples"].items():
            samples.setdefault(k, v)
    return LoadRun(requests=[r for p in results for r in p["requests"]],
                   errors=sum((p["errors"] for p in results), Counter()),
                   samples=samples, start_at=start_at,
                   client_cpu_s=sum(p["cpu_s"] for p in results),
                   server_cpu_s=(ticks1 - ticks0) / CLK_TCK,
                   machine_busy_s=(busy1 - busy0) / CLK_TCK, mem=mem, metrics=m,
                   stop_status=stop_status, stop_s=stop_s, said=d.unexpected_lines(EXPECTED_LINES))


def load_notes(args, run: LoadRun, window: float) -> None:
    answers = len(run.requests)
    accepted = sum(1 for r in run.requests if r[3] == 201)
    note(f"CPU: fiskald {run.server_cpu_s:.2f} s ({run.server_cpu_s / window * 100:.0f}% of "
         f"one core, {run.server_cpu_s / max(answers, 1) * 1e6:.0f} us per answer); the "
         f"clients {run.client_cpu_s:.2f} s ({run.client_cpu_s / window * 100:.0f}% of one "
         f"core, {run.client_cpu_s / max(answers, 1) * 1e6:.0f} us per request); the "
         f"whole machine {run.machine_busy_s:.2f} s of {window * CORES:.2f} ({CORES} cores), "
         f"so other work took about "
         f"{max(0.0, run.machine_busy_s - run.server_cpu_s - run.client_cpu_s):.2f} s")
    for s, text in sorted(run.samples.items()):
        note(f"a {s} answer: {text}")
    in_journal = int(sum(v for k, v in run.metrics.items()
                         if k.startswith("fiskald_receipts{")))
    note(f"after the load: {in_journal} receipts in the journal ({accepted} answered 201), "
         f"{pending(run.metrics)} queued or sending (paced: about "
         f"{0.5 * (args.items + 1):g} s each); fiskald VmRSS {run.mem['VmRSS'] / 1024:.1f} MB, "
         f"VmHWM {run.mem['VmHWM'] / 1024:.1f} MB; SIGTERM stopped it in {run.stop_s:.2f} s, "
         f"exit status {run.stop_status}")
    for line in run.said:
        note(f"fiskald said: {line}")


def run_paced(args, binary: Path, tmp: Path) -> list[Check]:
    """At the target rate: is every receipt taken, and how fast is the
    answer?"""
    rate = args.rate / args.clients
    run = load_once(args, binary, tmp, "paced", rate)
    reqs = run.requests
    accepted = [r for r in reqs if r[3] == 201]
    window = max([r[2] for r in reqs], default=run.start_at + args.seconds) - run.start_at
    got = len(accepted) / window
    service_ms = [(r[2] - r[1]) * 1000 for r in accepted]
    late_ms = [(r[1] - r[0]) * 1000 for r in reqs]
    others = Counter(r[3] for r in reqs if r[3] != 201)
    errs = ", ".join(f"{e}: {n}" for e, n in sorted(run.errors.items()))
    paced = [
        Check("accepted (201) per second", f"{got:.1f} ({len(accepted)} in {window:.2f} s; "
              f"{args.rate:g}/s offered)", f">= {TARGET_RATE:g}",
              # The window ends with the last answer, a little after the
              # last send: judged as shown, to a tenth.
              round(got, 1) >= TARGET_RATE),
        Check("POST latency of 201s (ms)", latency_text(service_ms),
              f"p99 < {TARGET_P99_MS:g}",
              bool(service_ms) and percentile(service_ms, 99) < TARGET_P99_MS),
        Check("answers other than 201", f"{len(reqs) - len(accepted)} of {len(reqs)}"
              + "".join(f", {s}: {n}" for s, n in sorted(others.items())), "0",
              not others),
        Check("connection errors", str(sum(run.errors.values()))
              + (f" ({errs})" if errs else ""), "0", not run.errors),
    ]
    print_checks(paced)
    note(f"sends late on their schedule (ms): {latency_text(late_ms)}; latency from the "
         f"schedule: {latency_text([(r[2] - r[0]) * 1000 for r in accepted])}")
    load_notes(args, run, window)
    return paced


WRK_SCRIPT = r"""-- Written by bench/service.py: a fresh Idempotency-Key per request,
-- answers counted by status. The first 503 (the port's queue is full; from
-- then on fiskald only refuses) is announced, and the script stops wrk
-- with SIGINT, which ends the run and its clock there.
local counter = 0
local threads = {}
statuses = {}
wrk.method = "POST"
wrk.body = [==[BODY]==]
wrk.headers["Content-Type"] = "application/json"

function setup(thread)
  thread:set("tid", #threads)
  table.insert(threads, thread)
end

function request()
  counter = counter + 1
  wrk.headers["Idempotency-Key"] = "flat-" .. tid .. "-" .. counter
  return wrk.format()
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  if status == 503 and not announced then
    announced = true
    io.write("bench full\n")
    io.flush()
  end
end

function done(summary, latency, requests)
  local all = {}
  for _, t in ipairs(threads) do
    for k, v in pairs(t:get("statuses")) do all[k] = (all[k] or 0) + v end
  end
  for k, v in pairs(all) do io.write(string.format("bench status %d %d\n", k, v)) end
  local e = summary.errors
  io.write(string.format("bench duration_us %d\n", summary.duration))
  io.write(string.format("bench errors %d %d %d %d\n", e.connect, e.read, e.write, e.timeout))
  io.write(string.format("bench latency_us %d %d %d\n", latency:percentile(50),
                         latency:percentile(99), latency.max))
end
"""


def run_flat_out_wrk(args, binary: Path, tmp: Path, wrk: str) -> list[Check]:
    """The flat-out load with wrk: one thread, --clients connections, each
    sending again as soon as it has its answer, until the first 503."""
    folder = tmp / "flat-out"
    folder.mkdir()
    lua = folder / "post.lua"
    lua.write_text(WRK_SCRIPT.replace("BODY", receipt_body(args.items).decode()))
    d = Fiskald(binary, folder)
    d.start()
    print(f"load, flat-out: wrk, 1 thread, {args.clients} connections, each sending again as "
          f"soon as it has its answer, until the first 503 or {max(1, round(args.seconds))} s, "
          f"{args.items} items per receipt, fiskald pid {d.pid} on {HOST}:{d.port}", flush=True)
    try:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        ticks0 = cpu_ticks(d.pid)
        busy0, _ = machine_ticks()
        proc = subprocess.Popen(
            [wrk, "-t1", f"-c{args.clients}", f"-d{max(1, round(args.seconds))}s",
             f"--timeout={REQUEST_TIMEOUT_S:g}s", "-s", str(lua),
             f"http://{HOST}:{d.port}/v1/receipts"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        watchdog = threading.Timer(args.seconds + 60, proc.kill)
        watchdog.start()
        lines = []
        try:
            for raw in proc.stdout:
                line = raw.decode(errors="replace").rstrip("\n")
                lines.append(line)
                if line == "bench full" and proc.poll() is None:
                    proc.send_signal(signal.SIGINT)
            returncode = proc.wait()
        finally:
            watchdog.cancel()
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        ticks1 = cpu_ticks(d.pid)
        busy1, _ = machine_ticks()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        mem = status_kib(d.pid)
        m = metrics(d.port)
        stop_status, stop_s = d.stop()
    finally:
        d.kill()
    out = "\n".join(lines)
    statuses: Counter = Counter()
    duration = lat = errors = None
    for line in out.splitlines():
        f = line.split()
        if f[:2] == ["bench", "status"]:
            statuses[int(f[2])] += int(f[3])
        elif f[:2] == ["bench", "duration_us"]:
            duration = int(f[2]) / 1e6
        elif f[:2] == ["bench", "errors"]:
            errors = dict(zip(("connect", "read", "write", "timeout"), map(int, f[2:6])))
        elif f[:2] == ["bench", "latency_us"]:
            lat = [int(x) / 1000 for x in f[2:5]]
    if returncode != 0 or duration is None or lat is None or errors is None:
        raise BenchError(f"wrk failed (exit status {returncode}):\n{out.strip()}")
    accepted = statuses.get(201, 0)
    in_journal = int(sum(v for k, v in m.items() if k.startswith("fiskald_receipts{")))
    full = statuses.get(503, 0) > 0 and pending(m) >= QUEUE_LIMIT
    others = {s: n for s, n in statuses.items() if s != 201 and not (s == 503 and full)}
    n_errors = sum(errors.values())
    wrk_cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    server_cpu = (ticks1 - ticks0) / CLK_TCK
    machine = (busy1 - busy0) / CLK_TCK
    rate = accepted / duration if duration > 0 else 0.0
    checks = [
        Check("accepted (201) per second until the queue was full" if full else
              "accepted (201) per second", f"{rate:.1f} ({accepted} in {duration:.2f} s)",
              f">= {TARGET_RATE:g}", rate >= TARGET_RATE),
        Check("POST latency (ms)", f"p50 {lat[0]:.2f} / p99 {lat[1]:.2f} / max {lat[2]:.2f}",
              f"(p99 < {TARGET_P99_MS:g} is judged at the offered rate above)", None),
        Check("other answers than 201 and queue-full 503",
              f"{sum(others.values())}" + "".join(f", {s}: {n}" for s, n in sorted(others.items())),
              "0", not others),
        Check("connection errors", f"{n_errors}" + (" (" + ", ".join(
              f"{k} {v}" for k, v in errors.items() if v) + ")" if n_errors else ""),
              "0", n_errors == 0),
        Check("fiskald VmRSS after the load (MB)",
              f"{mem['VmRSS'] / 1024:.1f} (anon {mem['RssAnon'] / 1024:.1f}, file "
              f"{mem['RssFile'] / 1024:.1f}; {mem['Threads']} threads)",
              f"< {TARGET_RSS_MB:g}", mem["VmRSS"] / 1024 < TARGET_RSS_MB),
        Check("fiskald VmHWM after the load (MB)", f"{mem['VmHWM'] / 1024:.1f}",
              f"< {TARGET_RSS_MB:g}", mem["VmHWM"] / 1024 < TARGET_RSS_MB),
    ]
    print_checks(checks)
    if full:
        note(f"wrk was stopped at the first 503: the queue was full ({pending(m)} queued or "
             f"sending; the limit is {QUEUE_LIMIT} per port)")
    note(f"CPU: fiskald {server_cpu:.2f} s ({server_cpu / duration * 100:.0f}% of one core, "
         f"{server_cpu / max(accepted, 1) * 1e6:.0f} us per accepted receipt); wrk "
         f"{wrk_cpu:.2f} s ({wrk_cpu / duration * 100:.0f}% of one core); the whole machine "
         f"{machine:.2f} s of {duration * CORES:.2f} ({CORES} cores), so other work took "
         f"about {max(0.0, machine - server_cpu - wrk_cpu):.2f} s")
    note(f"after the load: {in_journal} receipts in the journal ({accepted} answered 201), "
         f"{pending(m)} queued or sending; SIGTERM stopped fiskald in {stop_s:.2f} s, "
         f"exit status {stop_status}")
    for line in d.unexpected_lines(EXPECTED_LINES):
        note(f"fiskald said: {line}")
    return checks


def run_flat_out(args, binary: Path, tmp: Path) -> list[Check]:
    """As fast as the clients go: how many receipts per second fiskald takes
    until its queue is full, what it answers then, and its memory after."""
    wrk = shutil.which("wrk") if args.flat_out_client in ("auto", "wrk") else None
    if args.flat_out_client == "wrk" and wrk is None:
        raise BenchError("--flat-out-client wrk: wrk is not installed (apt-get install wrk)")
    if wrk is not None:
        return run_flat_out_wrk(args, binary, tmp, wrk)
    run = load_once(args, binary, tmp, "flat-out", 0.0)
    reqs = sorted(run.requests, key=lambda r: r[2])
    accepted = [r for r in reqs if r[3] == 201]
    full = [r for r in reqs if r[3] == 503 and QUEUE_FULL in run.samples.get(503, "")]
    others = Counter(r[3] for r in reqs if r[3] not in (201, 503))
    unexplained_503 = sum(1 for r in reqs if r[3] == 503) - len(full)
    window = max([r[2] for r in reqs], default=run.start_at + args.seconds) - run.start_at
    first_full = min((r[2] for r in full), default=None)
    before_full = [r for r in accepted if first_full is None or r[2] <= first_full]
    span = (first_full if first_full is not None else reqs[-1][2] if reqs
            else run.start_at + args.seconds) - run.start_at
    capacity = len(before_full) / span if span > 0 else 0.0
    per_second = Counter(int(r[2] - run.start_at) for r in accepted)
    service_ms = [(r[2] - r[1]) * 1000 for r in accepted]
    errs = ", ".join(f"{e}: {n}" for e, n in sorted(run.errors.items()))
    flat = [
        Check("accepted (201) per second until the queue was full",
              f"{capacity:.1f} ({len(before_full)} in {span:.2f} s)", f">= {TARGET_RATE:g}",
              capacity >= TARGET_RATE),
        Check("accepted (201) per second over the run",
              f"{len(accepted) / window:.1f} ({len(accepted)} in {window:.2f} s)", "", None),
        Check("POST latency of 201s (ms)", latency_text(service_ms),
              f"(p99 < {TARGET_P99_MS:g} is judged at the offered rate above)", None),
        Check("503: queue full", f"{len(full)} of {len(reqs)} answers"
              + (f", the first {first_full - run.start_at:.2f} s in" if full else ""),
              "", None),
        Check("other answers than 201 and queue-full 503",
              f"{sum(others.values()) + unexplained_503}"
              + "".join(f", {s}: {n}" for s, n in sorted(others.items())), "0",
              not others and unexplained_503 == 0),
        Check("connection errors", str(sum(run.errors.values()))
              + (f" ({errs})" if errs else ""), "0", not run.errors),
        Check("fiskald VmRSS after the load (MB)",
              f"{run.mem['VmRSS'] / 1024:.1f} (anon {run.mem['RssAnon'] / 1024:.1f}, file "
              f"{run.mem['RssFile'] / 1024:.1f}; {run.mem['Threads']} threads)",
              f"< {TARGET_RSS_MB:g}", run.mem["VmRSS"] / 1024 < TARGET_RSS_MB),
        Check("fiskald VmHWM after the load (MB)", f"{run.mem['VmHWM'] / 1024:.1f}",
              f"< {TARGET_RSS_MB:g}", run.mem["VmHWM"] / 1024 < TARGET_RSS_MB),
    ]
    print_checks(flat)
    note("201s in each second: " + " ".join(str(per_second.get(s, 0))
                                            for s in range(int(window) + 1)))
    if full:
        note(f"latency of the queue-full 503s (ms): "
             f"{latency_text([(r[2] - r[1]) * 1000 for r in full])}")
    load_notes(args, run, window)
    return flat


# --------------------------------------------------------------------------
# 3: idle


def run_idle(args, binary: Path, tmp: Path) -> list[Check]:
    folder = tmp / "idle"
    folder.mkdir()
    d = Fiskald(binary, folder)
    d.start()
    print(f"idle: fresh fiskald pid {d.pid}, nothing queued, {args.idle_seconds:g} s "
          f"after 1 s to settle", flush=True)
    try:
        time.sleep(1.0)
        t0 = cpu_ticks(d.pid)
        c0 = context_switches(d.pid)
        threads = status_kib(d.pid)["Threads"]
        time.sleep(args.idle_seconds)
        t1 = cpu_ticks(d.pid)
        c1 = context_switches(d.pid)
        # Then the same with quiet connections: one GET each on a
        # keep-alive connection, then nothing. fiskald closes each after
        # its 5 s; the closing is timers, all that may cost anything.
        conns = []
        try:
            for _ in range(args.quiet_connections):
                c = http.client.HTTPConnection(HOST, d.port, timeout=REQUEST_TIMEOUT_S)
                c.request("GET", "/healthz")
                c.getresponse().read()
                conns.append(c)
            k0, kc0 = cpu_ticks(d.pid), context_switches(d.pid)
            time.sleep(args.quiet_seconds)
            k1, kc1 = cpu_ticks(d.pid), context_switches(d.pid)
        finally:
            for c in conns:
                c.close()
        stop_status, stop_s = d.stop()
    finally:
        d.kill()
    ticks = t1 - t0
    checks = [
        Check("idle CPU (utime+stime)",
              f"{ticks} tick(s) = {ticks * 1000 / CLK_TCK:.0f} ms in {args.idle_seconds:g} s",
              f"<= {TARGET_IDLE_TICKS} tick ({1000 / CLK_TCK:.0f} ms)",
              ticks <= TARGET_IDLE_TICKS),
        Check("idle context switches (all threads)",
              f"{c1 - c0} in {args.idle_seconds:g} s ({threads} threads)", "", None),
        Check(f"idle with {args.quiet_connections} quiet keep-alive connections",
              f"{k1 - k0} tick(s) = {(k1 - k0) * 1000 / CLK_TCK:.0f} ms, {kc1 - kc0} context "
              f"switches in {args.quiet_seconds:g} s",
              f"<= {TARGET_QUIET_TICKS} tick (their close timers)",
              k1 - k0 <= TARGET_QUIET_TICKS),
    ]
    print_checks(checks)
    note(f"SIGTERM stopped the idle fiskald in {stop_s:.2f} s, exit status {stop_status}")
    for line in d.unexpected_lines(EXPECTED_LINES):
        note(f"fiskald said: {line}")
    return checks


# --------------------------------------------------------------------------
# 4: kill soak


@dataclass
class Posted:
    key: str
    items: int
    body: bytes
    id: int | None = None
    first_status: int | None = None  # the status that acknowledged it
    attempts: int = 0
    statuses: Counter = field(default_factory=Counter)
    refused: str = ""


class SoakClient:
    """Posts receipts one at a time and retries each until 201 or 200."""

    def __init__(self, rng: random.Random, backlog: int, deadline: float,
                 per_receipt_s: float):
        self.rng = rng
        self.backlog = backlog
        self.deadline = deadline
        self.per_receipt_s = per_receipt_s
        self.port_lock = threading.Lock()
        self.port: int | None = None
        self.no_new = threading.Event()  # finish the receipt in hand, then end
        self.in_post = threading.Event()  # set while a POST is under way
        self.posted: list[Posted] = []
        self.errors = Counter()           # connection errors while retrying
        self.problems: list[str] = []
        self.thread = threading.Thread(target=self.run, daemon=True)

    def set_port(self, port: int | None) -> None:
        with self.port_lock:
            self.port = port

    def current_port(self) -> int | None:
        with self.port_lock:
            return self.port

    def run(self) -> None:
        try:
            self._run()
        except Exception as e:  # reported, not swallowed
            self.problems.append(f"client failed: {type(e).__name__}: {e}")

    def _run(self) -> None:
        conn: http.client.HTTPConnection | None = None
        conn_port = None
        n = 0
        while not self.no_new.is_set() and time.monotonic() < self.deadline:
            # Wait for fiskald's queue to be short.
            port = self.current_port()
            if port is None:
                time.sleep(0.02)
                continue
            try:
                if pending(metrics(port)) >= self.backlog:
                    time.sleep(0.2)
                    continue
            except (OSError, http.client.HTTPException, BenchError, ValueError):
                time.sleep(0.02)
                continue
            items = self.rng.randint(0, 1)
            p = Posted(key=f"soak-{n:05d}", items=items, body=receipt_body(items, n))
            n += 1
            self.posted.append(p)
            give_up = time.monotonic() + self.per_receipt_s
            while p.id is None and not p.refused:
                if time.monotonic() > give_up:
                    p.refused = f"no 201/200 within {self.per_receipt_s:g} s"
                    break
                port = self.current_port()
                if port is None:
                    time.sleep(0.01)
                    continue
                if conn is None or conn_port != port:
                    if conn is not None:
                        conn.close()
                    conn = http.client.HTTPConnection(HOST, port, timeout=REQUEST_TIMEOUT_S)
                    conn_port = port
                p.attempts += 1
                try:
                    self.in_post.set()
                    conn.request("POST", "/v1/receipts", body=p.body,
                                 headers=post_headers(p.key))
                    r = conn.getresponse()
                    data = r.read()
                except (OSError, http.client.HTTPException) as e:
                    self.errors[type(e).__name__] += 1
                    conn.close()
                    conn = None
                    time.sleep(0.01)
                    continue
                finally:
                    self.in_post.clear()
                p.statuses[r.status] += 1
                if r.status in (201, 200):
                    try:
                        answer = json.loads(data)
                    except ValueError:
                        p.refused = f"{r.status} with a body that is not JSON"
                        break
                    if answer.get("idempotency_key") != p.key:
                        p.refused = (f"{r.status} for key {answer.get('idempotency_key')!r}"
                                     f", posted {p.key!r}")
                        break
                    if r.status == 200 and r.getheader("Idempotent-Replayed") != "true":
                        self.problems.append(f"{p.key}: 200 without Idempotent-Replayed: true")
                    p.id = int(answer["id"])
                    p.first_status = r.status
                elif r.status in (409, 503):
                    time.sleep(0.05)
                else:
                    p.refused = f"{r.status}: {data[:200].decode(errors='replace')}"
        if conn is not None:
            conn.close()


# --------------------------------------------------------------------------
# 5: memory after the largest refused bodies and large lists

TARGET_MEMORY_PEAK_MB = 64.0   # VmHWM over the step
TARGET_MEMORY_BACK_MB = 10.0   # VmRSS at the end less VmRSS at the start


def huge_json_body(items: int) -> bytes:
    """A JSON receipt of `items` items, each of them fine: refused at its
    256th item."""
    item = ('{"name": "WHOLE GRAIN BREAD", "tax": "1", "quantity": "1.00", '
            '"price": "2.50"}')
    return ('{"port": 0, "footer": "THANK YOU", "items": [' + ",".join([item] * items)
            + "]}").encode()


def raw_exchange(port: int, head: bytes, parts, timeout: float = REQUEST_TIMEOUT_S) -> int:
    """Sends `head` and then each of `parts` (an iterable of bytes) on a
    connection of its own until fiskald stops taking them, and returns the
    status of its answer (0: none came)."""
    with socket.create_connection((HOST, port), timeout=timeout) as sock:
        try:
            sock.sendall(head)
            for part in parts:
                sock.sendall(part)
        except OSError:
            pass  # answered and closed before the rest: what is measured
        answer = b""
        try:
            while b"\r\n" not in answer:
                got = sock.recv(4096)
                if not got:
                    break
                answer += got
        except OSError:
            pass
    m = re.match(rb"HTTP/1\.1 (\d{3}) ", answer)
    return int(m.group(1)) if m else 0


def run_memory(args, binary: Path, tmp: Path) -> list[Check]:
    """The largest bodies fiskald refuses, side by side, and lists of large
    receipts: memory taken while they are answered must come back."""
    folder = tmp / "memory"
    folder.mkdir()
    d = Fiskald(binary, folder)
    d.start()
    big_json = huge_json_body(10000)
    chunk = b"10000\r\n" + b"c" * 0x10000 + b"\r\n"  # 64 KiB chunks, 16 MiB in all
    header_line = b"X-Filler: " + b"h" * 8000 + b"\r\n"  # 40 MB of header in all
    large = b"0;" + b"F" * ((1 << 20) - 100) + b"\r\n1\tROLL\t1\t100\t100\t\r\n"
    print(f"memory: fiskald pid {d.pid}; {args.memory_rounds} rounds of {args.memory_json} JSON "
          f"bodies of 10 000 items ({len(big_json) / 1e6:.2f} MB each), 2 chunked bodies "
          f"of 16 MiB and 2 requests with 40 MB of header, side by side; then "
          f"{args.memory_lists} lists (limit={LIST_LIMIT}, every page) of "
          f"{args.memory_receipts} receipts of 1 MiB", flush=True)
    statuses: Counter = Counter()
    lock = threading.Lock()

    def one(kind: str, i: int) -> None:
        if kind == "json":
            head = (f"POST /v1/receipts HTTP/1.1\r\nHost: {HOST}:{d.port}\r\n"
                    f"Content-Type: application/json\r\nIdempotency-Key: huge-{i}\r\n"
                    f"Content-Length: {len(big_json)}\r\n\r\n").encode()
            status = raw_exchange(d.port, head, [big_json])
        elif kind == "chunked":
            head = (f"POST /v1/receipts HTTP/1.1\r\nHost: {HOST}:{d.port}\r\n"
                    f"Content-Type: text/plain\r\nIdempotency-Key: chunked-{i}\r\n"
                    f"Transfer-Encoding: chunked\r\n\r\n").encode()
            status = raw_exchange(d.port, head, (chunk for _ in range(256)))
        else:
            head = f"GET /healthz HTTP/1.1\r\nHost: {HOST}:{d.port}\r\n".encode()
            status = raw_exchange(d.port, head, (header_line for _ in range(5000)))
        with lock:
            statuses[f"{kind} {status}"] += 1

    try:
        for i in range(args.memory_receipts):
            status, _, data = request(d.port, "POST", "/v1/receipts", large,
                                      {"Idempotency-Key": f"large-{i}",
                                       "Content-Type": "text/plain"}, timeout=60)
            if status != 201:
                raise BenchError(f"a receipt of 1 MiB: status {status}: {data[:200]!r}")
        time.sleep(0.5)
        start = status_kib(d.pid)
        try:  # the peak of this step alone (Linux 4.0 and later)
            Path(f"/proc/{d.pid}/clear_refs").write_text("5")
        except OSError:
            pass
        peak_sampled = start["VmRSS"]
        t0 = time.monotonic()
        for r in range(args.memory_rounds):
            kinds = (["json"] * args.memory_json + ["chunked"] * 2 + ["headers"] * 2)
            workers = [threading.Thread(target=one, args=(k, r * 100 + i))
                       for i, k in enumerate(kinds)]
            for w in workers:
                w.start()
            for w in workers:
                w.join(timeout=120)
            peak_sampled = max(peak_sampled, status_kib(d.pid)["VmRSS"])
        refused_s = time.monotonic() - t0
        pages = 0
        page_bytes = []
        listed = 0
        for _ in range(args.memory_lists):
            path = f"/v1/receipts?limit={LIST_LIMIT}"
            while path:
                status, _, data = request(d.port, "GET", path, timeout=60)
                if status != 200:
                    raise BenchError(f"GET {path}: status {status}")
                page = json.loads(data)
                pages += 1
                page_bytes.append(len(data))
                listed += len(page["receipts"])
                path = page.get("next")
                peak_sampled = max(peak_sampled, status_kib(d.pid)["VmRSS"])
        time.sleep(0.5)
        end = status_kib(d.pid)
        stop_status, stop_s = d.stop()
    finally:
        d.kill()
    peak = max(end["VmHWM"], peak_sampled)
    back_mb = (end["VmRSS"] - start["VmRSS"]) / 1024
    wrong = [k for k in statuses if k not in ("json 422", "chunked 413", "headers 431")]
    checks = [
        Check("VmRSS at the start / peak / end (MB)",
              f"{start['VmRSS'] / 1024:.1f} / {peak / 1024:.1f} / {end['VmRSS'] / 1024:.1f}",
              f"peak < {TARGET_MEMORY_PEAK_MB:g}", peak / 1024 < TARGET_MEMORY_PEAK_MB),
        Check("VmRSS at the end less at the start (MB)", f"{back_mb:+.1f}",
              f"< {TARGET_MEMORY_BACK_MB:g}", back_mb < TARGET_MEMORY_BACK_MB),
        Check("answers", ", ".join(f"{k}: {v}" for k, v in sorted(statuses.items())),
              "json 422, chunked 413, headers 431",
              not wrong and statuses["json 422"] == args.memory_rounds * args.memory_json),
        Check("receipts listed", f"{listed} in {pages} pages",
              f"{args.memory_lists * args.memory_receipts}",
              listed == args.memory_lists * args.memory_receipts),
    ]
    print_checks(checks)
    note(f"the refused bodies took {refused_s:.1f} s; pages of {min(page_bytes) / 1e6:.2f} to "
         f"{max(page_bytes) / 1e6:.2f} MB; threads at the end {end['Threads']}; SIGTERM "
         f"stopped it in {stop_s:.2f} s, exit status {stop_status}")
    return checks


def transcript_records(printer: Path, path: Path) -> list[bytes] | None:
    """The texts of a transcript as fiskal-printer reads them; None when
    the file is not made of records alone."""
    decoded = decode_json(printer, path)
    if decoded["format"] != "transcript" or any(
            t["kind"] == "stray bytes" for t in decoded["texts"]) or any(
            p.startswith("offset ") for p in decoded["problems"]):
        return None
    return [text_bytes(t) for t in decoded["texts"]]


def run_soak(args, binary: Path, tmp: Path) -> list[Check]:
    folder = tmp / "soak"
    folder.mkdir()
    journal = folder / "fiskald.db"
    rng = random.Random(args.seed)
    t_begin = time.monotonic()
    deadline = t_begin + args.soak_minutes * 60
    print(f"soak: {args.kills} SIGKILLs at most, {args.soak_minutes:g} min at most, "
          f"backlog {args.backlog}, seed {args.seed}", flush=True)
    client = SoakClient(random.Random(rng.random()), args.backlog, deadline + 120, 120.0)
    kills = Counter()             # by moment
    kills_in_post = 0             # the client had a POST under way
    restart_s: list[float] = []   # SIGKILL to listening again
    in_doubt_seen: dict[int, int] = {}  # id -> texts_sent when first seen in_doubt
    said_in_doubt = 0             # what fiskald reported at its starts
    unexpected: list[str] = []
    instances = 0
    d: Fiskald | None = None

    def account(instance: Fiskald) -> None:
        nonlocal said_in_doubt
        for line in instance.lines:
            m = IN_DOUBT.match(line)
            if m:
                said_in_doubt += int(m.group(1))
        unexpected.extend(instance.unexpected_lines(EXPECTED_LINES))

    def snapshot_in_doubt(port: int) -> None:
        for r in get_json(port, f"/v1/receipts?state=in_doubt&limit={LIST_LIMIT}")["receipts"]:
            in_doubt_seen.setdefault(r["id"], r["texts_sent"])

    killed_at = None
    try:
        client.thread.start()
        while sum(kills.values()) < args.kills and time.monotonic() < deadline:
            moment = rng.choices(["anytime", "post", "startup"], weights=[5, 4, 1])[0]
            d = Fiskald(binary, folder, journal=journal)
            instances += 1
            if moment == "startup":
                d.start(wait_ready=False)
                time.sleep(rng.uniform(0, 0.04))
            else:
                d.start()
                if killed_at is not None:
                    restart_s.append(d.ready_s - killed_at)
                snapshot_in_doubt(d.port)
                client.set_port(d.port)
                if moment == "anytime":
                    time.sleep(rng.uniform(0.05, 2.0))
                else:
                    # Right after the client has started a POST, so the kill
                    # lands in the accept path (before or after its commit).
                    client.in_post.wait(timeout=5.0)
                    time.sleep(rng.uniform(0, 0.004))
            kills_in_post += client.in_post.is_set()
            d.proc.kill()
            killed_at = time.monotonic()
            client.set_port(None)
            d.kill()
            account(d)
            d = None
            kills[moment] += 1
            if client.problems:
                break
        soak_s = time.monotonic() - t_begin

        # The final start: the client finishes the receipt in hand.
        client.no_new.set()
        d = Fiskald(binary, folder, journal=journal)
        instances += 1
        d.start()
        if killed_at is not None:
            restart_s.append(d.ready_s - killed_at)
        snapshot_in_doubt(d.port)
        client.set_port(d.port)
        client.thread.join(timeout=150)
        if client.thread.is_alive():
            raise BenchError("the soak client did not finish its last receipt")

        # Wait until nothing is queued or sending (paced: about 1 s each).
        t_drain = time.monotonic()
        drain_deadline = t_drain + 1.2 * args.backlog + 60
        left = pending(metrics(d.port))
        while left > 0 and time.monotonic() < drain_deadline:
            time.sleep(0.25)
            left = pending(metrics(d.port))
        drain_s = time.monotonic() - t_drain

        receipts = fetch_all_receipts(d.port)
        transcripts: dict[int, bytes] = {}
        for rid, r in receipts.items():
            if r["state"] in ("printed", "in_doubt"):
                status, _, data = request(d.port, "GET", f"/v1/receipts/{rid}/transcript")
                if status != 200:
                    raise BenchError(f"GET /v1/receipts/{rid}/transcript: status {status}")
                transcripts[rid] = data
        stop_status, stop_s = d.stop()
        account(d)
        d = None
    finally:
        client.no_new.set()
        client.set_port(None)
        if d is not None:
            d.kill()

    # ---- the checks
    posted = client.posted
    acked = [p for p in posted if p.id is not None]
    given_up = [p for p in posted if p.id is None]
    replays = sum(1 for p in acked if p.first_status == 200)
    by_key = Counter(r["idempotency_key"] for r in receipts.values())
    duplicates = sum(n - 1 for n in by_key.values() if n > 1)
    ids_by_key: dict[str, set[int]] = {}
    for p in acked:
        ids_by_key.setdefault(p.key, set()).add(p.id)
    lost = [p for p in acked
            if p.id not in receipts or receipts[p.id]["idempotency_key"] != p.key]
    posted_keys = {p.key for p in posted}
    strangers = [r for r in receipts.values() if r["idempotency_key"] not in posted_keys]
    unacked_there = [p for p in given_up if p.key in by_key]
    states = Counter(r["state"] for r in receipts.values())
    unfinished = states.get("queued", 0) + states.get("sending", 0)
    bad_state = [r for r in receipts.values()
                 if r["state"] not in ("printed", "in_doubt", "queued", "sending")
                 and not (r["state"] in ("not_sent", "cut") and r.get("message"))]
    items_by_key = {p.key: p.items for p in posted}

    twice: list[str] = []  # texts out more than once, or a transcript that is not its texts
    for rid, r in receipts.items():
        data = transcripts.get(rid)
        if data is None:
            continue
        path = folder / f"transcript-{rid}.log"
        path.write_bytes(data)
        texts = transcript_records(args.printer, path)
        want_total = items_by_key.get(r["idempotency_key"], -3) + 3
        if texts is None:
            twice.append(f"receipt {rid}: its transcript is not made of records")
            continue
        if r["texts_total"] != want_total:
            twice.append(f"receipt {rid}: texts_total {r['texts_total']}, "
                         f"the receipt posted has {want_total} texts")
        if r["state"] == "printed" and not (len(texts) == r["texts_sent"] == r["texts_total"]):
            twice.append(f"receipt {rid} printed: {len(texts)} records, texts_sent "
                         f"{r['texts_sent']}, texts_total {r['texts_total']}")
        if r["state"] == "in_doubt" and not (len(texts) == r["texts_sent"] <= r["texts_total"]):
            twice.append(f"receipt {rid} in_doubt: {len(texts)} records, texts_sent "
                         f"{r['texts_sent']}, texts_total {r['texts_total']}")
        if len(set(texts[1:])) != len(texts[1:]):
            twice.append(f"receipt {rid}: a frame appears twice in its transcript")
    resent = [rid for rid, sent in in_doubt_seen.items()
              if rid not in receipts or receipts[rid]["state"] != "in_doubt"
              or receipts[rid]["texts_sent"] != sent]
    n_kills = sum(kills.values())
    in_doubt = states.get("in_doubt", 0)

    def listing(items: list, show=lambda x: x) -> str:
        return "" if not items else " (" + "; ".join(str(show(x)) for x in items[:5]) + \
            (" ..." if len(items) > 5 else "") + ")"

    checks = [
        Check("kills", f"{n_kills} ({', '.join(f'{k} {v}' for k, v in sorted(kills.items()))}; "
              f"{kills_in_post} with a POST under way) in {soak_s:.0f} s",
              f"{args.kills} within {args.soak_minutes:g} min", n_kills >= args.kills),
        Check("acknowledged (201/200)",
              f"{len(acked)} of {len(posted)} posted ({replays} first acknowledged by a "
              f"200 replay after a kill)", "all posted",
              not given_up and not client.problems),
        Check("receipts in the journal", f"{len(receipts)} (printed {states.get('printed', 0)}"
              f", in_doubt {in_doubt}"
              + "".join(f", {s} {n}" for s, n in sorted(states.items())
                        if s not in ("printed", "in_doubt")) + ")",
              "= acknowledged", len(receipts) == len(acked) and not strangers),
        Check("lost", f"{len(lost)}" + listing(lost, lambda p: f"{p.key} id {p.id}"),
              "0", not lost),
        Check("duplicates (a key with two receipts)",
              f"{duplicates}; keys acknowledged with two ids: "
              f"{sum(1 for s in ids_by_key.values() if len(s) > 1)}", "0",
              duplicates == 0 and all(len(s) == 1 for s in ids_by_key.values())),
        Check("texts sent twice / transcript not its texts", f"{len(twice)}" + listing(twice),
              "0", not twice),
        Check("in_doubt sent again", f"{len(resent)} of {len(in_doubt_seen)} seen in_doubt "
              "after a restart" + listing(resent), "0", not resent),
        Check("unfinished / unexplained states",
              f"{unfinished} queued or sending after {drain_s:.1f} s, {len(bad_state)} "
              "other without a reason" + listing(bad_state, lambda r: r["id"]),
              "0", unfinished == 0 and not bad_state),
        Check("in_doubt at most one per kill",
              f"{in_doubt} for {n_kills} kills (fiskald reported {said_in_doubt} at its "
              "starts)", "<= kills", in_doubt <= n_kills),
    ]
    print_checks(checks)
    if restart_s:
        note(f"restart (SIGKILL to listening again, s): p50 "
             f"{statistics.median(restart_s):.3f} / max {max(restart_s):.3f} "
             f"over {len(restart_s)} starts ({instances} fiskald started in all)")
    doubt = [r for r in receipts.values() if r["state"] == "in_doubt"]
    if doubt:
        none = sum(1 for r in doubt if r["texts_sent"] == 0)
        whole = sum(1 for r in doubt if r["texts_sent"] == r["texts_total"])
        note(f"in_doubt receipts: {none} with no text sent, {len(doubt) - none - whole} "
             f"with some, {whole} with every text sent (killed before its end was "
             f"recorded)")
    attempts = sum(p.attempts for p in posted)
    note(f"POST attempts {attempts} for {len(posted)} receipts; connection errors while "
         f"retrying: {sum(client.errors.values())}"
         + (" (" + ", ".join(f"{e} {n}" for e, n in sorted(client.errors.items())) + ")"
            if client.errors else ""))
    statuses = sum((p.statuses for p in posted), Counter())
    note("answers: " + ", ".join(f"{s}: {n}" for s, n in sorted(statuses.items())))
    note(f"final fiskald: drained in {drain_s:.1f} s; SIGTERM stopped it in {stop_s:.2f} s, "
         f"exit status {stop_status}")
    for p in given_up:
        note(f"not acknowledged: {p.key}: {p.refused or 'the soak ended'}"
             + (" (it is in the journal)" if p in unacked_there else ""))
    for r in strangers[:5]:
        note(f"receipt {r['id']} has a key never posted: {r['idempotency_key']!r}")
    for text in client.problems:
        note(f"client: {text}")
    for line in sorted(set(unexpected))[:10]:
        note(f"fiskald said: {line}")
    return checks


# --------------------------------------------------------------------------


def parse_args(argv: list[str]) -> argparse.Namespace:
    summary, _, details = __doc__.partition("\n")
    parser = argparse.ArgumentParser(
        prog="service.py", description=summary, epilog=details.strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", metavar="PATH",
                        help="the fiskald executable to measure (default: build "
                             "build-bench/fiskald, Release)")
    parser.add_argument("--only", metavar="STEP", action="append",
                        choices=["paced", "flat-out", "idle", "soak", "memory"],
                        help="run only this step (flat-out includes memory); "
                             "repeatable")
    parser.add_argument("--clients", metavar="N", type=int, default=50,
                        help="concurrent clients in the load (default 50)")
    parser.add_argument("--processes", metavar="P", type=int, default=2,
                        help="client processes the clients are spread over "
                             "(default 2)")
    parser.add_argument("--seconds", metavar="S", type=float, default=10.0,
                        help="length of the load (default 10)")
    parser.add_argument("--rate", metavar="R", type=float, default=TARGET_RATE,
                        help="receipts per second the clients offer in all in "
                             f"the paced load (default {TARGET_RATE:g})")
    parser.add_argument("--flat-out-client", choices=["auto", "python", "wrk"],
                        default="auto",
                        help="what drives the flat-out load: wrk (Debian package "
                             "wrk), Python threads as in the paced load, or auto: "
                             "wrk when it is installed (default)")
    parser.add_argument("--items", metavar="N", type=int, default=3,
                        help="items per receipt in the load (default 3)")
    parser.add_argument("--idle-seconds", metavar="S", type=float, default=10.0,
                        help="length of the idle measurement (default 10)")
    parser.add_argument("--quiet-connections", metavar="N", type=int, default=300,
                        help="keep-alive connections held open and quiet in the idle "
                             "step (default 300)")
    parser.add_argument("--quiet-seconds", metavar="S", type=float, default=10.0,
                        help="how long they are measured (default 10)")
    parser.add_argument("--kills", metavar="N", type=int, default=100,
                        help="SIGKILLs in the soak (default 100)")
    parser.add_argument("--soak-minutes", metavar="M", type=float, default=10.0,
                        help="the soak ends after this long even if it has not "
                             "killed --kills times (default 10)")
    parser.add_argument("--backlog", metavar="N", type=int, default=10,
                        help="the soak client posts only while fewer receipts "
                             "than this are queued or sending (default 10)")
    parser.add_argument("--seed", metavar="N", type=int, default=None,
                        help="seed of the soak's kill moments and receipts "
                             "(default: random, printed)")
    parser.add_argument("--memory-rounds", metavar="N", type=int, default=20,
                        help="rounds of refused bodies in the memory step (default 20)")
    parser.add_argument("--memory-json", metavar="N", type=int, default=10,
                        help="JSON bodies of 10 000 items in each round, side by side "
                             "(default 10)")
    parser.add_argument("--memory-lists", metavar="N", type=int, default=5,
                        help="whole lists read in the memory step (default 5)")
    parser.add_argument("--memory-receipts", metavar="N", type=int, default=30,
                        help="receipts of 1 MiB in the journal for them (default 30)")
    parser.add_argument("--wait-quiet", metavar="S", type=float, default=0.0,
                        help="before each step, wait up to S seconds for the "
                             "machine to be at most 10%% busy for 2 s (default "
                             "0: do not wait)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temp folder (journals, fiskald's stderr)")
    args = parser.parse_args(argv)
    if not 1 <= args.clients <= 500:
        parser.error("--clients must be 1..500")
    if not 1 <= args.quiet_connections <= 4000:
        parser.error("--quiet-connections must be 1..4000 (fiskald takes 4096 at once)")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if not 1 <= args.processes <= args.clients:
        parser.error("--processes must be 1..clients")
    if not 0 <= args.items <= 255:
        parser.error("--items must be 0..255")
    if (args.seconds <= 0 or args.rate <= 0 or args.idle_seconds <= 0 or args.soak_minutes <= 0
            or args.quiet_seconds <= 0):
        parser.error("times must be positive")
    if not (1 <= args.memory_rounds <= 1000 and 1 <= args.memory_json <= 100
            and 1 <= args.memory_lists <= 100 and 1 <= args.memory_receipts <= 200):
        parser.error("--memory-rounds must be 1..1000, --memory-json 1..100, "
                     "--memory-lists 1..100 and --memory-receipts 1..200")
    if not 1 <= args.kills <= 10000 or not 1 <= args.backlog <= 1000:
        parser.error("--kills must be 1..10000 and --backlog 1..1000")
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 31)
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    steps = args.only or ["paced", "flat-out", "idle", "soak", "memory"]

    def interrupted(signum, frame):
        raise Interrupted(signal.Signals(signum).name)

    # Ctrl+C stops the benchmark even when it was started in the background
    # of a shell that ignores SIGINT for such jobs.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    tmp = None
    checks: list[Check] = []
    try:
        binary = find_binary(args.binary, "fiskald", use_build=False)
        # The soak reads transcripts back through fiskal-printer.
        args.printer = find_binary(None, "fiskal-printer", beside=binary)
        version = version_of(binary)
        tmp = Path(tempfile.mkdtemp(prefix="fiskald-bench-"))
        fs = subprocess.run(["df", "--output=fstype", str(tmp)], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL).stdout.decode().split()[-1:]
        print(f"fiskald benchmark: {binary} ({version}, build type {build_type_of(binary)}), "
              f"{CORES} cores, journals in {tmp} ({fs[0] if fs else 'unknown'} file system), "
              f"{time.strftime('%Y-%m-%d %H:%M %Z')}", flush=True)
        for step in [s for s in ("paced", "flat-out", "idle", "soak", "memory") if s in steps]:
            quiet = f", {wait_quiet(args.wait_quiet)}" if args.wait_quiet > 0 else ""
            print(f"{step}: load average {os.getloadavg()[0]:.2f} before it{quiet}",
                  flush=True)
            checks += {"paced": run_paced, "flat-out": run_flat_out, "idle": run_idle,
                       "memory": run_memory, "soak": run_soak}[step](args, binary, tmp)
    except BenchError as e:
        print(f"bench: {e}", file=sys.stderr)
        return 2
    except (KeyboardInterrupt, Interrupted) as e:
        print(f"bench: interrupted ({str(e) or 'SIGINT'})", file=sys.stderr)
        return 2
    finally:
        kill_all()
        if tmp is not None:
            if args.keep:
                print(f"bench: kept {tmp}", file=sys.stderr)
            else:
                shutil.rmtree(tmp, ignore_errors=True)

    ok = all(c.ok is not False for c in checks)
    print("ALL PASS" if ok else "SOME FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
