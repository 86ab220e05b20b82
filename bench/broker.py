#!/usr/bin/env python3
"""Benchmark of fiskald taking receipts through an MQTT 5 broker, on loopback.

Everything runs on 127.0.0.1: the broker (--broker: the system's
mosquitto, /usr/sbin/mosquitto, configured in a temp folder; or a private
ejabberd from examples/broker/ejabberd.yml, see below), fiskald (log-only receipts only, its journal
in the temp folder, --listen 127.0.0.1:0), and the chain's side, a client
in this script on python3-paho-mqtt (MQTT 5). Every fiskald runs with
FISKAL_COM1..9 set to /nonexistent/comN and FISKAL_LOCK_DIR to its folder,
so no serial device is ever named or opened; the script looks at each
fiskald's open files before it kills it and stops at once should one be a
tty. It kills every process it started when it ends, also on failure,
Ctrl+C, SIGTERM or --timeout-minutes (and the kernel does, through
PR_SET_PDEATHSIG, should the script itself be killed).

  faults  exactly once end to end. One mosquitto (persistence in the temp
          folder, saved at every change), a TCP proxy in this script
          between fiskald and the broker that cuts the connection at random
          moments (--cut-every), fiskald as shop S1, and a chain publisher
          that publishes --receipts receipts (1 to 3 items, distinct keys)
          at QoS 1, each with Correlation Data = its key and a Response
          Topic of its own under fiskal/S1/, at most --window at a time,
          and publishes one again under the same key when no final answer
          (printed, not_sent, cut, in_doubt) came within --republish-after
          seconds. Meanwhile --fiskald-kills SIGKILLs of fiskald (restarted
          at once on the same journal) and --broker-kills SIGKILLs of the
          broker (restarted at once on the same port and persistence).
          Then the journal is read through the API and checked: every key
          published has exactly one receipt, every receipt's transcript is
          its texts once (texts_sent never more than texts_total, a printed
          receipt all of them), a receipt once seen in_doubt is in_doubt at
          the end with the texts it had then, and the publisher had a final
          answer for every key, one receipt id per key, the journal's state.
  load    --shops fiskald processes (shops S1..S20, each its own journal and
          HTTP port) on one broker, and a publisher offering --rate
          receipts/s in all (1 item each, on a fixed schedule, round robin
          over the shops) for --seconds: latency from the publish to the
          first answer with state "queued" (accepted: committed, not
          printed), p50 and p99; receipts lost (no answer, not in a
          journal) and twice (a key with two receipts or two ids); fiskald's
          VmRSS (max and mean over the processes) while connected, idle
          and after the load; its CPU (utime+stime, /proc/PID/stat) over
          --idle-seconds idle, connected, before the load.

--broker ejabberd: the system's ejabberd 23.01 (mod_mqtt) started on the
Erlang VM by testing/mqtt_brokers.py from the shipped examples/broker/ejabberd.yml
(its @NAME@ places filled in: host localhost, plain MQTT and TLS on
ports found free, 127.0.0.1 only; the plain one is used), with
its database and logs in the temp folder, no Erlang distribution (no node
name, no epmd), the users (chain, the shops) made with passwords at each
start, halting by itself after --timeout-minutes plus 2; never the system's
service. It keeps sessions in memory only: each of its kills loses every
session and the messages queued in them, and until fiskald has subscribed
again the chain's publishes are dropped with PUBACK 0x10. A start takes some
2 s on a quiet machine and up to a minute on a busy one: there, give it
a few --broker-kills only (3, say), --broker-every 20. On either broker the chain publishes a receipt again
under its key --republish-after seconds after its last publish while no
final answer came, and 1 s after a PUBACK 0x10 or a refusal.

The broker runs with set_tcp_nodelay true and the chain's client sets
TCP_NODELAY on its socket, so that neither holds a small packet back for
the peer's delayed ACK (some 40 ms on Linux): the latency measured is what
fiskald and the broker take. The load part also splits it at the receipt's
accepted_at (fiskald's wall clock as it stores the receipt): publish to
stored, and stored to the answer at the chain.

Stalls: after the faults, a fiskald with a thread that runs flat out, or no
new final answer for --stall-seconds, is recorded (what GET /v1/broker, the
broker's log and fiskald's stderr said), and fiskald is killed and started
again so that the journal can still be checked; before each planned kill
the script also looks for a thread that ran half the instance's life or
more.

A log-only receipt is paced like a printed one (0.5 s after the begin frame
and after each item), so a shop prints one or two receipts a second: under
the load the queues grow (that is expected; nothing judged waits for a
receipt to print).

This is a benchmark, not a test: it is not part of the CTest suite.

Which binary: --binary PATH if given; else the script configures and builds
build-bench/ under the repository root (Release, tests off; a no-op when it
is up to date) and uses build-bench/fiskald.

Exit status: 0 when every figure meets its target, 1 otherwise, 2 when the
benchmark itself could not run (no binary, a process did not start, the
global timeout, ...).
"""

from __future__ import annotations

import argparse
import datetime
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

from common import (HOST, IN_DOUBT, LIST_LIMIT, START_TIMEOUT_S, BenchError, build_type_of,
                    Check, absent_device, context_switches, cpu_ticks, fetch_all_receipts,
                    find_binary, Fiskald, get_json, Interrupted, kill_all, latency_text, metrics,
                    note, percentile, print_checks, reap, request, spawn, status_kib)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "testing"))
import mqtt_brokers  # noqa: E402  the private ejabberd, from examples/broker/ejabberd.yml

try:
    import paho.mqtt.client as mqtt
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
except ImportError:  # reported in main()
    mqtt = None


CLK_TCK = os.sysconf("SC_CLK_TCK")
CORES = os.cpu_count() or 1
MOSQUITTO = "/usr/sbin/mosquitto"

# Targets (this 2-core machine).
TARGET_P99_MS = 20.0      # publish to the "queued" answer, 99th percentile
TARGET_RSS_MB = 30.0      # VmRSS of each fiskald, connected
TARGET_IDLE_TICKS = 1     # per fiskald over --idle-seconds: 0, but a keep-alive may fall in

KEEP_ALIVE_S = 30         # fiskald's (service/broker/broker_impl.h)

FINAL = ("printed", "not_sent", "cut", "in_doubt")
NO_MATCHING_SUBSCRIBERS = 0x10

EXPECTED_LINES = re.compile(
    r"^fiskald: (listening on |\d+ receipt\(s\) were being sent|stopping: |stopped"
    r"|broker mqtt://\S+: (the connection was lost|cannot connect))")


class TimedOut(Exception):
    """--timeout-minutes passed."""


# --------------------------------------------------------------------------
# Children: fiskald and mosquitto

