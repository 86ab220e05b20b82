#!/usr/bin/env python3
"""The commands README.md and the guides show, run as the documents show them.

Each block is read from its document (testing/doc_blocks.py) and its
commands run one by one. Only the address changes: 127.0.0.1:8470 becomes
the live fiskald's, and a `fiskald` start listens on 127.0.0.1:0 (a port the
system gives) and is waited for until it says where it listens. Paths in
/tmp become paths in the test's own folder. Every process starts with all
nine FISKAL_COM<n> pointing at paths that do not exist and FISKAL_LOCK_DIR at
the test's folder; the build folder comes first on the PATH, so `fiskal`,
`fiskal-printer` and `fiskald` are the ones just built.

A command is run as a shell would, for the few forms the documents use:
`cd DIR && ...`, NAME=VALUE before a program, `&` (in the background: a
service or a listener), `kill %1` (SIGTERM to the last one, which must end
with status 0). A curl command gets `--write-out` added to learn the answer's
status, which the tables below expect, with a piece of the answer where it
shows that the document's claim holds.

usage: commands_test.py FISKALD [unittest options]
       (FISKALD: the fiskald just built; fiskal and fiskal-printer beside it)
"""

import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "testing"))
from doc_blocks import doc_block  # noqa: E402

FISKALD = None  # from the command line
DOCUMENTED = "127.0.0.1:8470"
PATIENCE = 120  # seconds: guards against a hang, never a speed requirement
HTTP = urllib.request.build_opener(urllib.request.ProxyHandler({}))
# A device of the machine's own, which no test opens.
SERIAL_DEVICE = re.compile(r"/dev/(tty|serial/)|\\\\\.\\COM", re.I)


def commands(text):
    """The commands of a block, each a list of words, as a shell splits
    them: a backslash ends a line that goes on, a quote may hold line ends,
    `#` starts a comment."""
    found, pending = [], ""
    for line in text.replace("\\\n", " ").split("\n"):
        pending = pending + "\n" + line if pending else line
        try:
            words = shlex.split(pending, comments=True)
        except ValueError:  # a quote still open
            continue
        if words:
            found.append(words)
        pending = ""
    if pending:
        raise ValueError("a quote that never closes in: " + pending)
    return found


