#!/usr/bin/python3
"""An https page calls fiskald on http://127.0.0.1: what doc/guide-web-pos.md
says of it holds in a browser.

A web POS page comes from https://pos.example:PORT (a Python server on
127.0.0.1 with a certificate made here; headless Chromium maps the name
there and is told to take the certificate). fiskald listens on
http://127.0.0.1 with --allow-origin for that origin, every port pointed at
a path that does not exist. The page posts a log-only receipt to
http://127.0.0.1:P, to http://localhost:P (both loopback: not mixed content,
so they reach fiskald and are stored) and to http://printer.example:P (the
same fiskald under a LAN name: mixed content, blocked by the browser before
anything is sent).

usage: https_page_test.py FISKALD   (exit status 77: no Chromium or Selenium here)
"""

import http.server
import json
import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77  # ctest's SKIP_RETURN_CODE

PAGE = """<!doctype html><html><head><title>loading</title></head><body><script>
const port = %(port)d, out = {};
const post = async (name, host) => {
  try {
    const answer = await fetch("http://" + host + ":" + port + "/v1/receipts", {
      method: "POST",
      headers: {"Content-Type": "application/json", "Idempotency-Key": "https-page-" + name},
      body: JSON.stringify({port: 0, items: [{name: "BREAD", tax: "1", quantity: "1", price: "2.50"}]})});
    out[name] = answer.status;
  } catch (e) {
    out[name] = "blocked";
  }
};
(async () => {
  await post("loopback", "127.0.0.1");
  await post("localhost", "localhost");
  await post("lan-name", "printer.example");
  document.title = JSON.stringify(out);
})();
</script></body></html>"""


class HttpsPageTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="fiskal-https-page-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        key, cert = (os.path.join(self.folder, n) for n in ("key.pem", "cert.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=pos.example",
                        "-addext", "subjectAltName=DNS:pos.example"],
                       check=True, capture_output=True)
        test = self

        class Page(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = (PAGE % {"port": test.fiskald.port}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.site.socket = context.wrap_socket(self.site.socket, server_side=True)
        threading.Thread(target=self.site.serve_forever, daemon=True).start()
        self.addCleanup(self.site.server_close)
        self.addCleanup(self.site.shutdown)
        self.origin = "https://pos.example:%d" % self.site.server_address[1]

        self.fiskald = Fiskald(self.folder, ["--allow-origin", self.origin])
        self.addCleanup(self.fiskald.kill, signal.SIGTERM)
        self.fiskald.start()
        self.driver = chromium(self.folder, (
            "--ignore-certificate-errors",
            "--host-resolver-rules=MAP pos.example 127.0.0.1, MAP printer.example 127.0.0.1"))
        self.addCleanup(self.driver.quit)

    def test_loopback_is_not_mixed_content_and_a_lan_name_is(self):
        self.driver.get(self.origin + "/")
        WebDriverWait(self.driver, PATIENCE, poll_frequency=0.1).until(
            lambda d: d.title != "loading", message="the page's three posts")
        self.assertEqual(json.loads(self.driver.title),
                         {"loopback": 201, "localhost": 201, "lan-name": "blocked"})
        keys = sorted(r["idempotency_key"] for r in self.fiskald.receipts())
        self.assertEqual(keys, ["https-page-localhost", "https-page-loopback"])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: https_page_test.py FISKALD [unittest options]")
    os.environ["FISKALD"] = os.path.abspath(sys.argv.pop(1))
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        print("skipped: no chromium and chromedriver (scripts/browser installs them)")
        sys.exit(SKIP)
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "service", "api"))
    try:
        from page_test import PATIENCE, Fiskald, chromium  # noqa: E402
        from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402
    except ImportError as e:
        print("skipped: %s (scripts/browser installs python3-selenium)" % e)
        sys.exit(SKIP)
    unittest.main()