def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def check_no_serial(pid: int) -> None:
    """Stops the benchmark should fiskald hold a tty or serial device open."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return  # it has just ended
    for fd in fds:
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith(("/dev/tty", "/dev/serial", "/dev/pts", "/dev/rfcomm")):
            raise BenchError(f"fiskald {pid} holds {target} open: stopped at once")


class Mosquitto:
    """The system's mosquitto with a configuration of its own in `folder`,
    on one port that stays the same over restarts."""

    def __init__(self, folder: Path, port: int, persistence: bool, nodelay: bool = True):
        self.folder = folder
        self.port = port
        self.persistence = persistence
        self.proc: subprocess.Popen | None = None
        self.log = folder / "mosquitto.log"
        self.starts = 0
        self.start_s: list[float] = []
        folder.mkdir(parents=True, exist_ok=True)
        lines = ["# Written by bench/broker.py."]
        if persistence:
            lines += ["persistence true", f"persistence_location {folder}/",
                      # Saved after every change: a SIGKILL loses what came
                      # since the last save only.
                      "autosave_on_changes true", "autosave_interval 1"]
        else:
            lines += ["persistence false"]
        if nodelay:
            # Without it the broker's small packets wait for the client's
            # delayed ACK (some 40 ms) behind an earlier one not yet ACKed.
            lines += ["set_tcp_nodelay true"]
        lines += ["log_dest stderr", "log_type error", "log_type warning",
                  "log_type notice", "log_type information"]
        # Run as root, mosquitto becomes the user "mosquitto", who cannot
        # write this folder.
        if os.geteuid() == 0:
            lines.append("user root")
        lines += ["", f"listener {port} {HOST}", "allow_anonymous true"]
        (folder / "mosquitto.conf").write_text("\n".join(lines) + "\n")

    @property
    def pid(self) -> int:
        return self.proc.pid if self.proc else -1

    def start(self) -> None:
        t0 = time.monotonic()
        offset = self.log.stat().st_size if self.log.exists() else 0
        with open(self.log, "ab") as out:
            self.proc = spawn([MOSQUITTO, "-c", str(self.folder / "mosquitto.conf")],
                              self.folder, dict(os.environ), out)
        deadline = t0 + START_TIMEOUT_S
        while True:
            with open(self.log, "rb") as f:
                f.seek(offset)
                said = f.read().decode(errors="replace")
            if " running" in said:
                break
            if self.proc.poll() is not None or time.monotonic() > deadline:
                reap(self.proc)
                raise BenchError(f"mosquitto did not start on {HOST}:{self.port} "
                                 f"(exit status {self.proc.returncode}): {said.strip()[-600:]}")
            time.sleep(0.005)
        self.starts += 1
        self.start_s.append(time.monotonic() - t0)

    def kill(self) -> None:
        if self.proc is not None:
            reap(self.proc)
            self.proc = None


class Ejabberd(mqtt_brokers.Ejabberd):
    """The system's ejabberd (mod_mqtt) from examples/broker/ejabberd.yml,
    private (testing/mqtt_brokers.py): its users, each with a password file,
    made at each start; sessions in memory only, so a kill loses them and
    every message queued in them."""

    def __init__(self, folder: Path, users: list[str], lifetime_s: float):
        folder.mkdir(parents=True, exist_ok=True)
        self.password_files = {}
        for u in users:
            f = folder / f"{u}.password"
            f.write_text(f"bench-{u}-{os.getpid()}\n")
            f.chmod(0o600)
            self.password_files[u] = f
        super().__init__(folder, {u: f.read_text().strip()
                                  for u, f in self.password_files.items()},
                         lifetime=lifetime_s,
                         spawn=lambda argv, cwd, env, out: spawn(argv, cwd, env, out, stdout=out))

    def fiskald_args(self, shop: str) -> list[str]:
        return ["--broker-user", shop, "--broker-password-file", str(self.password_files[shop])]

    def login(self, user: str) -> tuple[str, str]:
        return user, self.users[user]


def make_broker(args, folder: Path, users: list[str], persistence: bool):
    """The broker --broker names, not started."""
    if args.broker == "ejabberd":
        # It halts by itself a little after the whole run's timeout.
        return Ejabberd(folder, ["chain"] + users, args.timeout_minutes * 60 + 120)
    return Mosquitto(folder, free_port(), persistence=persistence)


def broker_fiskald_args(broker, shop: str) -> list[str]:
    return broker.fiskald_args(shop) if isinstance(broker, Ejabberd) else []


def broker_login(broker) -> tuple[str, str] | None:
    return broker.login("chain") if isinstance(broker, Ejabberd) else None


# --------------------------------------------------------------------------
# /proc and HTTP


def thread_ticks(pid: int) -> dict[int, tuple[str, int]]:
    """utime + stime of each thread: tid -> (name, ticks)."""
    out = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return out
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/stat", "rb") as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index(b"(") + 1:text.rindex(b")")].decode(errors="replace")
        fields = text[text.rindex(b")") + 2:].split()
        out[int(task)] = (name, int(fields[11]) + int(fields[12]))
    return out


def busiest(ticks: dict[int, tuple[str, int]],
            before: dict[int, tuple[str, int]] | None = None) -> tuple[int, str, int]:
    """The thread that used the most ticks (since `before`)."""
    best = (0, "", 0)
    for tid, (name, n) in ticks.items():
        used = n - (before.get(tid, (name, 0))[1] if before else 0)
        if used > best[2]:
            best = (tid, name, used)
    return best


def wait_connected(d: Fiskald, seconds: float) -> bool:
    """Whether GET /v1/broker says connected within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if get_json(d.port, "/v1/broker").get("connected") is True:
                return True
        except (OSError, http.client.HTTPException, ValueError):
            pass
        time.sleep(0.05)
    return False


def transcript_records(data: bytes) -> list[bytes] | None:
    """The texts of a transcript: each record is a double quote, the text,
    a double quote, CR, LF (the text runs to the first double quote
    followed by CR LF). None when the bytes are not records alone."""
    records, pos = [], 0
    while pos < len(data):
        if data[pos:pos + 1] != b'"':
            return None
        end = data.find(b'"\r\n', pos + 1)
        if end < 0:
            return None
        records.append(data[pos + 1:end])
        pos = end + 3
    return records


def receipt_body(items: int, salt: int) -> bytes:
    names = ["BREAD", "MILK", "APPLES", "BUTTER", "CHEESE", "EGGS", "FLOUR"]
    body = {"port": 0, "footer": "THANK YOU", "items": [
        {"name": f"{names[(i + salt) % len(names)]} {i + 1}", "tax": str(i % 7 + 1),
         "quantity": f"{1 + i % 3}.{25 * (i % 4):02d}",
         "price": f"{2 + (i + salt) % 9}.{(49 * (i + 1) + salt) % 100:02d}"}
        for i in range(items)]}
    return json.dumps(body).encode()


def listing(items: list, show=str) -> str:
    return "" if not items else " (" + "; ".join(show(x) for x in items[:5]) + \
        (" ..." if len(items) > 5 else "") + ")"


# --------------------------------------------------------------------------
# The proxy between fiskald and the broker


class Link:
    def __init__(self, down: socket.socket, up: socket.socket):
        self.down = down
        self.up = up
        self.lock = threading.Lock()
        self.closed = False
        self.armed = False   # cut at the next bytes that pass, part way through them
        self.cut = False     # closed by the proxy (not by either end)

    def close(self, rst: bool = False) -> bool:
        """Closes both sides; True when this call did."""
        with self.lock:
            if self.closed:
                return False
            self.closed = True
        for s in (self.down, self.up):
            try:
                if rst:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                 struct.pack("ii", 1, 0))
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        return True


class Proxy:
    """Forwards connections from 127.0.0.1:port to the broker's port, and,
    while `cutting` is set, cuts them at random moments: about every
    `cut_every` seconds (exponential) one live connection, half of the time
    at once, half of the time in the middle of the next bytes that pass
    either way (a part of them forwarded), with a FIN or an RST."""

    def __init__(self, upstream_port: int, cut_every: float, seed: int):
        self.upstream_port = upstream_port
        self.cut_every = cut_every
        self.rng = random.Random(seed)
        self.rng_lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.links: set[Link] = set()
        self.lock = threading.Lock()
        self.cutting = threading.Event()
        self.stopping = threading.Event()
        self.cuts = Counter()       # by kind
        self.accepted = 0
        self.no_upstream = 0        # the broker was down
        self.threads: list[threading.Thread] = []

    def start(self) -> None:
        for target in (self._accept_loop, self._cut_loop):
            t = threading.Thread(target=target, daemon=True)
            t.start()
            self.threads.append(t)

    def stop(self) -> None:
        self.stopping.set()
        self.cutting.clear()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            links = list(self.links)
        for link in links:
            link.close()

    def set_cutting(self, on: bool) -> None:
        if on:
            self.cutting.set()
        else:
            self.cutting.clear()
            with self.lock:
                for link in self.links:
                    link.armed = False

    def _random(self):
        with self.rng_lock:
            return self.rng

    def _accept_loop(self) -> None:
        while not self.stopping.is_set():
            try:
                down, _ = self.listener.accept()
            except OSError:
                return
            try:
                up = socket.create_connection((HOST, self.upstream_port), timeout=2)
                up.settimeout(None)
            except OSError:
                self.no_upstream += 1
                down.close()
                continue
            for s in (down, up):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            link = Link(down, up)
            with self.lock:
                self.links.add(link)
                self.accepted += 1
            for src, dst, way in ((down, up, "to the broker"), (up, down, "to fiskald")):
                threading.Thread(target=self._pump, args=(link, src, dst, way),
                                 daemon=True).start()

    def _pump(self, link: Link, src: socket.socket, dst: socket.socket, way: str) -> None:
        try:
            while True:
                try:
                    data = src.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                with link.lock:
                    armed, link.armed = link.armed, False
                if armed and self.cutting.is_set():
                    with self.rng_lock:
                        n = self.rng.randrange(0, len(data))
                        rst = self.rng.random() < 0.5
                    try:
                        dst.sendall(data[:n])
                    except OSError:
                        pass
                    if link.close(rst=rst):
                        link.cut = True
                        with self.lock:
                            self.cuts[f"in the bytes {way} ({'RST' if rst else 'FIN'})"] += 1
                    break
                try:
                    dst.sendall(data)
                except OSError:
                    break
        finally:
            link.close()
            with self.lock:
                self.links.discard(link)

    def _cut_loop(self) -> None:
        if self.cut_every <= 0:
            return
        while not self.stopping.is_set():
            with self.rng_lock:
                wait = self.rng.expovariate(1.0 / self.cut_every)
            if self.stopping.wait(wait) or not self.cutting.is_set():
                continue
            with self.lock:
                links = [l for l in self.links if not l.closed]
            if not links:
                continue
            with self.rng_lock:
                link = self.rng.choice(links)
                now = self.rng.random() < 0.5
                rst = self.rng.random() < 0.5
            if now:
                if link.close(rst=rst):
                    link.cut = True
                    with self.lock:
                        self.cuts[f"at once ({'RST' if rst else 'FIN'})"] += 1
            else:
                with link.lock:
                    link.armed = True


