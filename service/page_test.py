#!/usr/bin/python3
"""The shop's page (GET /) in headless Chromium, against a real fiskald.

Each test starts its own fiskald on 127.0.0.1 (a port the system gives)
with a fresh journal in a temporary folder, every serial port pointed at
a path that does not exist, and posts log-only (port 0) receipts only.
scripts/browser runs this file with FISKALD set to the binary and
FISKAL_PAGE_SHOT to where the screenshot of the page goes.

Nothing here waits a fixed time: every wait is for a condition, with a
patience that guards against a hang and is never a speed requirement.
"""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import Select, WebDriverWait

FISKALD = os.environ.get("FISKALD", "build/fiskald")
SHOT = os.environ.get("FISKAL_PAGE_SHOT", "")
PATIENCE = 90  # seconds

# Straight to loopback, whatever proxy the environment names.
HTTP = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class Fiskald:
    """fiskald in a folder of its own; start() again reuses the journal."""

    def __init__(self, folder, extra=()):
        self.folder = folder
        self.extra = list(extra)
        self.process = None
        self.port = 0
        self.starts = 0

    @property
    def origin(self):
        return "http://127.0.0.1:%d" % self.port

    def start(self, port=0):
        env = dict(os.environ, FISKAL_LOCK_DIR=self.folder)
        for n in range(1, 10):
            env["FISKAL_COM%d" % n] = os.path.join(self.folder, "no-such-port-%d" % n)
        deadline = time.monotonic() + PATIENCE
        while True:
            self.starts += 1
            err_path = os.path.join(self.folder, "fiskald-%d.err" % self.starts)
            with open(err_path, "wb") as err:
                self.process = subprocess.Popen(
                    [FISKALD, "--listen", "127.0.0.1:%d" % port,
                     "--journal", os.path.join(self.folder, "journal.db")] + self.extra,
                    cwd=self.folder, env=env, stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=err)
            marker = "listening on http://127.0.0.1:"
            while True:
                with open(err_path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                at = text.find(marker)
                if at >= 0 and " " in text[at + len(marker):]:
                    self.port = int(text[at + len(marker):].split(" ")[0])
                    return
                if self.process.poll() is not None:
                    break
                if time.monotonic() > deadline:
                    raise AssertionError("fiskald did not start: " + text)
                time.sleep(0.05)
            # Exited: a port just given up may still be held for a moment.
            if "cannot listen" not in text or time.monotonic() > deadline:
                raise AssertionError("fiskald did not start: " + text)

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(PATIENCE)

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(PATIENCE)

    def call(self, method, path, body=None, headers=None):
        """The status and JSON of an API call."""
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.origin + path, data=data, method=method,
                                         headers=dict(headers or {}))
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with HTTP.open(request, timeout=PATIENCE) as res:
                return res.status, json.loads(res.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def receipts(self):
        status, body = self.call("GET", "/v1/receipts")
        assert status == 200, body
        return body["receipts"]


def receipt(items, footer="THANK YOU"):
    return {"port": 0, "footer": footer, "items": [
        {"name": name, "tax": tax, "quantity": quantity, "price": price}
        for name, tax, quantity, price in items]}


class PageTest(unittest.TestCase):
    fiskald_args = ()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="fiskal-page-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.fiskald = Fiskald(self.folder, self.fiskald_args)
        self.addCleanup(self.fiskald.stop)
        self.fiskald.start()

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-proxy-server",
                     "--disable-dev-shm-usage", "--window-size=1400,1000",
                     "--user-data-dir=" + os.path.join(self.folder, "chromium")):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        self.driver = webdriver.Chrome(
            service=Service("/usr/bin/chromedriver",
                            log_path=os.path.join(self.folder, "chromedriver.log")),
            options=options)
        self.addCleanup(self.driver.quit)
        self.requested = []

    # --- helpers ---

    def until(self, condition, what):
        # The page redraws a card when its receipt changes: an element
        # found a moment ago may be gone, and is looked for again.
        return WebDriverWait(self.driver, PATIENCE, poll_frequency=0.1,
                             ignored_exceptions=(StaleElementReferenceException,)).until(
            lambda d: condition(), message="waited %d s for %s" % (PATIENCE, what))

    def find(self, css, within=None):
        return (within or self.driver).find_element(By.CSS_SELECTOR, css)

    def find_all(self, css, within=None):
        return (within or self.driver).find_elements(By.CSS_SELECTOR, css)

    def open_page(self):
        # The browser's own start page may still be loading: leave it
        # first, so the log holds only what the page asked for.
        self.driver.get("about:blank")
        self.driver.get_log("performance")
        self.driver.get(self.fiskald.origin + "/")
        self.until(lambda: self.find("#updated").text.startswith("updated"), "a first poll")

    def collect_requests(self):
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                self.requested.append(message["params"]["request"]["url"])
        return self.requested

    def assert_stays_home(self):
        urls = self.collect_requests()
        self.assertIn(self.fiskald.origin + "/v1/printers", urls)
        elsewhere = [u for u in urls if not u.startswith(self.fiskald.origin + "/")
                     and not u.startswith(("data:", "about:"))]
        self.assertEqual(elsewhere, [])

    def assert_no_console_errors(self):
        errors = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])

    def slip_of(self, receipt_id):
        return self.find('#receipts article[data-id="%s"]' % receipt_id)

    def wait_for_state(self, receipt_id, state):
        self.until(lambda: self.find_all('#receipts article[data-id="%s"] .badge' % receipt_id)
                   and self.find(".badge", self.slip_of(receipt_id)).text == state,
                   "receipt %s to be %s on the page" % (receipt_id, state))

    def fill_items(self, items):
        while len(self.find_all("#items tr.item-row")) < len(items):
            self.find("#add-item").click()
        rows = self.find_all("#items tr.item-row")
        for row, (name, tax, quantity, price) in zip(rows, items):
            for field, value in (("name", name), ("quantity", quantity), ("price", price)):
                box = self.find('[name="%s"]' % field, row)
                box.clear()
                box.send_keys(value)
            Select(self.find('[name="tax"]', row)).select_by_value(tax)
        return rows

    def paste_fiskal_txt(self, text):
        self.find("#show-text").click()
        box = self.find("#text-body")
        # As a paste would: the text, TABs and all, in the box.
        self.driver.execute_script(
            "arguments[0].value = arguments[1];"
            "arguments[0].dispatchEvent(new Event('input'));", box, text)
        self.find("#text-form button[type=submit]").click()


