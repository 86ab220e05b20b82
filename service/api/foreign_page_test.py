#!/usr/bin/python3
"""A page of a foreign site tries to print a receipt through fiskald.

The page comes from http://evil.example:PORT (a Python server on
127.0.0.1; Chromium maps the name there), a site of its own. In headless
Chromium, started with Local Network Access checks off (as browsers without
them behave), it sends what needs no preflight: a text/plain form and a
no-cors fetch, each a POST to fiskald with a whole receipt request hidden
in its body, both at the body's start and at stream offset 4096 (where a
server that reads 4096 bytes at a time would begin its next request). To
put it there, the page first sends the same request to a capture server of
the test's, which counts the bytes of the header Chromium sends. fiskald
must refuse each (403, for the foreign Origin), close the connection
without reading the body as a request, and store nothing.
scripts/browser runs it beside page_test.py.
"""

import http.server
import json
import shutil
import signal
import socket
import tempfile
import threading
import unittest

from selenium.webdriver.support.ui import WebDriverWait

from page_test import HTTP, PATIENCE, Fiskald, chromium

PAGE = """<!doctype html>
<html><head><title>loading</title></head><body>
<form id="form" method="POST" enctype="text/plain"></form>
<script>
const fiskald = "%(fiskald)s", capture = "%(capture)s";
const smuggled = (key) => {
  const rest = "0;EVIL\\r\\n";
  return "POST /v1/receipts HTTP/1.1\\r\\nHost: %(host)s\\r\\nContent-Type: text/plain\\r\\n" +
    "Idempotency-Key: " + key + "\\r\\nContent-Length: " + rest.length + "\\r\\n\\r\\n" + rest;
};
// Padding that puts the smuggled request at stream offset 4096, given the
// size of the header the browser sent the capture server for the same
// request (the same length of host, port and body length).
const padding = async () => {
  const header = Number(await (await fetch("/header")).text());
  return "P".repeat(4096 - header);
};
const params = new URLSearchParams(location.search);
const how = params.get("how"), at = params.get("at");
const post = (target, body) => fetch(target, {method: "POST", mode: "no-cors", body: body,
                                              headers: {"Content-Type": "text/plain"}});
// A text/plain form sends name=value CR LF: the hidden request goes in the
// name, its body ends "=X" CR LF, which the request's length counts.
const submit = (target, text) => {
  const form = document.getElementById("form");
  const field = document.createElement("input");
  field.type = "hidden";
  field.name = text;
  field.value = "";
  form.action = target;
  form.append(field);
  form.submit();
};
const formText = (pad, key) => {
  const request = smuggled(key);  // ends "0;EVIL" CR LF: the form adds "=" CR LF
  return pad + request.slice(0, -2).replace(/Content-Length: \\d+/, "Content-Length: 9");
};
(async () => {
  if (how === "fetch") {
    let pad = "";
    if (at === "4096") {
      await post(capture, "C".repeat(3000) + smuggled("evil-fetch-4096"));
      pad = await padding();
    }
    await post(fiskald, pad + smuggled("evil-fetch-" + at));
    document.title = "sent";
  } else if (how === "form" && at === "4096" && !params.get("measured")) {
    submit(capture, formText("C".repeat(3000), "evil-form-4096"));  // comes back measured
  } else if (how === "form") {
    submit(fiskald, formText(at === "4096" ? await padding() : "", "evil-form-" + at));
  }
})().catch(() => { document.title = "failed"; });
</script></body></html>
"""