class Shell:
    """Runs the documents' commands in a folder of the test's own."""

    def __init__(self, folder, cwd=None, words=None):
        self.folder = folder
        self.cwd = cwd or folder
        self.words = words or {}  # whole words to replace: the build folder
        self.authority = None  # the live fiskald's host:port
        self.background = []   # (words, process, stderr path)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("FISKAL_") and k.lower() not in
                    ("http_proxy", "https_proxy", "all_proxy", "no_proxy", "notify_socket")}
        for n in range(1, 10):
            self.env["FISKAL_COM%d" % n] = os.path.join(folder, "no-such-com%d" % n)
        self.env["FISKAL_LOCK_DIR"] = folder
        self.env["PATH"] = os.path.dirname(os.path.abspath(FISKALD)) + os.pathsep + self.env["PATH"]

    def path(self, word):
        """A word with the documented address and /tmp paths made the test's."""
        if word in self.words:
            return self.words[word]
        if self.authority:
            word = word.replace(DOCUMENTED, self.authority)
        return re.sub(r"(?<![\w/])/tmp/", self.folder + "/", word)

    def run(self, words):
        """Runs one command; returns (exit status, standard output)."""
        if "&&" in words:
            at = words.index("&&")
            status, out = self.run(words[:at])
            return (status, out) if status else self.run(words[at + 1:])
        if words[0] == "cd":
            self.cwd = os.path.join(self.cwd, self.path(words[1]))
            return 0, ""
        if words == ["kill", "%1"]:
            return self.stop(), ""
        for word in words:
            if SERIAL_DEVICE.search(word):
                raise AssertionError("%s: a serial device; the tests never open one, "
                                     "point the port at /tmp/... instead" % shlex.join(words))
        env = dict(self.env)
        while re.match(r"^[A-Z_][A-Z0-9_]*=", words[0]):
            name, value = words[0].split("=", 1)
            env[name] = self.path(value)
            words = words[1:]
        if words[0] == "fiskald":
            return self.start(words), ""
        words = [self.path(w) for w in words]
        if words[-1] == "&":
            return self.spawn(words[:-1], env), ""
        if words[0] == "curl":
            words = words + ["-sS", "--write-out", "\n@@%{http_code}\n"]
        done = subprocess.run(words, cwd=self.cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=PATIENCE)
        out = done.stdout.decode("utf-8", "replace")
        if words[0] == "curl":
            status = re.search(r"\n@@(\d+)\n$", out)
            if done.returncode or not status:
                raise AssertionError("%s: curl failed (%d): %s" % (
                    shlex.join(words), done.returncode, done.stderr.decode()))
            return int(status.group(1)), out[:status.start()]
        return done.returncode, out + done.stderr.decode("utf-8", "replace")

    def spawn(self, words, env):
        """A service or a listener in the background, waited for until it
        says where it listens."""
        err = os.path.join(self.folder, "background-%d.err" % len(self.background))
        with open(err, "wb") as f:
            process = subprocess.Popen(words, cwd=self.cwd, env=env, stdin=subprocess.DEVNULL,
                                       stdout=f, stderr=subprocess.STDOUT)
        self.background.append((words, process, err))
        self.wait_for("start", r"listening on (\S+)")
        return 0

    def wait_for(self, what, pattern):
        """Waits until the last background process writes pattern."""
        words, process, err = self.background[-1]
        deadline = time.monotonic() + PATIENCE
        while True:
            with open(err, encoding="utf-8", errors="replace") as f:
                text = f.read()
            found = re.search(pattern, text)
            if found:
                return found
            if process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("%s did not %s: %s" % (shlex.join(words), what, text))
            time.sleep(0.05)

    def start(self, words):
        """fiskald as the document starts it, on a port the system gives."""
        words = [self.path(w.replace(DOCUMENTED, "127.0.0.1:0")) for w in words if w != "&"]
        self.spawn([FISKALD] + words[1:], self.env)
        found = self.wait_for("say its address", r"listening on http://(127\.0\.0\.1:\d+)")
        self.authority = found.group(1)
        self.fiskald_words = words
        return 0

    def stop(self, sig=signal.SIGTERM):
        words, process, _ = self.background.pop()
        process.send_signal(sig)
        return process.wait(PATIENCE)

    def close(self):
        while self.background:
            words, process, _ = self.background.pop()
            if process.poll() is None:
                process.kill()
                process.wait(PATIENCE)

    def api(self, method, path, body=None):
        """fiskald's answer as JSON, for the steps between the documents'."""
        request = urllib.request.Request(
            "http://%s%s" % (self.authority, path), method=method,
            data=body and json.dumps(body).encode(),
            headers={"Content-Type": "application/json", "Idempotency-Key": "test-%s" % path}
            if body else {})
        with HTTP.open(request, timeout=PATIENCE) as res:
            return json.loads(res.read())


class DocumentTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="fiskal-commands-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        os.makedirs(os.path.join(self.folder, "examples"))
        shutil.copy(os.path.join(ROOT, "examples", "fiskal.txt"),
                    os.path.join(self.folder, "examples", "fiskal.txt"))
        self.shell = Shell(self.folder)
        self.addCleanup(self.shell.close)

    def block(self, text, expected):
        """Runs a block's commands; expected holds, per command, its status
        (an HTTP status for curl, an exit status else) or (status, text the
        output holds). Returns the outputs."""
        found, outputs = commands(text), []
        self.assertEqual(len(found), len(expected), found)
        for words, want in zip(found, expected):
            status, part = want if isinstance(want, tuple) else (want, None)
            with self.subTest(command=shlex.join(words)):
                got, out = self.shell.run(words)
                outputs.append(out)
                self.assertEqual(got, status, "%s answered %s:\n%s" % (shlex.join(words), got, out))
                if part is not None:
                    self.assertIn(part, out, shlex.join(words))
        return outputs


