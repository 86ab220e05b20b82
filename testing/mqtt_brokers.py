"""Private MQTT 5 brokers for the Python tests and benchmarks, made from the
example configurations the package ships (examples/broker/), so the
examples are what is tried:

- Mosquitto: the system's mosquitto with examples/broker/mosquitto.conf
  (the TLS listener, client certificates, the access list fiskal.acl) and a
  plain listener beside it; certificates made here with
  examples/certificates/make-certs.sh (the chain's CA, the broker's for
  localhost and 127.0.0.1, one client certificate per name, its CN the
  name), or made beforehand by the caller.
- Ejabberd: the system's ejabberd (mod_mqtt) with examples/broker/ejabberd.yml
  (its @NAME@ places filled in: host localhost, a plain and a TLS port,
  the certificates made here), started straight on the Erlang VM without
  distribution (no node name, no epmd, nothing listening but its MQTT
  ports), its database (Mnesia) and logs in the folder, its users made at
  each start; it halts by itself after `lifetime` seconds. Sessions live
  in its memory only: a restart loses them, as a real one does.

Both listen on 127.0.0.1 only, on ports the system gives, keep everything in
the folder given, and run in a process group of their own that the kernel
kills should the caller die (PR_SET_PDEATHSIG). Standard library only.
"""

import ctypes
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples" / "broker"
MAKE_CERTS = ROOT / "examples" / "certificates" / "make-certs.sh"
MOSQUITTO = "/usr/sbin/mosquitto"
ERL = "/usr/bin/erl"
EJABBERD_LIBS = "/usr/lib/x86_64-linux-gnu"  # Debian's ejabberd-<version>/ lies there
HOST = "127.0.0.1"


class BrokerError(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def default_spawn(argv, cwd, env, out):
    return subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, process_group=0, preexec_fn=_die_with_parent)


def _reap(proc):
    if proc is None:
        return
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def substitute(text, replacements, source):
    """Each (old, new) replaced where `old` stands exactly once in `text`."""
    for old, new in replacements:
        if text.count(old) != 1:
            raise BrokerError(f"{source}: expected the line {old!r} once, found it "
                              f"{text.count(old)} times; keep the example and its "
                              "launcher in step")
        text = text.replace(old, new)
    return text