# --------------------------------------------------------------------------
# The chain's MQTT client


@dataclass
class Answer:
    t: float
    key: str
    topic: str
    state: str          # the receipt's state, or "problem <status>"
    rid: int | None
    texts_sent: int | None
    dup: bool
    accepted_at: str | None = None  # the receipt's, as fiskald stamped it


def parse_answer(msg, t: float) -> Answer | str:
    """An answer, or what is wrong with the message."""
    props = getattr(msg, "properties", None)
    corr = getattr(props, "CorrelationData", None) if props else None
    if corr is None:
        return f"an answer on {msg.topic} without correlation data: {msg.payload[:120]!r}"
    key = bytes(corr).decode(errors="replace")
    ctype = getattr(props, "ContentType", None)
    users = dict(getattr(props, "UserProperty", None) or [])
    try:
        body = json.loads(msg.payload)
    except ValueError:
        return f"{key}: an answer that is not JSON: {msg.payload[:120]!r}"
    if ctype == "application/problem+json":
        return Answer(t, key, msg.topic, f"problem {body.get('status')}", body.get("receipt"),
                      None, bool(msg.dup))
    if ctype != "application/json":
        return f"{key}: an answer with content type {ctype!r}"
    state = users.get("state")
    if state != body.get("state"):
        return f"{key}: user property state {state!r}, the body says {body.get('state')!r}"
    if body.get("idempotency_key") != key:
        return f"{key}: an answer about the receipt of {body.get('idempotency_key')!r}"
    return Answer(t, key, msg.topic, state, body.get("id"), body.get("texts_sent"),
                  bool(msg.dup), body.get("accepted_at"))


class _ReasonClient(mqtt.Client if mqtt else object):
    """paho-mqtt 1.6's client, keeping each PUBACK's reason code (which it
    reads and does not hand on) by message id, as examples/broker/send.py."""

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.puback_reasons: dict[int, int] = {}

    def _handle_pubackcomp(self, cmd):
        packet = self._in_packet["packet"]
        if cmd == "PUBACK" and len(packet) >= 2:
            mid, = struct.unpack("!H", packet[:2])
            self.puback_reasons[mid] = packet[2] if len(packet) > 2 else 0
        return super()._handle_pubackcomp(cmd)


class Chain:
    """The chain's server: one MQTT 5 client (paho, its network thread),
    a persistent session, subscribed to `filters` at QoS 1 (again at each
    connect), reconnecting by itself."""

    def __init__(self, client_id: str, port: int, filters: list[str], on_message,
                 login: tuple[str, str] | None = None, on_puback=None):
        self.port = port
        self.filters = filters
        self.on_message_cb = on_message
        self.on_puback_cb = on_puback
        self.client = _ReasonClient(client_id=client_id, protocol=mqtt.MQTTv5)
        if login is not None:
            self.client.username_pw_set(*login)
        self.puback_codes = Counter()  # the PUBACKs' reason codes
        self.client.reconnect_delay_set(min_delay=0.2, max_delay=1.0)
        self.client.max_queued_messages_set(0)
        self.client.on_connect = self._on_connect
        self.client.on_disconnect = self._on_disconnect
        self.client.on_subscribe = self._on_subscribe
        self.client.on_message = self._on_message
        self.client.on_publish = self._on_publish
        self.subscribed = threading.Event()
        self.connects = 0
        self.disconnects = 0
        self.pubacks = 0
        self.problems: list[str] = []
        self.lock = threading.Lock()

    def connect(self) -> None:
        props = Properties(PacketTypes.CONNECT)
        props.SessionExpiryInterval = 3600
        try:
            self.client.connect(HOST, self.port, keepalive=KEEP_ALIVE_S,
                                clean_start=mqtt.MQTT_CLEAN_START_FIRST_ONLY,
                                properties=props)
        except OSError as e:
            raise BenchError(f"the chain's client cannot connect to {HOST}:{self.port}: {e}")
        self.client.loop_start()
        if not self.subscribed.wait(START_TIMEOUT_S):
            raise BenchError("the chain's client got no SUBACK")

    def close(self) -> None:
        try:
            self.client.disconnect()
        except Exception:
            pass
        self.client.loop_stop()

    def publish(self, topic: str, key: str, body: bytes, response_topic: str) -> tuple[int, int]:
        """The client's return code and the message id."""
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = response_topic
        props.CorrelationData = key.encode()
        props.ContentType = "application/json"
        info = self.client.publish(topic, body, qos=1, properties=props)
        return info.rc, info.mid

    # paho's thread

    def _on_connect(self, client, userdata, flags, rc, properties=None):
        if rc != 0:
            with self.lock:
                self.problems.append(f"CONNACK {rc}")
            return
        with self.lock:
            self.connects += 1
        # The chain's own small packets go at once (see Mosquitto): the
        # latency measured is fiskald's and the broker's.
        sock = client.socket()
        if sock is not None:
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except OSError:
                pass
        client.subscribe([(f, mqtt.SubscribeOptions(qos=1)) for f in self.filters])

    def _on_disconnect(self, client, userdata, rc, properties=None):
        with self.lock:
            self.disconnects += 1

    def _on_subscribe(self, client, userdata, mid, reason_codes, properties=None):
        if any(getattr(rc, "value", rc) >= 0x80 for rc in reason_codes):
            with self.lock:
                self.problems.append(f"SUBACK {reason_codes}")
        self.subscribed.set()

    def _on_publish(self, client, userdata, mid):
        code = client.puback_reasons.pop(mid, 0)
        with self.lock:
            self.pubacks += 1
            self.puback_codes[code] += 1
        if self.on_puback_cb is not None:
            self.on_puback_cb(mid, code)

    def _on_message(self, client, userdata, msg):
        t = time.monotonic()
        try:
            self.on_message_cb(msg, t)
        except Exception as e:  # kept, never lost in paho's thread
            with self.lock:
                self.problems.append(f"on_message: {type(e).__name__}: {e}")


# --------------------------------------------------------------------------
# 1: faults


@dataclass
class Published:
    key: str
    items: int
    body: bytes
    topic: str                    # its response topic
    publishes: list[float] = field(default_factory=list)
    answers: list[Answer] = field(default_factory=list)
    final: str | None = None      # the first final state answered
    retry_at: float = 0.0
    refused: str | None = None    # a problem answer that is not "try again"


class FaultPublisher:
    """Publishes the receipts, at most `window` without a final answer at a
    time, and each one again under its key while no final answer came
    within `republish_after` seconds of its last publish (at once after a
    503: fiskald was stopping)."""

    def __init__(self, n: int, window: int, republish_after: float, rng: random.Random,
                 deadline: float):
        self.window = window
        self.republish_after = republish_after
        self.deadline = deadline
        self.lock = threading.Lock()
        self.receipts: dict[str, Published] = {}
        for i in range(n):
            items = rng.randint(1, 3)
            key = f"fault-{i:05d}-{rng.randrange(1 << 30):08x}"
            self.receipts[key] = Published(key, items, receipt_body(items, i),
                                           f"fiskal/S1/answers/{key}")
        self.order = list(self.receipts)
        self.chain: Chain | None = None
        self.published = threading.Event()  # set at each publish (kills aim at it)
        self.answered = threading.Event()   # set at each answer
        self.done = threading.Event()
        self.stop = threading.Event()       # give up (a stall)
        self.progress_at = time.monotonic() # the last new final answer
        self.stray: list[str] = []          # answers that are not about our keys
        self.stray_raw: list[str] = []      # the whole of each such message
        self.answers = 0
        self.republished = 0
        self.publish_errors = Counter()
        self.mids: dict[int, Published] = {}  # the last publish of each, by message id
        self.early: dict[int, int] = {}       # PUBACKs that came before publish() returned
        self.dropped = 0                      # PUBACK 0x10 or a refusal: published again soon
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.failure: str | None = None

    def on_message(self, msg, t: float) -> None:
        a = parse_answer(msg, t)
        with self.lock:
            self.answers += 1
            if isinstance(a, str):
                self.stray.append(a)
                self.stray_raw.append(f"{a}\n  topic {msg.topic}, qos {msg.qos}, dup {msg.dup}, "
                                      f"retain {msg.retain}, properties {msg.properties}\n"
                                      f"  payload ({len(msg.payload)} bytes) {msg.payload!r}\n")
                return
            p = self.receipts.get(a.key)
            if p is None:
                self.stray.append(f"an answer for a key never published: {a.key}")
                return
            p.answers.append(a)
            if a.state.startswith("problem "):
                if a.state in ("problem 503", "problem 409"):
                    p.retry_at = min(p.retry_at, t + 0.5)
                elif p.final is None:
                    p.refused = a.state
            elif a.state in FINAL and p.final is None:
                p.final = a.state
                self.progress_at = t
        self.answered.set()

    def on_puback(self, mid: int, code: int) -> None:
        """The broker dropped or refused a publish (PUBACK 0x10, or 0x80 and
        above): published again in a second, not after the full wait."""
        if code != NO_MATCHING_SUBSCRIBERS and code < 0x80:
            return
        with self.lock:
            p = self.mids.pop(mid, None)
            if p is None:
                self.early[mid] = code
                return
            self.dropped += 1
            if p.final is None:
                p.retry_at = min(p.retry_at, time.monotonic() + 1.0)

    def _publish(self, p: Published, now: float) -> None:
        rc, mid = self.chain.publish("fiskal/S1/receipts", p.key, p.body, p.topic)
        if rc not in (mqtt.MQTT_ERR_SUCCESS, mqtt.MQTT_ERR_NO_CONN):
            self.publish_errors[rc] += 1  # not taken at all: tried again later
        p.publishes.append(now)
        p.retry_at = now + self.republish_after
        if mid in self.early:
            self.dropped += 1
            self.early.pop(mid)
            p.retry_at = now + 1.0
        else:
            self.mids[mid] = p
        self.published.set()

    def run(self) -> None:
        try:
            self._run()
        except Exception as e:
            self.failure = f"{type(e).__name__}: {e}"
        self.done.set()

    def _run(self) -> None:
        next_i = 0
        active: list[Published] = []
        while time.monotonic() < self.deadline and not self.stop.is_set():
            with self.lock:
                active = [p for p in active if p.final is None and p.refused is None]
                now = time.monotonic()
                while len(active) < self.window and next_i < len(self.order):
                    p = self.receipts[self.order[next_i]]
                    next_i += 1
                    self._publish(p, now)
                    active.append(p)
                for p in active:
                    if now >= p.retry_at:
                        self.republished += 1
                        self._publish(p, now)
                if not active and next_i >= len(self.order):
                    return
            time.sleep(0.02)