class ReadmeTest(DocumentTest):
    def test_quick_start(self):
        # ?wait=10 answers once printed or after 10 s: the state is not
        # asked for, a busy machine may take longer.
        self.block(doc_block("readme-quick-start"), [0, (201, '"id":1'), (200, '"ver.:'), 0])

    def test_the_scripts_it_names_are_there(self):
        text = doc_block("readme-two-commands")
        for words in commands(text):
            if words[0].startswith("scripts/"):
                script = os.path.join(ROOT, words[0])
                with self.subTest(script=words[0]):
                    self.assertTrue(os.access(script, os.X_OK), script)

    def test_its_install_is_the_one_the_package_step_runs(self):
        # scripts/package runs the administrator's guide's two blocks as
        # written; README's two lines are those two, word for word.
        self.assertEqual(doc_block("readme-install"),
                         doc_block("admin-deb-build") + doc_block("admin-deb-install"))


class ContributingTest(DocumentTest):
    """The contributor's commands, in the source folder, on the build folder
    this test was built in; the long ones are not run again here."""

    def setUp(self):
        super().setUp()
        self.build = os.path.dirname(os.path.abspath(FISKALD))
        self.shell = Shell(self.folder, cwd=ROOT, words={"build": self.build})
        self.addCleanup(self.shell.close)

    def test_build(self):
        # Configured as written, into a folder of its own; the build itself
        # is the one this test runs in.
        (configure,) = commands(doc_block("contributing-build"))
        at = configure.index("&&")
        self.shell.words["build"] = os.path.join(self.folder, "build")
        status, out = self.shell.run(configure[:at])
        self.assertEqual(status, 0, out)
        self.assertEqual(configure[at + 1:][:3], ["cmake", "--build", "build"])

    def test_install(self):
        self.block(doc_block("contributing-install"), [0])
        for path in ("bin/fiskal", "bin/fiskal-printer", "bin/fiskald",
                     "share/doc/fiskal/README.md", "share/doc/fiskal/examples/fiskal.txt"):
            self.assertTrue(os.path.exists(os.path.join(self.folder, "fiskal", path)), path)

    def test_tests(self):
        everything, one = commands(doc_block("contributing-tests"))
        # The whole suite holds this test: it is not run from within it.
        self.assertEqual(everything[:3], ["ctest", "--test-dir", "build"])
        status, out = self.shell.run(one)
        self.assertEqual(status, 0, out)
        self.assertIn("100% tests passed", out)

    def test_blocks(self):
        self.block(doc_block("contributing-blocks"), [(0, "contributing-blocks")])

    def test_benchmarks_say_what_they_measure(self):
        for words in commands(doc_block("contributing-bench")):
            with self.subTest(bench=words[1]):
                status, out = self.shell.run(words + ["--help"])
                self.assertEqual(status, 0, out)

    def test_windows_build(self):
        # Cross-built and tested by scripts/windows; here its toolchain file
        # and the options the commands name.
        configure, build = commands(doc_block("contributing-windows-build"))
        toolchain = next(w.split("=", 1)[1] for w in configure if w.startswith("-DCMAKE_TOOLCHAIN_FILE="))
        self.assertTrue(os.path.exists(os.path.join(ROOT, toolchain)), toolchain)
        self.assertEqual(build, ["cmake", "--build", "build-win"])


class FiskalTxtTest(DocumentTest):
    def receipt_folder(self, name, port_digit):
        folder = os.path.join(self.folder, name)
        os.makedirs(folder)
        with open(os.path.join(ROOT, "examples", "fiskal.txt"), "rb") as f:
            text = f.read()
        with open(os.path.join(folder, "fiskal.txt"), "wb") as f:
            f.write(port_digit + text[1:])
        return folder

    def test_run_and_decode(self):
        folder = self.receipt_folder("receipt", b"0")
        self.block(doc_block("fiskal-txt-run"), [0])
        with open(os.path.join(folder, "fiskal.log"), "rb") as f:
            self.assertEqual(f.read().count(b'"\r\n'), 3 + 3)  # n + 3 records
        self.block(doc_block("fiskal-txt-decode"), [(0, "receipt whole and consistent")])

    def test_a_virtual_printer_on_port_1(self):
        self.receipt_folder("receipt-on-port-1", b"1")
        self.block(doc_block("fiskal-txt-listen"), [0, 0])
        # --once: the listener ends by itself, 0 for a whole, paced receipt.
        _, listener, err = self.shell.background.pop()
        with open(err, encoding="utf-8", errors="replace") as f:
            self.assertEqual(listener.wait(PATIENCE), 0, f.read())