class Page(PageTest):

    def test_loads_without_errors_and_asks_only_fiskald(self):
        self.open_page()
        self.assertTrue(self.find("#printers-empty").is_displayed())
        self.assertTrue(self.find("#decisions-empty").is_displayed())
        self.assertTrue(self.find("#receipts-empty").is_displayed())
        self.assertFalse(self.find("#banner").is_displayed())
        self.assertFalse(self.find("#token").is_displayed())
        self.assert_no_console_errors()
        self.assert_stays_home()

    def test_a_receipt_built_in_the_form_prints_as_a_slip(self):
        self.open_page()
        self.assertEqual(self.find("#build-port").get_attribute("value"), "0")
        footer = self.find("#build-footer")
        footer.clear()
        footer.send_keys("SEE YOU")
        self.fill_items([("BREAD", "1", "1", "2.50"), ("MILK 2%", "2", "2", "3")])
        self.find("#build-form button[type=submit]").click()
        self.until(lambda: "accepted" in self.find("#build-result").text, "the receipt accepted")

        [posted] = self.fiskald.receipts()
        self.wait_for_state(posted["id"], "printed")
        slip = self.find(".slip", self.slip_of(posted["id"]))
        lines = [(self.find(".slip-name", item).text, self.find(".slip-quantity", item).text,
                  self.find(".slip-value", item).text)
                 for item in self.find_all(".slip-item", slip)]
        self.assertEqual(lines, [("BREAD", "1.00 x 2.50", "2.50 A"),
                                 ("MILK 2%", "2.00 x 3.00", "6.00 B")])
        self.assertEqual(self.find(".slip-sum", slip).text, "8.50")
        self.assertEqual(self.find(".slip-footer", slip).text, "SEE YOU")

        # Port 0's card, back to idle with its last outcome.
        self.until(lambda: self.find_all("#printers .printer")
                   and "idle" in self.find("#printers .printer").text
                   and "receipt %d" % posted["id"] in self.find("#printers .printer .last").text,
                   "port 0 idle after the receipt")
        card = self.find("#printers .printer")
        self.assertIn("log-only", card.text)
        self.assertIn("printed", self.find(".last", card).text)
        self.assert_no_console_errors()
        self.assert_stays_home()

    def test_a_refused_receipt_shows_why_at_its_row_and_queues_nothing(self):
        self.open_page()
        rows = self.fill_items([("BREAD", "1", "1", "2.50"), ("ROLL", "1", "1.555", "0.40"),
                                ("MILK", "2", "1", "3.00")])
        self.find("#build-form button[type=submit]").click()

        def error_of(row):
            return self.driver.execute_script("return arguments[0].nextElementSibling", row)

        self.until(lambda: error_of(rows[1]).is_displayed(), "the reason at the second row")
        self.assertIn('items[1].quantity "1.555"', error_of(rows[1]).text)
        self.assertIn("invalid", rows[1].get_attribute("class"))
        self.assertFalse(error_of(rows[0]).is_displayed())
        self.assertFalse(error_of(rows[2]).is_displayed())
        self.assertIn("Refused", self.find("#build-result").text)
        self.assertEqual(self.fiskald.receipts(), [])

        # fiskal.txt pasted with LF line ends: the page sends CR LF, so
        # fiskald reads three lines and names the third.
        self.paste_fiskal_txt("0;THANK YOU\n1\tBREAD\t1\t100\t250\t\n2 ROLL 1 100 40\n")
        self.until(lambda: self.find("#text-error").is_displayed(), "the reason by the text")
        self.assertTrue(self.find("#text-error").text.startswith("Line 3"),
                        self.find("#text-error").text)
        self.assertIn("0 TABs", self.find("#text-error").text)
        self.assertEqual(self.fiskald.receipts(), [])
        self.assert_stays_home()

    def test_a_receipt_in_doubt_is_resolved_on_the_page(self):
        self.open_page()
        for key, items in (("a", [("BREAD", "1", "1", "2.50"), ("BUTTER", "1", "1", "4.20")]),
                           ("b", [("APPLES", "3", "1.25", "4.20")])):
            status, body = self.fiskald.call("POST", "/v1/receipts?wait=%d" % (PATIENCE - 30),
                                             receipt(items), {"Idempotency-Key": key})
            self.assertEqual((status, body["state"]), (201, "printed"))
        # Twenty items take ten seconds log-only: long enough to watch.
        many = [("ITEM %d" % i, "1", "1", "1.%02d" % i) for i in range(1, 21)]
        status, body = self.fiskald.call("POST", "/v1/receipts", receipt(many),
                                         {"Idempotency-Key": "c"})
        self.assertEqual(status, 201)
        doubtful = body["id"]
        self.until(lambda: self.find_all("#printers .printer progress") and
                   "sending receipt %d" % doubtful in self.find("#printers .printer").text,
                   "the printer card to show the receipt going out")
        self.fiskald.kill()
        self.until(lambda: self.find("#banner").is_displayed(), "the banner")
        self.assertIn("cannot be reached", self.find("#banner").text)

        self.fiskald.start(self.fiskald.port)
        self.until(lambda: not self.find("#banner").is_displayed(), "the banner to go")
        item = 'li.decision[data-id="%d"]' % doubtful
        self.until(lambda: self.find_all(item), "the receipt under Needs a decision")
        self.assertIn("in_doubt", self.find(item + " .badge").text)
        self.assertIn("fiskald stopped while sending", self.find(item + " .message").text)
        self.wait_for_state(doubtful, "in_doubt")
        status, body = self.fiskald.call("POST", "/v1/receipts?wait=%d" % (PATIENCE - 30),
                                         receipt([("TEA", "2", "2", "1.80")]),
                                         {"Idempotency-Key": "d"})
        self.assertEqual((status, body["state"]), (201, "printed"))

        # A refused try, then the picture of the page.
        self.fill_items([("BREAD", "1", "1", "2.50"), ("ROLL", "1", "1.555", "0.40")])
        self.find("#build-form button[type=submit]").click()
        self.until(lambda: "Refused" in self.find("#build-result").text, "the refusal")
        if SHOT:
            self.until(lambda: len(self.find_all("#receipts .slip")) == 4 and
                       "idle" in self.find("#printers .printer").text, "four slips, port 0 idle")
            height = self.driver.execute_script("return document.documentElement.scrollHeight")
            self.driver.set_window_size(1400, min(height + 150, 4000))
            self.driver.execute_script("window.scrollTo(0, 0)")
            self.driver.save_screenshot(SHOT)

        self.find(item + " button.resolve-printed").click()
        WebDriverWait(self.driver, PATIENCE).until(expected_conditions.alert_is_present())
        self.driver.switch_to.alert.accept()
        self.wait_for_state(doubtful, "resolved_printed")
        self.until(lambda: not self.find_all(item), "the decision to be gone")
        self.assertTrue(self.find("#decisions-empty").is_displayed())
        status, body = self.fiskald.call("GET", "/v1/receipts/%d" % doubtful)
        self.assertEqual(body["state"], "resolved_printed")
        self.assert_stays_home()