def run_faults(args, binary: Path, tmp: Path, deadline: float) -> list[Check]:
    folder = tmp / "faults"
    folder.mkdir()
    rng = random.Random(args.seed)
    print(f"faults: {args.receipts} receipts (window {args.window}, republished after "
          f"{args.republish_after:g} s without a final answer), {args.fiskald_kills} fiskald "
          f"SIGKILLs, {args.broker_kills} broker SIGKILLs, a proxy cut about every "
          f"{args.cut_every:g} s, seed {args.seed}", flush=True)
    broker = make_broker(args, folder / "broker", ["S1"], persistence=True)
    broker.start()
    proxy = Proxy(broker.port, args.cut_every, rng.randrange(1 << 30))
    proxy.start()
    pub = FaultPublisher(args.receipts, args.window, args.republish_after,
                         random.Random(rng.random()), deadline)
    chain = Chain(f"bench-chain-{os.getpid()}", broker.port,
                  ["fiskal/S1/answers/#", "fiskal/S1/states"], pub.on_message,
                  login=broker_login(broker), on_puback=pub.on_puback)
    pub.chain = chain
    dfolder = folder / "fiskald"
    dfolder.mkdir()
    extra = (["--broker", f"mqtt://{HOST}:{proxy.port}", "--shop", "S1"]
             + broker_fiskald_args(broker, "S1"))

    kills = Counter()              # fiskald, by moment
    broker_kills = 0
    restart_s: list[float] = []    # fiskald: SIGKILL to listening again
    in_doubt_seen: dict[int, int] = {}  # id -> texts_sent when first seen in_doubt
    said_in_doubt = 0
    unexpected: list[str] = []
    instances = 0
    d: Fiskald | None = None
    killed_at: float | None = None
    next_broker_kill = [time.monotonic() + rng.uniform(1, 2 * args.broker_every)]
    spinning: list[str] = []       # instances with a thread busy all along, seen at their kill
    kill_times: list[float] = []   # fiskald's kills, seconds into the run
    broker_kill_times: list[float] = []
    stalls: list[str] = []         # the receipts stopped moving: what fiskald looked like

    def account(instance: Fiskald) -> None:
        nonlocal said_in_doubt
        for line in instance.lines:
            m = IN_DOUBT.match(line)
            if m:
                said_in_doubt += int(m.group(1))
        unexpected.extend(instance.unexpected_lines(EXPECTED_LINES))

    def snapshot_in_doubt(port: int) -> None:
        try:
            got = get_json(port, f"/v1/receipts?state=in_doubt&limit={LIST_LIMIT}")
        except (OSError, http.client.HTTPException):
            return  # killed meanwhile is not possible here, but a slow start is
        for r in got["receipts"]:
            in_doubt_seen.setdefault(r["id"], r["texts_sent"])

    def spin_check(instance: Fiskald) -> None:
        """Before a kill: did one of its threads run most of its life?"""
        life = time.monotonic() - instance.started_s
        tid, name, used = busiest(thread_ticks(instance.pid))
        if life >= 1.0 and used >= 0.5 * life * CLK_TCK:
            spinning.append(f"start {instances}: thread {tid} ({name}) {used} ticks in "
                            f"{life:.1f} s")

    def evidence(instance: Fiskald, tid: int, name: str, used: int, window_s: float) -> str:
        try:
            c = http.client.HTTPConnection(HOST, instance.port, timeout=2)
            c.request("GET", "/v1/broker")
            broker_state = c.getresponse().read().decode(errors="replace")
            c.close()
        except (OSError, http.client.HTTPException) as e:
            broker_state = f"no answer in 2 s ({type(e).__name__})"
        log = broker.log.read_text(errors="replace") if broker.log.exists() else ""
        connects = [l.split(":", 1)[0] for l in log.splitlines() if "as fiskald-S1" in l]
        return (f"thread {tid} ({name}) {used} ticks in the last {window_s:.0f} s; "
                f"GET /v1/broker: {broker_state}; broker log: {len(connects)} connections of "
                f"fiskald-S1, the last at {connects[-1] if connects else '-'} (epoch s); "
                f"fiskald's last words: {instance.lines[-1] if instance.lines else '-'}")

    def broker_due() -> None:
        nonlocal broker_kills
        if broker_kills >= args.broker_kills or time.monotonic() < next_broker_kill[0]:
            return
        broker.kill()
        broker_kills += 1
        broker_kill_times.append(time.monotonic() - t_begin)
        broker.start()
        next_broker_kill[0] = time.monotonic() + rng.uniform(1, 2 * args.broker_every)

    def pause(until: float, event: threading.Event | None = None) -> bool:
        """Waits until `until` or the event, killing the broker when its
        time comes meanwhile; whether the event came."""
        while True:
            broker_due()
            now = time.monotonic()
            if now >= until:
                return False
            step = min(until, next_broker_kill[0] if broker_kills < args.broker_kills
                       else until) - now
            step = max(0.0, min(step, 0.5))
            if event is not None:
                if event.wait(step):
                    return True
            else:
                time.sleep(step)

    t_begin = time.monotonic()
    try:
        chain.connect()
        d = Fiskald(binary, dfolder, extra)
        instances += 1
        d.start()
        if not wait_connected(d, START_TIMEOUT_S):
            raise BenchError("fiskald did not connect to the broker through the proxy: "
                             + "; ".join(d.lines[-5:]))
        pub.thread.start()
        proxy.set_cutting(True)
        # fiskald's kills; the broker's come in between at their own times.
        while (sum(kills.values()) < args.fiskald_kills and not pub.done.is_set()
               and time.monotonic() < deadline):
            moment = rng.choices(["anytime", "arrival", "answer", "startup"],
                                 weights=[4, 3, 2, 1])[0]
            if d is None:
                d = Fiskald(binary, dfolder, extra)
                instances += 1
                if moment == "startup":
                    d.start(wait_ready=False)
                else:
                    d.start()
                    if killed_at is not None:
                        restart_s.append(d.ready_s - killed_at)
                    snapshot_in_doubt(d.port)
            if moment == "startup":
                pause(d.started_s + rng.uniform(0, 0.2))
            elif moment == "anytime":
                pause(time.monotonic() + rng.uniform(0.05, 2.5))
            else:
                # Right after the chain published (the receipt is on its way
                # to fiskald: before or after its commit), or right after an
                # answer came (fiskald is about to forget it in its outbox).
                event = pub.published if moment == "arrival" else pub.answered
                event.clear()
                pause(time.monotonic() + 4.0, event)
                pause(time.monotonic() + rng.uniform(0, 0.015 if moment == "arrival"
                                                     else 0.005))
            if pub.done.is_set() and moment != "startup":
                break  # every receipt answered: the kills that are left have no work to hit
            check_no_serial(d.pid)
            spin_check(d)
            d.proc.kill()
            killed_at = time.monotonic()
            d.kill()
            account(d)
            d = None
            kills[moment] += 1
            kill_times.append(killed_at - t_begin)
        if d is None:
            d = Fiskald(binary, dfolder, extra)
            instances += 1
            d.start()
            if killed_at is not None:
                restart_s.append(d.ready_s - killed_at)
            snapshot_in_doubt(d.port)
        # The broker's kills that are left, then the rest of the receipts
        # without faults. Every 2 s: a fiskald with a thread that runs flat
        # out, or no new final answer for --stall-seconds, is a stall:
        # recorded with what fiskald looked like, then fiskald is killed and
        # started again (25 times at most) so that the rest can still be
        # checked.
        fault_s = None
        watch_from = time.monotonic()
        before = thread_ticks(d.pid)
        t_before = time.monotonic()
        while not pub.done.is_set() and time.monotonic() < deadline:
            if broker_kills < args.broker_kills:
                pause(min(time.monotonic() + 2.0, deadline))
            else:
                if fault_s is None:
                    fault_s = time.monotonic() - t_begin
                    proxy.set_cutting(False)
                if pub.done.wait(2.0):
                    break
            now = time.monotonic()
            ticks = thread_ticks(d.pid)
            tid, name, used = busiest(ticks, before)
            window_s = now - t_before
            quiet_s = now - max(pub.progress_at, watch_from)
            stalled = None
            if used >= 0.8 * window_s * CLK_TCK:
                stalled = "a thread runs flat out"
            elif quiet_s > args.stall_seconds:
                stalled = f"no new final answer for {quiet_s:.0f} s"
            before, t_before = ticks, now
            if stalled is None:
                continue
            text = f"{stalled}: {evidence(d, tid, name, used, window_s)}"
            stalls.append(f"{now - t_begin:.0f} s into the run: {text}")
            note(f"stall {len(stalls)}: {text}")
            if len(stalls) >= 25:
                pub.stop.set()
                break
            d.kill()
            account(d)
            d = Fiskald(binary, dfolder, extra)
            instances += 1
            d.start()
            snapshot_in_doubt(d.port)
            watch_from = time.monotonic()
            before, t_before = thread_ticks(d.pid), time.monotonic()
        if fault_s is None:
            fault_s = time.monotonic() - t_begin
        proxy.set_cutting(False)
        pub.stop.set()
        receipts_s = time.monotonic() - t_begin
        connected_at_end = wait_connected(d, 30)
        # The answers still in the outbox go out.
        waiting = None
        t_out = time.monotonic() + 30
        while time.monotonic() < t_out:
            try:
                waiting = metrics(d.port).get("fiskald_broker_answers_waiting")
            except (OSError, http.client.HTTPException):
                waiting = None  # /metrics did not answer
            if waiting == 0:
                break
            time.sleep(0.2)
        time.sleep(0.5)  # the last answers reach the chain
        receipts = fetch_all_receipts(d.port)
        transcripts: dict[int, bytes] = {}
        for rid in receipts:
            status, _, data = request(d.port, "GET", f"/v1/receipts/{rid}/transcript")
            if status != 200:
                raise BenchError(f"GET /v1/receipts/{rid}/transcript: status {status}")
            transcripts[rid] = data
        check_no_serial(d.pid)
        stop_status, stop_s = d.stop()
        account(d)
        d = None
    finally:
        proxy.set_cutting(False)
        if d is not None:
            d.kill()
        chain.close()
        proxy.stop()
        broker.kill()

    # ---- the checks
    with pub.lock:
        published = list(pub.receipts.values())
        stray = list(pub.stray)
        if pub.stray_raw:
            (folder / "stray-answers.txt").write_text("".join(pub.stray_raw))
    sent = [p for p in published if p.publishes]
    by_key: dict[str, list[dict]] = {}
    for r in receipts.values():
        by_key.setdefault(r["idempotency_key"], []).append(r)
    missing = [p.key for p in sent if p.key not in by_key]
    twice = [k for k, rs in by_key.items() if len(rs) > 1]
    strangers = [k for k in by_key if k not in pub.receipts]
    never_sent_there = [p.key for p in published if not p.publishes and p.key in by_key]
    no_final = [p.key for p in sent if p.final is None]
    refused = [f"{p.key}: {p.refused}" for p in sent if p.refused]
    states = Counter(r["state"] for r in receipts.values())
    finals = Counter(p.final or "none" for p in sent)

    items_of = {p.key: p.items for p in published}
    bad_texts: list[str] = []
    for rid, r in sorted(receipts.items()):
        records = transcript_records(transcripts[rid])
        if r["idempotency_key"] not in items_of:
            continue  # a stranger: counted in "one receipt per key"
        want_total = items_of[r["idempotency_key"]] + 3
        if records is None:
            bad_texts.append(f"receipt {rid}: its transcript is not records alone")
            continue
        if r["texts_total"] != want_total:
            bad_texts.append(f"receipt {rid}: texts_total {r['texts_total']}, published "
                             f"with {want_total} texts")
        # Only a final receipt holds still between the list and its
        # transcript (one queued or sending fails its own check below).
        if r["state"] in ("queued", "sending"):
            continue
        if len(records) != r["texts_sent"] or r["texts_sent"] > r["texts_total"]:
            bad_texts.append(f"receipt {rid} {r['state']}: {len(records)} records, "
                             f"texts_sent {r['texts_sent']}, texts_total {r['texts_total']}")
        if r["state"] == "printed" and r["texts_sent"] != r["texts_total"]:
            bad_texts.append(f"receipt {rid} printed with texts_sent {r['texts_sent']} of "
                             f"{r['texts_total']}")
        if len(set(records)) != len(records):
            bad_texts.append(f"receipt {rid}: a text appears twice in its transcript")

    # A receipt seen in_doubt (after a restart, or in an answer) must be
    # in_doubt at the end with the texts it had sent then, and no answer
    # after its first in_doubt one may report another state.
    by_id = {r["id"]: r for r in receipts.values()}
    for p in sent:
        for a in p.answers:
            if a.state == "in_doubt" and a.rid is not None and a.texts_sent is not None:
                in_doubt_seen.setdefault(a.rid, a.texts_sent)
    resent = [f"receipt {rid}: in_doubt with {n} texts, at the end "
              f"{by_id[rid]['state'] if rid in by_id else 'gone'}"
              f" with {by_id[rid]['texts_sent'] if rid in by_id else '-'}"
              for rid, n in sorted(in_doubt_seen.items())
              if rid not in by_id or by_id[rid]["state"] != "in_doubt"
              or by_id[rid]["texts_sent"] != n]
    after_doubt = []
    for p in sent:
        seen = False
        for a in p.answers:
            if a.state == "in_doubt":
                seen = True
            elif seen and not a.state.startswith("problem "):
                after_doubt.append(f"{p.key}: {a.state} after in_doubt")
                break

    # The answers: one receipt per key, on its own topic, the journal's
    # final state.
    two_ids = [f"{p.key}: ids {sorted({a.rid for a in p.answers if a.rid is not None})}"
               for p in sent
               if len({a.rid for a in p.answers if a.rid is not None
                       and not a.state.startswith("problem ")}) > 1]
    wrong_topic = [f"{p.key}: on {a.topic}" for p in sent for a in p.answers
                   if a.topic != p.topic]
    not_journal = [f"{p.key}: answered {p.final}, the journal says {by_key[p.key][0]['state']}"
                   for p in sent if p.final and p.key in by_key
                   and by_key[p.key][0]["state"] != p.final]
    problems = Counter(a.state for p in sent for a in p.answers if a.state.startswith("problem "))
    unfinished = states.get("queued", 0) + states.get("sending", 0)
    no_reason = [r["id"] for r in receipts.values()
                 if r["state"] in ("not_sent", "cut", "in_doubt") and not r.get("message")]
    n_kills = sum(kills.values())
    answers_total = sum(len(p.answers) for p in sent)
    answer_states = Counter(a.state for p in sent for a in p.answers)
    in_doubt = states.get("in_doubt", 0)

    lost = sorted(set(missing) | set(no_final))
    printed_twice = len(twice) + sum(1 for t in bad_texts if "twice" in t)
    checks = [
        Check(f"exactly once on {args.broker}: lost / printed twice / in_doubt sent again",
              f"{len(lost)} / {printed_twice} / {len(resent) + len(after_doubt)}",
              "0 / 0 / 0", not lost and not printed_twice and not resent and not after_doubt),
        Check("fiskald kills", f"{n_kills} ({', '.join(f'{k} {v}' for k, v in sorted(kills.items()))})"
              f" in {fault_s:.0f} s, {instances} starts", f"{args.fiskald_kills}",
              n_kills >= args.fiskald_kills),
        Check("broker kills", f"{broker_kills} (restart p50 "
              f"{statistics.median(broker.start_s) * 1000:.0f} ms)", f"{args.broker_kills}",
              broker_kills >= args.broker_kills),
        Check("proxy cuts", f"{sum(proxy.cuts.values())} ("
              + ", ".join(f"{k} {v}" for k, v in sorted(proxy.cuts.items()))
              + f"); {proxy.accepted} connections, {proxy.no_upstream} refused while the "
              "broker was down", "", None),
        Check("published", f"{len(sent)} keys of {len(published)}, {sum(len(p.publishes) for p in sent)}"
              f" publishes ({pub.republished} republished"
              + (f", not taken by the client: {dict(pub.publish_errors)}" if pub.publish_errors
                 else "") + f") in {receipts_s:.0f} s", f"{len(published)} keys",
              len(sent) == len(published)),
        Check("a final answer for every key", f"{len(sent) - len(no_final)} of {len(sent)}; "
              "final states answered: " + ", ".join(f"{k} {v}" for k, v in sorted(finals.items()))
              + listing(no_final), "all", not no_final),
        Check("answers", f"{answers_total} (" + ", ".join(
              f"{k} {v}" for k, v in sorted(answer_states.items())) + f"); "
              f"{sum(1 for p in sent for a in p.answers if a.dup)} marked DUP", "", None),
        Check("problem answers but 503", f"{sum(n for s, n in problems.items() if s != 'problem 503')}"
              f" (503: {problems.get('problem 503', 0)})" + listing(refused), "0",
              not refused and all(s == "problem 503" for s in problems)),
        Check("one receipt per key (journal)",
              f"{len(receipts)} receipts: missing {len(missing)}, twice {len(twice)}, keys never "
              f"published {len(strangers) + len(never_sent_there)}"
              + listing(missing + twice + strangers + never_sent_there), "0 / 0 / 0",
              not missing and not twice and not strangers and not never_sent_there),
        Check("one receipt per key (answers)", f"{len(two_ids)} keys answered with two ids; "
              f"{len(wrong_topic)} answers on another topic" + listing(two_ids + wrong_topic),
              "0", not two_ids and not wrong_topic),
        Check("final answer = the journal's state", f"{len(not_journal)} differ"
              + listing(not_journal), "0", not not_journal),
        Check("printed twice / transcript not its texts", f"{len(bad_texts)}"
              + listing(bad_texts), "0", not bad_texts),
        Check("in_doubt sent again", f"{len(resent)} of {len(in_doubt_seen)} seen in_doubt; "
              f"{len(after_doubt)} keys answered another state after in_doubt"
              + listing(resent + after_doubt), "0", not resent and not after_doubt),
        Check("receipts in the journal", f"printed {states.get('printed', 0)}, in_doubt "
              f"{in_doubt}" + "".join(f", {s} {n}" for s, n in sorted(states.items())
                                      if s not in ("printed", "in_doubt"))
              + f"; {len(no_reason)} not printed without a message",
              "none queued or sending", unfinished == 0 and not no_reason),
        Check("in_doubt at most one per fiskald kill", f"{in_doubt} for {n_kills} kills "
              f"(fiskald reported {said_in_doubt} at its starts)", "<= kills",
              in_doubt <= n_kills),
        Check("stalls (receipts stopped moving)", f"{len(stalls)}" + listing(stalls), "0",
              not stalls),
        Check("fiskald busy at its kill (a thread ran half its life or more)",
              f"{len(spinning)} of {instances} starts" + listing(spinning), "0", not spinning),
        Check("outbox at the end", f"{waiting if waiting is not None else '?'} answers waiting, "
              f"connected {connected_at_end}", "0", waiting == 0 and connected_at_end),
        Check("the broker's PUBACKs", ", ".join(
              f"0x{c:02X} {n}" for c, n in sorted(chain.puback_codes.items()))
              + f"; {pub.dropped} dropped or refused, published again after 1 s", "", None),
        Check("the chain's client", f"{chain.connects} connects, {chain.disconnects} "
              f"disconnects, {len(stray)} stray answers, {len(chain.problems)} problems"
              + listing(stray + chain.problems), "0 stray, 0 problems",
              not stray and not chain.problems and pub.failure is None),
    ]
    print_checks(checks)
    if restart_s:
        note(f"fiskald restart (SIGKILL to listening again, s): p50 "
             f"{statistics.median(restart_s):.3f} / max {max(restart_s):.3f} over "
             f"{len(restart_s)} starts")
    doubt = [r for r in receipts.values() if r["state"] == "in_doubt"]
    if doubt:
        sent_counts = Counter(r["texts_sent"] for r in doubt)
        note("in_doubt receipts by texts sent: " + ", ".join(
            f"{n}: {c}" for n, c in sorted(sent_counts.items())))
    repub = Counter(len(p.publishes) for p in sent)
    note("publishes per key: " + ", ".join(f"{n}x {c}" for n, c in sorted(repub.items())))
    slow = sorted((p for p in sent if len(p.publishes) >= 5), key=lambda p: -len(p.publishes))
    if slow:
        note("broker kills at (s): " + " ".join(f"{t:.1f}" for t in broker_kill_times)
             + f"; fiskald's last kill at {kill_times[-1] if kill_times else 0:.1f} s")
    for p in slow[:3]:
        t0 = p.publishes[0]
        note(f"{p.key} (published {len(p.publishes)} times, {t0 - t_begin:.1f} s into the run): "
             f"published at +" + " +".join(f"{t - t0:.1f}" for t in p.publishes[1:])
             + "; answers " + ", ".join(f"{a.state} +{a.t - t0:.1f}" for a in p.answers))
    note(f"final fiskald: SIGTERM stopped it in {stop_s:.2f} s, exit status {stop_status}")
    if pub.failure:
        note(f"the publisher failed: {pub.failure}")
    if stray:
        note(f"the stray answers in full: {folder / 'stray-answers.txt'} (kept with --keep)")
    for line in sorted(set(unexpected))[:10]:
        note(f"fiskald said: {line}")
    checks.append(Check("final fiskald stopped", f"exit status {stop_status}", "0",
                        stop_status == 0))
    return checks