class WebPosTest(DocumentTest):
    def wait_until(self, what, condition):
        deadline = time.monotonic() + PATIENCE
        while not condition():
            self.assertLess(time.monotonic(), deadline, "waited %d s for %s" % (PATIENCE, what))
            time.sleep(0.05)

    def printer(self, port):
        answer = self.shell.api("GET", "/v1/printers")
        printers = answer["printers"] if isinstance(answer, dict) else answer
        return next(p for p in printers if p["port"] == port)

    def test_the_guide_from_top_to_bottom(self):
        self.block(doc_block("web-pos-fiskald"), [0])
        self.block(doc_block("web-pos-post-json"), [(201, "Location: /v1/receipts/1")])
        # The same sale again under its key: the stored receipt.
        self.block(doc_block("web-pos-post-json"), [(200, "Idempotent-Replayed: true")])
        self.block(doc_block("web-pos-post-text"), [(201, "Location: /v1/receipts/2")])
        self.block(doc_block("web-pos-get-receipt"), [(200, '"state":"printed"')])
        (transcript,) = self.block(doc_block("web-pos-transcript"), [(200, '"ver.:')])
        # Receipt 1 printed (receipt 2, behind it on port 0, has): its
        # transcript is the fiskal.log fiskal leaves for the same sale.
        folder = os.path.join(self.folder, "same-sale")
        os.makedirs(folder)
        with open(os.path.join(folder, "fiskal.txt"), "wb") as f:
            f.write(b"0;THANK YOU\r\n1\tBREAD\t1\t100\t250\t\t\r\n2\tMILK 2%\t2\t200\t300\t\t\r\n")
        subprocess.run([os.path.join(os.path.dirname(FISKALD), "fiskal")], cwd=folder,
                       env=self.shell.env, check=True, timeout=PATIENCE)
        with open(os.path.join(folder, "fiskal.log"), "rb") as f:
            self.assertEqual(transcript, f.read().decode("utf-8"))
        self.block(doc_block("web-pos-printers"), [(200, '"queue_length"')])

        self.block(doc_block("web-pos-post-away"), [(201, "Location: /v1/receipts/3")])
        self.wait_until("port 1 waiting", lambda: self.printer(1)["waiting"])
        self.block(doc_block("web-pos-give-up"), [(200, '"given_up":1')])
        self.block(doc_block("web-pos-give-up"), [409])

        # Receipt 4 in doubt: fiskald killed while sending it.
        items = [{"name": "ITEM %d" % i, "tax": "1", "quantity": "1", "price": "1"}
                 for i in range(20)]
        self.assertEqual(self.shell.api("POST", "/v1/receipts", {"port": 0, "items": items})["id"], 4)
        self.wait_until("receipt 4 sending",
                        lambda: self.shell.api("GET", "/v1/receipts/4")["texts_sent"] > 0)
        self.shell.stop(signal.SIGKILL)
        self.shell.start(self.shell.fiskald_words)
        self.block(doc_block("web-pos-in-doubt"), [(200, '"id":4')])
        self.block(doc_block("web-pos-resolve"), [(200, '"state":"resolved_not_printed"')])
        self.block(doc_block("web-pos-resolve"), [(409, '"state":"resolved_not_printed"')])

        self.block(doc_block("web-pos-preflight"), [(204, "Access-Control-Allow-Methods")])
        self.block(doc_block("web-pos-other-origin"), [403])
        self.block(doc_block("web-pos-openapi"), [200])
        with open(os.path.join(self.folder, "openapi.json"), encoding="utf-8") as f:
            self.assertIn("openapi", json.load(f))
        self.assertEqual(self.shell.stop(), 0)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: commands_test.py FISKALD [unittest options]")
    FISKALD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