def _wait_for(log, offset, marker, proc, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        said = ""
        if log.exists():
            with open(log, "rb") as f:
                f.seek(offset)
                said = f.read().decode(errors="replace")
        if marker in said:
            return
        if proc.poll() is not None or time.monotonic() > deadline:
            status = proc.poll()
            _reap(proc)
            raise BrokerError(f"{what} did not start (exit status {status}): "
                              f"{said.strip()[-1500:]}")
        time.sleep(0.05)


def make_certs(folder, *args):
    """examples/certificates/make-certs.sh -d folder ARGS..., the script a
    chain makes its certificates with."""
    done = subprocess.run(["sh", str(MAKE_CERTS), "-d", str(folder)] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise BrokerError(f"make-certs.sh {' '.join(map(str, args))}: {done.stderr.strip()}")
    return done.stdout


def make_certificates(folder, clients):
    """In `folder`, as a chain makes them: chain-ca.pem/.key, broker.pem/.key
    for localhost and 127.0.0.1, and <name>.pem/.key for each client."""
    make_certs(folder, "ca", "fiskal test CA")
    make_certs(folder, "broker", "localhost", "127.0.0.1")
    if clients:
        make_certs(folder, "client", *clients)


class Mosquitto:
    """examples/broker/mosquitto.conf on a TLS port (tls_url) and a plain
    listener open to anyone (url); sessions kept on disk over restarts."""

    def __init__(self, folder, clients=("chain", "S1", "S2"), spawn=default_spawn,
                 host="localhost", filled=None):
        """clients: the names make-certs.sh makes client certificates for;
        None when the folder holds the certificates already (chain-ca.pem,
        broker.pem and .key, <name>.pem and .key). host: the name tls_url
        reaches the broker by, one its certificate names. filled: (file,
        TLS port) of the example filled in already (as the guide does it),
        instead of filling it in here."""
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.clients = clients
        self.spawn = spawn
        self.host = host
        self.proc = None
        self.port = free_port()
        self.tls_port = free_port() if filled is None else filled[1]
        self.log = self.folder / "mosquitto.log"
        if clients is not None:
            make_certificates(self.folder, clients)
        example = EXAMPLES / "mosquitto.conf" if filled is None else Path(filled[0])
        d = self.folder
        conf = example.read_text()
        for name, value in (("TLS_PORT", self.tls_port), ("IP", HOST), ("CAFILE", self.ca),
                            ("CERTFILE", d / "broker.pem"), ("KEYFILE", d / "broker.key"),
                            ("ACLFILE", EXAMPLES / "fiskal.acl")):
            if filled is not None:
                if f"@{name}@" in conf.split("\nper_listener_settings", 1)[-1]:
                    raise BrokerError(f"{example}: @{name}@ is not filled in")
                continue
            if f"@{name}@" not in conf:
                raise BrokerError(f"{example}: no @{name}@ to fill in; keep the example and "
                                  "its launcher in step")
            conf = conf.replace(f"@{name}@", str(value))
        conf = substitute(conf, [
            ("persistence true\n", f"persistence true\npersistence_location {d}/\n"
             "autosave_on_changes true\nautosave_interval 1\nlog_dest stderr\n"
             "log_type all\n" + ("user root\n" if os.geteuid() == 0 else "")),
        ], example)
        conf += f"\n# The tests' plain listener.\nlistener {self.port} {HOST}\nallow_anonymous true\n"
        (d / "mosquitto.conf").write_text(conf)

    @property
    def url(self):
        return f"mqtt://{HOST}:{self.port}"

    @property
    def tls_url(self):
        return f"mqtts://{self.host}:{self.tls_port}"

    @property
    def ca(self):
        """The chain's CA: it signed the broker's and the clients' certificates."""
        return self.folder / "chain-ca.pem"

    def cert(self, name):
        return self.folder / f"{name}.pem", self.folder / f"{name}.key"

    def start(self):
        offset = self.log.stat().st_size if self.log.exists() else 0
        with open(self.log, "ab") as out:
            self.proc = self.spawn([MOSQUITTO, "-c", str(self.folder / "mosquitto.conf")],
                                   self.folder, dict(os.environ), out)
        _wait_for(self.log, offset, " running", self.proc, 30, f"mosquitto in {self.folder}")

    def kill(self):
        _reap(self.proc)
        self.proc = None


class Ejabberd:
    """examples/broker/ejabberd.yml, plain MQTT (url) and TLS (tls_url, its
    CA chain-ca.pem in the folder: `ca`) on ports that stay over restarts; users (name:
    password) made at each start, host localhost. Sessions in memory: a
    restart loses them."""

    def __init__(self, folder, users, lifetime=900, spawn=default_spawn):
        self.folder = Path(folder)
        self.spool = self.folder / "spool"
        self.logs = self.folder / "logs"
        for f in (self.spool, self.logs):
            f.mkdir(parents=True, exist_ok=True)
        self.users = dict(users)
        self.lifetime = lifetime
        self.spawn = spawn
        self.proc = None
        self.port = free_port()
        self.tls_port = free_port()
        self.log = self.folder / "ejabberd.out"
        self.starts = 0
        self.start_s = []
        make_certificates(self.folder, ())
        example = EXAMPLES / "ejabberd.yml"
        conf = example.read_text()
        for name, value in (("HOST", "localhost"), ("IP", HOST), ("PORT", self.port),
                            ("TLS_PORT", self.tls_port),
                            ("CERTFILE", self.folder / "broker.pem"),
                            ("KEYFILE", self.folder / "broker.key")):
            # Each place in the settings (the comments name them too).
            settings = conf.split("\nhosts:", 1)
            if len(settings) != 2 or f"@{name}@" not in settings[1]:
                raise BrokerError(f"{example}: no @{name}@ to fill in; keep the example and "
                                  "its launcher in step")
            conf = settings[0] + "\nhosts:" + settings[1].replace(f"@{name}@", str(value))
        (self.folder / "ejabberd.yml").write_text(conf)

    @property
    def url(self):
        return f"mqtt://{HOST}:{self.port}"

    @property
    def tls_url(self):
        return f"mqtts://localhost:{self.tls_port}"

    @property
    def ca(self):
        return self.folder / "chain-ca.pem"

    @property
    def pid(self):
        return self.proc.pid if self.proc else -1

    def _erlang_users(self):
        def b(s):
            if not s.isascii() or '"' in s or "\\" in s:
                raise BrokerError(f"ejabberd user or password {s!r}: plain ASCII only")
            return f'<<"{s}">>'
        return "[" + ",".join(f"{{{b(u)},{b(p)}}}" for u, p in self.users.items()) + "]"

    def start(self):
        t0 = time.monotonic()
        offset = self.log.stat().st_size if self.log.exists() else 0
        env = {k: v for k, v in os.environ.items() if not k.startswith(("ERL", "EJABBERD"))}
        env.update({
            "EJABBERD_CONFIG_PATH": str(self.folder / "ejabberd.yml"),
            "EJABBERD_LOG_PATH": str(self.logs / "ejabberd.log"),
            "ERL_LIBS": EJABBERD_LIBS,
            "ERL_CRASH_DUMP": str(self.logs / "erl_crash.dump"),
            "ERL_CRASH_DUMP_BYTES": "0",
            "HOME": str(self.folder),
        })
        # Users made once it runs (an existing one stays); then a line the
        # start waits for, and the halt that ends it at the latest.
        program = (
            "[ejabberd_auth:try_register(U, <<\"localhost\">>, P) || {U, P} <- "
            + self._erlang_users() + "], "
            "io:format(\"fiskal: users made~n\"), "
            f"spawn(fun() -> receive after {int(self.lifetime * 1000)} -> "
            "io:format(\"fiskal: lifetime over~n\"), erlang:halt(0) end end).")
        with open(self.log, "ab") as out:
            self.proc = self.spawn(
                [ERL, "-noinput", "-noshell", "-mnesia", "dir", f'"{self.spool}"',
                 "-s", "ejabberd", "-eval", program], self.folder, env, out)
        _wait_for(self.log, offset, "fiskal: users made", self.proc, 180,
                  f"ejabberd in {self.folder}")
        # The listener starts with the modules; wait until it takes connections.
        deadline = time.monotonic() + 60
        while True:
            try:
                socket.create_connection((HOST, self.port), timeout=1).close()
                break
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    _reap(self.proc)
                    raise BrokerError(f"ejabberd in {self.folder} does not listen on "
                                      f"{HOST}:{self.port}")
                time.sleep(0.05)
        self.starts += 1
        self.start_s.append(time.monotonic() - t0)

    def kill(self):
        _reap(self.proc)
        self.proc = None