# --------------------------------------------------------------------------
# 2: load


class LoadAnswers:
    def __init__(self):
        self.lock = threading.Lock()
        self.sent_at: dict[str, float] = {}
        self.shop_of: dict[str, str] = {}
        self.queued_at: dict[str, float] = {}
        self.sent_wall: dict[str, float] = {}
        self.queued_wall: dict[str, tuple[float, str]] = {}  # wall time it came, accepted_at
        self.ids: dict[str, set[int]] = {}
        self.answered: set[str] = set()
        self.problems = Counter()
        self.problem_sample: dict[str, str] = {}
        self.stray: list[str] = []
        self.online: set[str] = set()
        self.count = 0

    def on_message(self, msg, t: float) -> None:
        if msg.topic.endswith("/status"):
            shop = msg.topic.split("/")[1]
            try:
                online = json.loads(msg.payload).get("online") is True
            except ValueError:
                online = False
            with self.lock:
                (self.online.add if online else self.online.discard)(shop)
            return
        a = parse_answer(msg, t)
        with self.lock:
            self.count += 1
            if isinstance(a, str):
                self.stray.append(a)
                return
            if a.key not in self.sent_at:
                self.stray.append(f"an answer for a key not published (yet): {a.key}")
                return
            if a.topic.split("/")[1] != self.shop_of[a.key]:
                self.stray.append(f"{a.key}: answered on {a.topic}")
            self.answered.add(a.key)
            if a.state.startswith("problem "):
                self.problems[a.state] += 1
                self.problem_sample.setdefault(a.state, a.key)
                return
            if a.rid is not None:
                self.ids.setdefault(a.key, set()).add(a.rid)
            if a.state == "queued" and a.key not in self.queued_at:
                self.queued_at[a.key] = t
                self.queued_wall[a.key] = (time.time(), a.accepted_at or "")


