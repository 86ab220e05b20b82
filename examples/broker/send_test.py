#!/usr/bin/python3
"""Tests examples/broker/send.py, the chain's side of the broker, against a
real fiskald and a real broker: the system's mosquitto with the shipped
example configuration (testing/mqtt_brokers.py), over mqtt:// and mqtts://;
and, when the system has ejabberd, the same against a private ejabberd from
examples/broker/ejabberd.yml (FISKAL_TEST_EJABBERD=0 leaves it out: it
takes a minute or more to start on a busy machine).

The commands doc/guide-chain-backend.md shows run here as it shows them
(read with doc_block): Mosquitto's certificates are the ones its
make-certs block makes, and on each broker the guide's fiskald and send.py
lines carry a receipt to the printer, the broker's address and the folders
put in.

    send_test.py FISKALD   (ctest runs it with the fiskald it built)

Every fiskald gets log-only receipts (port 0) or port 1 on a path that does
not exist; all nine FISKAL_COM<n> point at such paths and FISKAL_LOCK_DIR at
the test's folder. Needs Debian's python3-paho-mqtt.
"""

import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "testing"))
import mqtt_brokers  # noqa: E402
from doc_blocks import doc_block  # noqa: E402

SEND = HERE / "send.py"
FISKALD = None  # from the command line
PATIENCE = 120  # a guard against a hang, never a speed requirement
TLS_RUNS = 20


def receipt(items, salt=0):
    return json.dumps({"port": 0, "footer": "THANK YOU", "items": [
        {"name": f"ITEM {i + 1}", "tax": "1", "quantity": "1", "price": f"{2 + salt % 7}.{i:02d}"}
        for i in range(items)]})


class Fiskald:
    """fiskald for one shop on a broker, log-only, on a port the system gives."""

    def __init__(self, folder, shop, broker_args):
        """shop None: broker_args name it (--shop) themselves."""
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("FISKAL_") and k != "NOTIFY_SOCKET"}
        for n in range(1, 10):
            env[f"FISKAL_COM{n}"] = f"/nonexistent/fiskal-test/com{n}"
        env["FISKAL_LOCK_DIR"] = str(self.folder)
        self.lines = []
        self.proc = mqtt_brokers.default_spawn(
            [FISKALD, "--listen", "127.0.0.1:0", "--journal", str(self.folder / "fiskald.db"),
             ] + (["--shop", shop] if shop else []) + broker_args, self.folder, env,
            subprocess.PIPE)
        self.ready = threading.Event()
        self.port = None
        threading.Thread(target=self._read, daemon=True).start()
        if not self.ready.wait(PATIENCE) or self.port is None:
            self.stop()
            raise AssertionError("fiskald did not start: " + "\n".join(self.lines))

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            self.lines.append(line)
            m = re.search(r"listening on (?:http://)?127\.0\.0\.1:(\d+)", line)
            if m and self.port is None:
                self.port = int(m.group(1))
                self.ready.set()
        self.ready.set()

    def receipts(self, key):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/v1/receipts?limit=1000",
                                    timeout=30) as r:
            listed = json.load(r)["receipts"]
        return [x for x in listed if x.get("idempotency_key") == key]

    def stop(self):
        mqtt_brokers._reap(self.proc)
        self.proc.stdout.close()


def send(url, shop, body, *extra, name="receipt.json", folder):
    """send.py's exit status, its answers (state or "problem") and its stderr."""
    path = Path(folder) / name
    path.write_bytes(body if isinstance(body, bytes) else body.encode())
    done = subprocess.run([sys.executable, str(SEND), "--broker", url, "--shop", shop,
                           *[str(x) for x in extra], str(path)],
                          capture_output=True, text=True, timeout=PATIENCE + 60)
    states = [line.split(" ", 1)[0] for line in done.stdout.splitlines()]
    return done.returncode, states, done.stderr


def command_words(block):
    """A command the guide shows, as its words: continued lines joined."""
    return shlex.split(block.replace("\\\n", " "), comments=True)


def run_block(text, cwd, replacements=()):
    """A block of the guide run by sh in `cwd` (where examples/ leads to the
    project's, as in a source tree), each (old, new) of `replacements` put
    in first; its exit status, standard output and error."""
    for old, new in replacements:
        if old not in text:
            raise AssertionError(f"no {old!r} in the guide's block {text!r}; keep the "
                                 "guide and its test in step")
        text = text.replace(old, str(new))
    examples = Path(cwd) / "examples"
    if not examples.exists():
        examples.symlink_to(HERE.parent)
    done = subprocess.run(["sh", "-e", "-c", text], cwd=cwd, capture_output=True, text=True,
                          timeout=PATIENCE + 60)
    return done.returncode, done.stdout, done.stderr