class Capture:
    """A server that reads one request on each connection, keeps the size
    of its header, and sends the browser back to the foreign page."""

    def __init__(self, back):
        self.back, self.header = back, 0
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.socket.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(PATIENCE)
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    data += chunk
                self.header = data.find(b"\r\n\r\n") + 4
                conn.sendall(b"HTTP/1.1 303 See Other\r\nLocation: " + self.back.encode() +
                             b"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    def close(self):
        self.socket.close()


class ForeignPage(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="fiskal-foreign-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.fiskald = Fiskald(self.folder)
        self.addCleanup(self.fiskald.kill, signal.SIGTERM)
        self.fiskald.start()

        test = self

        class Foreign(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path == "/header":
                    body = str(test.capture.header).encode()
                else:
                    body = (PAGE % {"fiskald": test.fiskald.origin + "/v1/receipts",
                                    "capture": "http://127.0.0.1:%d/v1/receipts"
                                               % test.capture.port,
                                    "host": "127.0.0.1:%d" % test.fiskald.port}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Foreign)
        threading.Thread(target=self.site.serve_forever, daemon=True).start()
        self.addCleanup(self.site.server_close)
        self.addCleanup(self.site.shutdown)
        self.page = "http://evil.example:%d/" % self.site.server_address[1]
        self.capture = Capture(self.page + "?how=form&at=4096&measured=1")
        self.addCleanup(self.capture.close)
        # The capture server stands for fiskald: its port must be written
        # with as many digits, so that the two headers are alike.
        self.assertEqual(len(str(self.capture.port)), len(str(self.fiskald.port)))

        self.driver = chromium(self.folder, ("--disable-features=LocalNetworkAccessChecks",
                                             "--host-resolver-rules=MAP evil.example 127.0.0.1"))
        self.addCleanup(self.driver.quit)

    def answers_from_fiskald(self):
        """(status, Origin sent) of each answer Chromium had from fiskald."""
        sent, received, methods = {}, [], {}
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            params = message.get("params", {})
            # The headers as sent, Origin among them, come in the extra info.
            if message["method"] in ("Network.requestWillBeSent",
                                     "Network.requestWillBeSentExtraInfo"):
                headers = params.get("headers") or params.get("request", {}).get("headers", {})
                sent.setdefault(params["requestId"], {}).update(headers)
                if "request" in params:
                    methods[params["requestId"]] = params["request"]["method"]
            if (message["method"] == "Network.responseReceived"
                    and params["response"]["url"].startswith(self.fiskald.origin)):
                received.append((params["requestId"], params["response"]["status"]))
        # The POSTs only (a page shown asks for its icon too).
        return [(status, sent.get(rid, {}).get("Origin", sent.get(rid, {}).get("origin")))
                for rid, status in received if methods.get(rid) == "POST"]

    def stored(self):
        with HTTP.open(self.fiskald.origin + "/v1/receipts?limit=1000", timeout=PATIENCE) as res:
            return json.loads(res.read())["receipts"]

    def wait(self, condition, what):
        WebDriverWait(self.driver, PATIENCE, poll_frequency=0.1).until(
            lambda d: condition(), message="waited %d s for %s" % (PATIENCE, what))

    def assert_refused_and_nothing_stored(self):
        answers = self.answers_from_fiskald()
        self.assertEqual([status for status, origin in answers], [403], answers)
        self.assertTrue((answers[0][1] or "").startswith("http://evil.example:"), answers)
        # What a server that took the hidden request would have printed by
        # now: a receipt of one line, log-only.
        with HTTP.open(self.fiskald.origin + "/healthz", timeout=PATIENCE) as res:
            self.assertEqual(res.status, 200)
        self.assertEqual(self.stored(), [])

    def test_a_text_plain_form_prints_nothing(self):
        for at in ("0", "4096"):
            with self.subTest(at=at):
                self.driver.get("about:blank")
                self.driver.get_log("performance")
                self.driver.get(self.page + "?how=form&at=" + at)
                self.wait(lambda: self.driver.current_url.startswith(self.fiskald.origin),
                          "the form sent to fiskald")
                self.wait(lambda: "Forbidden" in self.driver.page_source, "fiskald's answer")
                self.assert_refused_and_nothing_stored()

    def test_a_no_cors_fetch_prints_nothing(self):
        for at in ("0", "4096"):
            with self.subTest(at=at):
                self.driver.get("about:blank")
                self.driver.get_log("performance")
                self.driver.get(self.page + "?how=fetch&at=" + at)
                self.wait(lambda: self.driver.title in ("sent", "failed"), "the fetch done")
                self.assertEqual(self.driver.title, "sent")
                self.assert_refused_and_nothing_stored()


if __name__ == "__main__":
    unittest.main(verbosity=2)