def run_load(args, binary: Path, tmp: Path, deadline: float) -> list[Check]:
    folder = tmp / "load"
    folder.mkdir()
    shops = [f"S{k}" for k in range(1, args.shops + 1)]
    total = int(round(args.rate * args.seconds))
    print(f"load: {args.shops} fiskald (shops {shops[0]}..{shops[-1]}) on one broker "
          f"(persistence {'on, saved at every change' if args.load_broker_persistence else 'off'})"
          f", {args.rate:g} receipts/s offered in all ({args.rate / args.shops:g}/s a shop, "
          f"fixed schedule, 1 item each) for {args.seconds:g} s: {total} receipts", flush=True)
    broker = make_broker(args, folder / "broker", shops,
                         persistence=args.load_broker_persistence)
    broker.start()
    answers = LoadAnswers()
    chain = Chain(f"bench-load-{os.getpid()}", broker.port,
                  ["fiskal/+/answers/#", "fiskal/+/states", "fiskal/+/status"],
                  answers.on_message, login=broker_login(broker))
    daemons: dict[str, Fiskald] = {}
    try:
        chain.connect()
        for shop in shops:
            f = folder / shop
            f.mkdir()
            d = Fiskald(binary, f, ["--broker", f"mqtt://{HOST}:{broker.port}", "--shop", shop]
                        + broker_fiskald_args(broker, shop))
            d.start()
            daemons[shop] = d
        t_wait = time.monotonic() + 30
        while time.monotonic() < t_wait:
            with answers.lock:
                if answers.online >= set(shops):
                    break
            time.sleep(0.05)
        with answers.lock:
            offline = sorted(set(shops) - answers.online)
        if offline:
            raise BenchError(f"not online within 30 s: {', '.join(offline)}")
        for d in daemons.values():
            check_no_serial(d.pid)

        # Idle, connected.
        time.sleep(1.0)
        t0 = {s: cpu_ticks(d.pid) for s, d in daemons.items()}
        c0 = {s: context_switches(d.pid) for s, d in daemons.items()}
        b0 = cpu_ticks(broker.pid)
        time.sleep(args.idle_seconds)
        idle_ticks = {s: cpu_ticks(d.pid) - t0[s] for s, d in daemons.items()}
        idle_cs = {s: context_switches(d.pid) - c0[s] for s, d in daemons.items()}
        broker_idle = cpu_ticks(broker.pid) - b0
        mem_idle = {s: status_kib(d.pid) for s, d in daemons.items()}

        # The load: one publish at each time of the schedule, late ones at once.
        interval = 1.0 / args.rate
        lt0 = {s: cpu_ticks(d.pid) for s, d in daemons.items()}
        lb0 = cpu_ticks(broker.pid)
        ru0 = os.times()
        late_ms: list[float] = []
        publish_rc = Counter()
        rss_peak = {s: 0 for s in shops}
        next_sample = 0.0
        start_at = time.monotonic() + 0.2
        for i in range(total):
            at = start_at + i * interval
            now = time.monotonic()
            if now >= next_sample:
                for s, d in daemons.items():
                    rss_peak[s] = max(rss_peak[s], status_kib(d.pid)["VmRSS"])
                next_sample = now + 1.0
                now = time.monotonic()
                if now > deadline:
                    raise TimedOut()
            if at > now:
                time.sleep(at - now)
            shop = shops[i % len(shops)]
            key = f"load-{shop}-{i:06d}"
            with answers.lock:
                answers.shop_of[key] = shop
                t = time.monotonic()
                answers.sent_at[key] = t
                answers.sent_wall[key] = time.time()
            late_ms.append((t - at) * 1000)
            rc, _ = chain.publish(f"fiskal/{shop}/receipts", key, receipt_body(1, i),
                                  f"fiskal/{shop}/answers/load")
            publish_rc[rc] += 1
        load_end = time.monotonic()
        # The answers still on their way (10 s at most).
        t_wait = load_end + 10
        while time.monotonic() < t_wait:
            with answers.lock:
                if len(answers.queued_at) + sum(answers.problems.values()) >= total:
                    break
            time.sleep(0.05)
        lt1 = {s: cpu_ticks(d.pid) for s, d in daemons.items()}
        lb1 = cpu_ticks(broker.pid)
        ru1 = os.times()
        mem_after = {s: status_kib(d.pid) for s, d in daemons.items()}
        for s, d in daemons.items():
            rss_peak[s] = max(rss_peak[s], mem_after[s]["VmRSS"])
            check_no_serial(d.pid)
        pending = {}
        no_metrics = []
        for s, d in daemons.items():
            try:
                m = metrics(d.port)
            except (OSError, http.client.HTTPException) as e:
                no_metrics.append(f"{s}: {type(e).__name__}")
                continue
            pending[s] = int(m.get('fiskald_receipts{state="queued"}', 0)
                             + m.get('fiskald_receipts{state="sending"}', 0))
        # The journals, read-only, while fiskald goes on printing.
        journal: dict[str, list[tuple[int, str, str]]] = {}
        for s, d in daemons.items():
            db = sqlite3.connect(f"file:{d.journal}?mode=ro", uri=True, timeout=10)
            try:
                journal[s] = db.execute(
                    "SELECT id, idempotency_key, state FROM receipts").fetchall()
            finally:
                db.close()
    finally:
        for d in daemons.values():
            d.kill()
        chain.close()
        broker.kill()

    said = sorted({l for d in daemons.values() for l in d.unexpected_lines(EXPECTED_LINES)})
    with answers.lock:
        sent = dict(answers.sent_at)
        queued = dict(answers.queued_at)
        ids = {k: set(v) for k, v in answers.ids.items()}
        answered = set(answers.answered)
        problems = Counter(answers.problems)
        stray = list(answers.stray)
        n_answers = answers.count
    latency = [(queued[k] - sent[k]) * 1000 for k in sent if k in queued]
    # Split at the receipt's accepted_at (fiskald's wall clock, in ms, taken
    # as it is stored; the same clock as time.time() here).
    to_accepted, to_answer = [], []
    with answers.lock:
        for k, (came, stamp) in answers.queued_wall.items():
            try:
                acc = datetime.datetime.fromisoformat(stamp.replace("Z", "+00:00")).timestamp()
            except ValueError:
                continue
            to_accepted.append((acc - answers.sent_wall[k]) * 1000)
            to_answer.append((came - acc) * 1000)
    no_answer = sorted(k for k in sent if k not in answered)
    no_queued = sorted(k for k in sent if k in answered and k not in queued)
    where: dict[str, list[str]] = {}
    for s, rows in journal.items():
        for rid, key, state in rows:
            where.setdefault(key, []).append(s)
    not_in_journal = sorted(k for k in sent if k not in where)
    twice = sorted(k for k, places in where.items() if len(places) > 1)
    wrong_shop = sorted(k for k, places in where.items()
                        if k in sent and places[0] != answers.shop_of[k])
    strangers = sorted(k for k in where if k not in sent)
    two_ids = sorted(k for k, v in ids.items() if len(v) > 1)
    window = max(load_end - start_at, 1e-9)
    fiskald_cpu = sum(lt1[s] - lt0[s] for s in shops) / CLK_TCK
    chain_cpu = (ru1.user - ru0.user) + (ru1.system - ru0.system)
    rss_after = [mem_after[s]["VmRSS"] / 1024 for s in shops]
    rss_idle = [mem_idle[s]["VmRSS"] / 1024 for s in shops]
    hwm = [mem_after[s]["VmHWM"] / 1024 for s in shops]
    peak = [rss_peak[s] / 1024 for s in shops]
    ticks = [idle_ticks[s] for s in shops]

    checks = [
        Check("published", f"{len(sent)} in {window:.2f} s ({len(sent) / window:.1f}/s); "
              f"client rc {dict(publish_rc)}, sends late on the schedule (ms) "
              f"{latency_text(late_ms)}", f"{total}, rc 0",
              len(sent) == total and set(publish_rc) == {0}),
        Check("publish to queued answer (ms)", latency_text(latency) + f" over {len(latency)}",
              f"p99 < {TARGET_P99_MS:g}",
              bool(latency) and percentile(latency, 99) < TARGET_P99_MS),
        Check("lost", f"{len(no_answer)} without an answer, {len(no_queued)} answered but "
              f"never queued, {len(not_in_journal)} not in a journal"
              + listing(no_answer + no_queued + not_in_journal), "0",
              not no_answer and not no_queued and not not_in_journal),
        Check("twice", f"{len(twice)} keys with two receipts, {len(two_ids)} answered with two "
              f"ids, {len(wrong_shop)} in another shop's journal, {len(strangers)} receipts of "
              "keys never published" + listing(twice + two_ids + wrong_shop + strangers), "0",
              not twice and not two_ids and not wrong_shop and not strangers),
        Check("problem answers", f"{sum(problems.values())}"
              + "".join(f", {s}: {n} (e.g. {answers.problem_sample[s]})"
                        for s, n in sorted(problems.items()))
              + f"; {len(stray)} stray" + listing(stray + chain.problems), "0",
              not problems and not stray and not chain.problems),
        Check("fiskald VmRSS, connected, after the load (MB)",
              f"max {max(rss_after):.1f} / mean {statistics.mean(rss_after):.1f} "
              f"({statistics.mean(pending.values() or [0]):.0f} receipts queued a shop); "
              f"peak seen during the load {max(peak):.1f}, VmHWM max {max(hwm):.1f}",
              f"< {TARGET_RSS_MB:g}", max(max(rss_after), max(peak)) < TARGET_RSS_MB),
        Check("fiskald VmRSS, connected, idle (MB)",
              f"max {max(rss_idle):.1f} / mean {statistics.mean(rss_idle):.1f}; "
              f"{mem_idle[shops[0]]['Threads']} threads",
              f"< {TARGET_RSS_MB:g}", max(rss_idle) < TARGET_RSS_MB),
        Check(f"fiskald CPU idle, connected, {args.idle_seconds:g} s (ticks)",
              f"max {max(ticks)}, sum {sum(ticks)} over {len(ticks)} ({ticks.count(0)} at 0); "
              f"context switches max {max(idle_cs.values())}, mean "
              f"{statistics.mean(idle_cs.values()):.1f}; broker {broker_idle}",
              f"0 each, {TARGET_IDLE_TICKS} allowed for a keep-alive ({KEEP_ALIVE_S} s)",
              max(ticks) <= TARGET_IDLE_TICKS),
    ]
    print_checks(checks)
    note(f"CPU over the load: the {len(shops)} fiskald {fiskald_cpu:.2f} s "
         f"({fiskald_cpu / max(len(sent), 1) * 1e6:.0f} us a receipt, answers included), "
         f"the broker {(lb1 - lb0) / CLK_TCK:.2f} s, this script (publisher) {chain_cpu:.2f} s, "
         f"over {window:.1f} s")
    note(f"split at the receipt's accepted_at (wall clock, ms resolution): publish to "
         f"accepted_at {latency_text(to_accepted)}; accepted_at to the answer at the chain "
         f"{latency_text(to_answer)}")
    note(f"answers received: {n_answers}; at the end {sum(pending.values())} receipts queued "
         f"or sending in all (about 1 s each to print)")
    for line in said[:10]:
        note(f"fiskald said: {line}")
    if no_metrics:
        note("GET /metrics did not answer: " + ", ".join(no_metrics))
    return checks