TOKEN = "page-test-token-0123456789"


class PageWithToken(PageTest):

    def setUp(self):
        folder = tempfile.mkdtemp(prefix="fiskal-token-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        path = os.path.join(folder, "token")
        with open(path, "w", encoding="ascii") as f:
            f.write(TOKEN + "\n")
        os.chmod(path, 0o600)
        self.fiskald_args = ("--token-file", path)
        super().setUp()

    def test_asks_for_the_token_once_and_sends_it(self):
        self.driver.get("about:blank")
        self.driver.get(self.fiskald.origin + "/")
        self.until(lambda: self.find("#token").is_displayed(), "the token form")
        self.find("#token-input").send_keys("wrong")
        self.find("#token-form button").click()
        self.until(lambda: "refused" in self.find("#token-why").text, "the wrong token refused")
        self.find("#token-input").send_keys(TOKEN)
        self.find("#token-form button").click()
        self.until(lambda: self.find("#updated").text.startswith("updated"), "a poll with it")
        self.assertFalse(self.find("#token").is_displayed())

        # Posting and the slip carry it too; a reload in the tab keeps it.
        self.find("#build-form button[type=submit]").click()
        self.until(lambda: "accepted" in self.find("#build-result").text, "the receipt accepted")
        self.until(lambda: self.find_all("#receipts .slip-item"), "its slip")
        self.driver.refresh()
        self.until(lambda: self.find("#updated").text.startswith("updated"), "a poll after reload")
        self.assertFalse(self.find("#token").is_displayed())
        self.until(lambda: self.find_all("#receipts .slip-item"), "the slip after reload")
        # Only the API refused anything: the page, its files and its icon
        # load without the token.
        errors = [e["message"] for e in self.driver.get_log("browser")
                  if e["level"] == "SEVERE" and "/v1/" not in e["message"]]
        self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