# Where the guide's commands reach the broker and find fiskald's files.
GUIDE_BROKER = "mqtts://broker.chain.example"
GUIDE_ETC = "/etc/fiskald/"


class BrokerCase:
    """The cases every broker must pass; a subclass makes the broker."""

    @classmethod
    def make_broker(cls, folder):
        raise NotImplementedError

    @classmethod
    def fiskald_args(cls, broker, shop):
        raise NotImplementedError

    @classmethod
    def chain_args(cls, broker):
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="send-test-")
        cls.broker = None
        try:
            cls.broker = cls.make_broker(Path(cls.tmp) / "broker")
            cls.broker.start()
            cls.fiskald = Fiskald(Path(cls.tmp) / "S1", "S1", cls.fiskald_args(cls.broker, "S1"))
        except BaseException:
            if cls.broker is not None:
                cls.broker.kill()
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.fiskald.stop()
        cls.broker.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_send(self, url, shop, body, *extra, name="receipt.json"):
        return send(url, shop, body, *extra, name=name, folder=self.tmp)

    def test_exit_status_follows_the_answer(self):
        url, extra = self.chain_args(self.broker)
        cases = [
            # name, body, file name, options, exit status, the states printed
            ("printed", receipt(2), "r.json", [], 0, ["queued", "printed"]),
            ("fiskal.txt", (HERE.parent / "fiskal.txt").read_bytes(), "fiskal.txt", [], 0,
             ["queued", "printed"]),
            ("refused", '{"port": 0, "items": "none"}', "bad.json", [], 1, ["problem"]),
            ("deadline passed, port away", receipt(1).replace('"port": 0', '"port": 1'),
             "late.json", ["--expiry", "2"], 4, ["queued", "not_sent"]),
        ]
        for name, body, file, options, status, states in cases:
            with self.subTest(name):
                key = f"{name.split()[0]}-{uuid.uuid4()}"
                got, printed, err = self.run_send(url, "S1", body, *extra, "--key-id", key,
                                                  *options, name=file)
                self.assertEqual(got, status, err)
                self.assertEqual(printed[0], states[0], err)
                self.assertEqual(printed[-1], states[-1], err)
                self.assertEqual(len(printed), len(set(printed)), "a state printed twice")
                self.assertEqual(len(self.fiskald.receipts(key)), 0 if status == 1 else 1)

    def test_the_same_key_again_is_the_same_receipt(self):
        url, extra = self.chain_args(self.broker)
        key = f"again-{uuid.uuid4()}"
        for _ in range(2):
            status, states, err = self.run_send(url, "S1", receipt(1), *extra, "--key-id", key)
            self.assertEqual(status, 0, err)
            self.assertEqual(states[-1], "printed", err)
        self.assertEqual(len(self.fiskald.receipts(key)), 1)

    def test_published_before_the_shop_subscribed_prints_once(self):
        # Shop S2's fiskald has never been on this broker: the first publish
        # is dropped (PUBACK 0x10); send.py publishes again until fiskald,
        # started meanwhile, answers.
        url, extra = self.chain_args(self.broker)
        key = f"early-{uuid.uuid4()}"
        path = Path(self.tmp) / "early.json"
        path.write_text(receipt(1))
        proc = subprocess.Popen([sys.executable, str(SEND), "--broker", url, "--shop", "S2",
                                 *extra, "--key-id", key, "--retry-after", "0.5",
                                 "--attempts", "30", "--wait", str(PATIENCE), str(path)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        err_lines = []
        try:
            for line in proc.stderr:
                err_lines.append(line)
                if "no subscriber" in line:
                    break
            self.assertIn("no subscriber", "".join(err_lines))
            fiskald = Fiskald(Path(self.tmp) / "S2", "S2", self.fiskald_args(self.broker, "S2"))
            try:
                out, rest = proc.communicate(timeout=PATIENCE + 30)
                err = "".join(err_lines) + rest
                self.assertEqual(proc.returncode, 0, err)
                states = [line.split(" ", 1)[0] for line in out.splitlines()]
                self.assertEqual(states[-1], "printed", err)
                self.assertEqual(len(states), len(set(states)), out)
                found = fiskald.receipts(key)
                self.assertEqual(len(found), 1)
                self.assertEqual(found[0]["state"], "printed")
            finally:
                fiskald.stop()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    def test_a_503_while_fiskald_stops_is_published_again(self):
        # fiskald drains a long receipt after SIGTERM and answers a new one
        # 503 (not stored); send.py publishes it again under its key until
        # the next fiskald prints it.
        folder = Path(self.tmp) / "S3"
        fiskald = Fiskald(folder, "S3", self.fiskald_args(self.broker, "S3"))
        proc = None
        try:
            request = urllib.request.Request(
                f"http://127.0.0.1:{fiskald.port}/v1/receipts", data=receipt(12).encode(),
                headers={"Content-Type": "application/json",
                         "Idempotency-Key": f"long-{uuid.uuid4()}"}, method="POST")
            urllib.request.urlopen(request, timeout=30).close()
            fiskald.proc.terminate()  # drains: some 6.5 s of texts
            url, extra = self.chain_args(self.broker)
            key = f"stopping-{uuid.uuid4()}"
            path = Path(self.tmp) / "stopping.json"
            path.write_text(receipt(1))
            proc = subprocess.Popen([sys.executable, str(SEND), "--broker", url, "--shop", "S3",
                                     *[str(x) for x in extra], "--key-id", key,
                                     "--retry-after", "0.5", "--attempts", "40",
                                     "--wait", str(PATIENCE), str(path)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            err_lines = []
            for line in proc.stderr:
                err_lines.append(line)
                if "problem 503" in line:
                    break
            self.assertIn("problem 503: not stored", "".join(err_lines))
            self.assertEqual(fiskald.proc.wait(timeout=PATIENCE), 0)
            fiskald.stop()
            fiskald = Fiskald(folder, "S3", self.fiskald_args(self.broker, "S3"))
            out, rest = proc.communicate(timeout=PATIENCE + 30)
            err = "".join(err_lines) + rest
            self.assertEqual(proc.returncode, 0, err)
            self.assertEqual(out.splitlines()[-1].split(" ", 1)[0], "printed", out)
            self.assertEqual(len(fiskald.receipts(key)), 1)
        finally:
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.communicate()
            fiskald.stop()

    def test_the_guides_commands_print_a_receipt(self):
        # The guide's fiskald line for this broker, its files in `etc`; then
        # its send.py line, run in `cwd` (beside the certificates' folder).
        etc, cwd = self.guide_folders(self.broker)
        words = command_words(self.FISKALD_BLOCK)
        self.assertEqual(words[0], "fiskald")
        args = [w.replace(GUIDE_BROKER, self.broker.tls_url).replace(GUIDE_ETC, f"{etc}/")
                for w in words[1:]]
        fiskald = Fiskald(Path(self.tmp) / "guide-shop", None, args)
        try:
            status, out, err = run_block(self.SEND_BLOCK, cwd,
                                         [(GUIDE_BROKER, self.broker.tls_url)])
            self.assertEqual(status, 0, err)
            final = out.splitlines()[-1].split(" ", 1)
            self.assertEqual(final[0], "printed", out + err)
            key = json.loads(final[1])["idempotency_key"]
            self.assertEqual(len(fiskald.receipts(key)), 1)
            # The guide's look at the shop's connection.
            status, out, err = run_block(doc_block("chain-broker-state"), cwd,
                                         [("127.0.0.1:8470", f"127.0.0.1:{fiskald.port}")])
            self.assertEqual(status, 0, err)
            state = json.loads(out)
            self.assertTrue(state["connected"], out)
            self.assertEqual(state["shop"], "shop-0042", out)
        finally:
            fiskald.stop()

    def test_a_publish_the_broker_refuses_ends_the_run(self):
        # Shop S2's own credentials may not publish to shop S1.
        url, extra = self.refused_args(self.broker)
        status, states, err = self.run_send(url, "S1", receipt(1), *extra, "--wait", "30")
        self.assertEqual(status, 3, err)
        self.assertEqual(states, [])
        # Mosquitto grants the subscription and refuses the publish (0x87);
        # ejabberd refuses the subscription to the answers already.
        self.assertRegex(err, "refused the (receipt|subscription)")


class Mosquitto(BrokerCase, unittest.TestCase):
    FISKALD_BLOCK = doc_block("chain-fiskald-certificate")
    SEND_BLOCK = doc_block("chain-send-certificate")

    @classmethod
    def make_broker(cls, folder):
        # The certificates as the guide makes them (the chain's CA, the
        # broker's for broker.chain.example and 127.0.0.1, "chain" and
        # shop-0042, in certs/), and the test's shops added as a chain adds
        # one; the broker reached at 127.0.0.1.
        folder.mkdir(parents=True)
        status, out, err = run_block(doc_block("chain-make-certs"), folder)
        if status != 0:
            raise AssertionError(f"the guide's make-certs block failed ({status}): {out}{err}")
        certs = folder / "certs"
        mqtt_brokers.make_certs(certs, "client", "S1", "S2", "S3")
        # The example configuration as the guide fills it in to try it on
        # one machine, on a port the system gives; the guide's line that
        # starts it names the file the test's broker starts with.
        port = mqtt_brokers.free_port()
        status, out, err = run_block(doc_block("chain-mosquitto-config"), folder,
                                     [("@TLS_PORT@/8883/", f"@TLS_PORT@/{port}/")])
        if status != 0:
            raise AssertionError(f"the guide's Mosquitto configuration failed ({status}): "
                                 f"{out}{err}")
        words = command_words(doc_block("chain-mosquitto-run"))
        if words != [mqtt_brokers.MOSQUITTO, "-c", "certs/mosquitto.conf"]:
            raise AssertionError(f"the guide starts mosquitto as {words}; the test starts "
                                 f"{mqtt_brokers.MOSQUITTO} -c certs/mosquitto.conf")
        return mqtt_brokers.Mosquitto(certs, clients=None, host="127.0.0.1",
                                      filled=(certs / "mosquitto.conf", port))

    @classmethod
    def guide_folders(cls, broker):
        return broker.folder, broker.folder.parent

    @classmethod
    def fiskald_args(cls, broker, shop):
        cert, key = broker.cert(shop)
        return ["--broker", broker.tls_url, "--broker-ca", str(broker.ca),
                "--broker-cert", str(cert), "--broker-key", str(key)]

    @classmethod
    def chain_args(cls, broker):
        cert, key = broker.cert("chain")
        return broker.tls_url, ["--ca", broker.ca, "--cert", cert, "--key", key]

    @classmethod
    def refused_args(cls, broker):
        cert, key = broker.cert("S2")
        return broker.tls_url, ["--ca", broker.ca, "--cert", cert, "--key", key]

    def test_the_guides_connection_failures_are_what_fiskald_says(self):
        # The first column of the guide's table of connection failures, as
        # fiskald's last_error says it for each cause the test can make.
        guide = (HERE.parent.parent / "doc" / "guide-chain-backend.md").read_text()
        section = guide.split("## When it does not connect", 1)[1].split("\n## ", 1)[0]
        # What each row's first column quotes.
        documented = [re.findall(r"`([^`]+)`", row)
                      for row in re.findall(r"^\| ([^|]+) \|", section, re.M)]
        other = Path(self.tmp) / "other-ca"
        mqtt_brokers.make_certs(other, "ca", "unrelated CA")
        cert, key = self.broker.cert("S1")
        tls = ["--broker-cert", str(cert), "--broker-key", str(key)]
        b = self.broker
        connect = "TCP/TLS connect failure"  # a row, with what else it quotes
        cases = [
            # the cause, fiskald's options, the row of the guide's table
            ("another CA", ["--broker", b.tls_url, "--broker-ca", str(other / "chain-ca.pem")] + tls,
             "certificate verify failed"),
            ("mqtts:// to a plain port", ["--broker", f"mqtts://127.0.0.1:{b.port}",
                                          "--broker-ca", str(b.ca)], connect),
            ("mqtt:// to a TLS port", ["--broker", f"mqtt://127.0.0.1:{b.tls_port}"], connect),
            ("no client certificate", ["--broker", b.tls_url, "--broker-ca", str(b.ca)], connect),
            ("nothing listens", ["--broker", f"mqtt://127.0.0.1:{mqtt_brokers.free_port()}"],
             connect),
        ]
        for n, (cause, args, row) in enumerate(cases):
            with self.subTest(cause):
                says = [quoted for quoted in documented if quoted and quoted[0] == row]
                self.assertEqual(len(says), 1, f"the guide's table has no row {row!r}")
                fiskald = Fiskald(Path(self.tmp) / f"failing-{n}", "S1", args)
                try:
                    deadline = time.monotonic() + PATIENCE
                    while True:
                        with urllib.request.urlopen(
                                f"http://127.0.0.1:{fiskald.port}/v1/broker", timeout=30) as r:
                            error = json.load(r)["last_error"]
                        if error or time.monotonic() > deadline:
                            break
                        time.sleep(0.2)
                    self.assertTrue(any(s in (error or "") for s in says[0]),
                                    f"{error!r} says none of {says[0]}")
                finally:
                    fiskald.stop()

    def test_plain_mqtt(self):
        key = f"plain-{uuid.uuid4()}"
        status, states, err = self.run_send(self.broker.url, "S1", receipt(1), "--key-id", key)
        self.assertEqual(status, 0, err)
        self.assertEqual((states[0], states[-1]), ("queued", "printed"), err)
        self.assertEqual(len(self.fiskald.receipts(key)), 1)

    def test_tls_runs_one_after_another_without_an_error(self):
        # Every client call is made from the network loop's thread: over TLS
        # a publish from another thread garbled the stream ("[SSL:
        # BAD_LENGTH] bad length") in about half the runs.
        url, extra = self.chain_args(self.broker)
        for n in range(TLS_RUNS):
            with self.subTest(run=n):
                status, states, err = self.run_send(url, "S1", receipt(0, n), *extra)
                self.assertEqual(status, 0, err)
                self.assertEqual(states[-1], "printed", err)
                self.assertNotIn("SSL", err)
                self.assertNotIn("lost", err)


def have_ejabberd():
    return (os.environ.get("FISKAL_TEST_EJABBERD", "1") != "0"
            and os.access(mqtt_brokers.ERL, os.X_OK)
            and any(Path(mqtt_brokers.EJABBERD_LIBS).glob("ejabberd-*")))


@unittest.skipUnless(have_ejabberd(), "no ejabberd here (apt-get install ejabberd), or "
                     "FISKAL_TEST_EJABBERD=0")
class Ejabberd(BrokerCase, unittest.TestCase):
    USERS = {"chain": "secret-chain", "S1": "secret-S1", "S2": "secret-S2", "S3": "secret-S3",
             "shop-0042": "secret-shop-0042"}
    FISKALD_BLOCK = doc_block("chain-fiskald-password")
    SEND_BLOCK = doc_block("chain-send-password")

    @classmethod
    def guide_folders(cls, broker):
        # fiskald's files (the CA, the shop's password) in etc/; the chain's
        # (certs/chain-ca.pem, chain-password) beside examples/.
        etc, cwd = broker.folder / "etc", broker.folder / "guide"
        for folder in (etc, cwd / "certs"):
            folder.mkdir(parents=True, exist_ok=True)
            shutil.copy(broker.ca, folder / "chain-ca.pem")
        for file, user in ((etc / "broker-password", "shop-0042"), (cwd / "chain-password", "chain")):
            file.write_text(cls.USERS[user] + "\n")
            os.chmod(file, 0o600)
        return etc, cwd

    @classmethod
    def make_broker(cls, folder):
        folder.mkdir(parents=True, exist_ok=True)
        for user, word in cls.USERS.items():
            (folder / f"{user}.password").write_text(word + "\n")
            os.chmod(folder / f"{user}.password", 0o600)
        return mqtt_brokers.Ejabberd(folder, cls.USERS, lifetime=900)

    @classmethod
    def user_args(cls, broker, user, prefix):
        return [f"--{prefix}user", user, f"--{prefix}password-file",
                str(broker.folder / f"{user}.password")]

    @classmethod
    def fiskald_args(cls, broker, shop):
        return ["--broker", broker.url] + cls.user_args(broker, shop, "broker-")

    @classmethod
    def chain_args(cls, broker):
        # The chain over TLS, fiskald in plain MQTT: both of the example's
        # listeners.
        return broker.tls_url, cls.user_args(broker, "chain", "") + [
            "--ca", broker.ca]

    @classmethod
    def refused_args(cls, broker):
        return broker.url, cls.user_args(broker, "S2", "")


class Guide(unittest.TestCase):
    def test_the_install_line_names_the_packages_send_py_runs_on(self):
        words = command_words(doc_block("chain-send-install"))
        self.assertIn("install", words)
        packages = words[words.index("install") + 1:]
        self.assertTrue(packages, words)
        for package in packages:
            with self.subTest(package):
                done = subprocess.run(["dpkg-query", "-W", "-f", "${Status}", package],
                                      capture_output=True, text=True, timeout=60)
                self.assertEqual(done.stdout, "install ok installed", done.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        sys.exit("usage: send_test.py FISKALD [unittest options]")
    FISKALD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