# --------------------------------------------------------------------------


def parse_args(argv: list[str]) -> argparse.Namespace:
    summary, _, details = __doc__.partition("\n")
    p = argparse.ArgumentParser(prog="broker.py", description=summary, epilog=details.strip(),
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--binary", metavar="PATH",
                   help="the fiskald executable (default: build build-bench/fiskald, Release)")
    p.add_argument("--only", action="append", choices=["faults", "load"],
                   help="run only this part (repeatable; default both)")
    p.add_argument("--broker", choices=["mosquitto", "ejabberd"], default="mosquitto",
                   help="the broker: the system's mosquitto (default), or a private ejabberd "
                        "(mod_mqtt) from examples/broker/ejabberd.yml, whose sessions live in "
                        "memory only")
    g = p.add_argument_group("faults")
    g.add_argument("--receipts", metavar="N", type=int, default=200,
                   help="receipts the chain publishes (default 200)")
    g.add_argument("--fiskald-kills", metavar="N", type=int, default=100,
                   help="SIGKILLs of fiskald (default 100)")
    g.add_argument("--broker-kills", metavar="N", type=int, default=20,
                   help="SIGKILLs of the broker (default 20)")
    g.add_argument("--broker-every", metavar="S", type=float, default=6.0,
                   help="mean seconds between the broker's kills (uniform 1..2S; default 6)")
    g.add_argument("--cut-every", metavar="S", type=float, default=4.0,
                   help="mean seconds between the proxy's cuts (exponential; 0: none; "
                        "default 4)")
    g.add_argument("--window", metavar="N", type=int, default=4,
                   help="receipts published and not finally answered at a time (default 4)")
    g.add_argument("--stall-seconds", metavar="S", type=float, default=120.0,
                   help="after the faults, no new final answer for this long is a stall "
                        "(fiskald reconnects within 75 s at most; default 120)")
    g.add_argument("--republish-after", metavar="S", type=float, default=5.0,
                   help="publish again when no final answer came within S seconds "
                        "(default 5)")
    g = p.add_argument_group("load")
    g.add_argument("--shops", metavar="N", type=int, default=20,
                   help="fiskald processes, shops S1..SN (default 20)")
    g.add_argument("--rate", metavar="R", type=float, default=200.0,
                   help="receipts per second offered in all (default 200)")
    g.add_argument("--seconds", metavar="S", type=float, default=30.0,
                   help="length of the load (default 30)")
    g.add_argument("--idle-seconds", metavar="S", type=float, default=10.0,
                   help="length of the idle measurement (default 10)")
    g.add_argument("--load-broker-persistence", action="store_true",
                   help="the load's broker saves to disk at every change, as the faults' "
                        "does (default: persistence off)")
    p.add_argument("--timeout-minutes", metavar="M", type=float, default=15.0,
                   help="the whole run ends (exit status 2) after this long (default 15)")
    p.add_argument("--seed", metavar="N", type=int, default=None,
                   help="seed of the faults (default: random, printed)")
    p.add_argument("--keep", action="store_true",
                   help="keep the temp folder (journals, logs)")
    args = p.parse_args(argv)
    if not 1 <= args.receipts <= 100000 or not 1 <= args.window <= 1000:
        p.error("--receipts must be 1..100000 and --window 1..1000")
    if not 0 <= args.fiskald_kills <= 10000 or not 0 <= args.broker_kills <= 1000:
        p.error("--fiskald-kills must be 0..10000 and --broker-kills 0..1000")
    if not 1 <= args.shops <= 200:
        p.error("--shops must be 1..200")
    if (args.rate <= 0 or args.seconds <= 0 or args.idle_seconds <= 0 or args.cut_every < 0
            or args.broker_every <= 0 or args.republish_after <= 0 or args.timeout_minutes <= 0):
        p.error("rates and times must be positive")
    if args.rate * args.seconds > 1_000_000:
        p.error("--rate x --seconds: at most 1000000 receipts")
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 31)
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    parts = args.only or ["faults", "load"]

    def interrupted(signum, frame):
        raise Interrupted(signal.Signals(signum).name)

    def timed_out(signum, frame):
        raise TimedOut()

    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    signal.signal(signal.SIGALRM, timed_out)
    # The parts watch the deadline themselves; the alarm, a little later, is
    # for a wait that does not.
    deadline = time.monotonic() + args.timeout_minutes * 60
    signal.setitimer(signal.ITIMER_REAL, args.timeout_minutes * 60 + 30)
    tmp = None
    checks: list[Check] = []
    try:
        if mqtt is None:
            raise BenchError("paho.mqtt is not installed (Debian: python3-paho-mqtt); run "
                             "with /usr/bin/python3")
        if args.broker == "mosquitto" and not os.access(MOSQUITTO, os.X_OK):
            raise BenchError(f"{MOSQUITTO} is not installed (Debian: mosquitto)")
        if args.broker == "ejabberd" and not any(
                Path(mqtt_brokers.EJABBERD_LIBS).glob("ejabberd-*")):
            raise BenchError("ejabberd is not installed (Debian: ejabberd; its service need "
                             "not run: the benchmark starts one of its own)")
        for n in range(1, 10):
            if os.path.lexists(absent_device(n)):
                raise BenchError(f"{absent_device(n)} exists: it must not, fiskald's ports "
                                 "point there")
        binary = find_binary(args.binary, "fiskald", use_build=False)
        done = subprocess.run([str(binary), "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
        version = done.stdout.decode(errors="replace").strip()
        if done.returncode != 0 or not version.startswith("fiskald"):
            raise BenchError(f"{binary} --version: {version!r}")
        if args.broker == "mosquitto":
            mosq = subprocess.run([MOSQUITTO, "-h"], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=10)
            mosq_version = (mosq.stdout.decode(errors="replace").splitlines() or ["?"])[0]
        else:
            mosq_version = "ejabberd " + min(
                (p.name.split("-", 1)[1] for p in Path(mqtt_brokers.EJABBERD_LIBS).glob("ejabberd-*")),
                key=len)
        tmp = Path(tempfile.mkdtemp(prefix="fiskald-broker-bench-"))
        print(f"fiskald broker benchmark: {binary} ({version}, build type "
              f"{build_type_of(binary)}), {mosq_version}, paho-mqtt {_paho_version()}, "
              f"{CORES} cores, temp {tmp}, "
              f"{time.strftime('%Y-%m-%d %H:%M %Z')}", flush=True)
        for part in [x for x in ("faults", "load") if x in parts]:
            print(f"{part}: load average {os.getloadavg()[0]:.2f} before it", flush=True)
            checks += {"faults": run_faults, "load": run_load}[part](args, binary, tmp,
                                                                     deadline)
    except BenchError as e:
        print(f"bench: {e}", file=sys.stderr)
        return 2
    except TimedOut:
        print(f"bench: --timeout-minutes {args.timeout_minutes:g} passed", file=sys.stderr)
        return 2
    except (KeyboardInterrupt, Interrupted) as e:
        print(f"bench: interrupted ({str(e) or 'SIGINT'})", file=sys.stderr)
        return 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        kill_all()
        if tmp is not None:
            if args.keep:
                print(f"bench: kept {tmp}", file=sys.stderr)
            else:
                shutil.rmtree(tmp, ignore_errors=True)
    ok = all(c.ok is not False for c in checks)
    print("ALL PASS" if ok else "SOME FAIL")
    return 0 if ok else 1


def _paho_version() -> str:
    import paho.mqtt
    return getattr(paho.mqtt, "__version__", "?")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
