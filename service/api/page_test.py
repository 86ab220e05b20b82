#!/usr/bin/python3
"""The shop's page (GET /) in headless Chromium, against a real fiskald.

Each test starts its own fiskald on 127.0.0.1 port 0 with a fresh journal,
every serial port pointed at a path that does not exist, and posts
log-only receipts only. Every wait is for a condition; PATIENCE guards
against a hang and is never a speed requirement. scripts/browser sets
FISKALD (the binary) and FISKAL_PAGE_SHOT (where the screenshot goes).
"""

import json
import os
import re
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
        self.folder, self.extra = folder, list(extra)
        self.process, self.port, self.starts = None, 0, 0

    @property
    def origin(self):
        return "http://127.0.0.1:%d" % self.port

    def start(self, port=0):
        env = dict(os.environ, FISKAL_LOCK_DIR=self.folder)
        for n in range(1, 10):
            env["FISKAL_COM%d" % n] = os.path.join(self.folder, "no-such-port-%d" % n)
        self.starts += 1
        err_path = os.path.join(self.folder, "fiskald-%d.err" % self.starts)
        with open(err_path, "wb") as err:
            self.process = subprocess.Popen(
                [FISKALD, "--listen", "127.0.0.1:%d" % port,
                 "--journal", os.path.join(self.folder, "journal.db")] + self.extra,
                cwd=self.folder, env=env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + PATIENCE
        while True:
            with open(err_path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            listening = re.search(r"listening on http://127\.0\.0\.1:(\d+) ", text)
            if listening:
                self.port = int(listening.group(1))
                return
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("fiskald did not start: " + text)
            time.sleep(0.05)

    def kill(self, sig=signal.SIGKILL):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(PATIENCE)
            except subprocess.TimeoutExpired:
                self.kill()

    def call(self, method, path, body=None, headers=None):
        """The status and JSON of an API call."""
        request = urllib.request.Request(
            self.origin + path, method=method, data=body and json.dumps(body).encode(),
            headers=dict(headers or {}, **{"Content-Type": "application/json"} if body else {}))
        try:
            with HTTP.open(request, timeout=PATIENCE) as res:
                return res.status, json.loads(res.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def receipts(self):
        return self.call("GET", "/v1/receipts")[1]["receipts"]


def chromium(folder, flags=()):
    """Debian's Chromium, headless, with a profile of its own in `folder`,
    reaching for no address of the outside world, logging what it asks and
    what its pages say."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-proxy-server",
                 "--disable-dev-shm-usage",
                 "--user-data-dir=" + os.path.join(folder, "chromium")) + tuple(flags):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    return webdriver.Chrome(
        service=Service("/usr/bin/chromedriver",
                        log_path=os.path.join(folder, "chromedriver.log")),
        options=options)


def receipt(items):
    return {"port": 0, "footer": "THANK YOU", "items": [
        dict(zip(("name", "tax", "quantity", "price"), item)) for item in items]}


class PageTest(unittest.TestCase):
    fiskald_args = ()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="fiskal-page-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.fiskald = Fiskald(self.folder, self.fiskald_args)
        self.addCleanup(self.fiskald.kill, signal.SIGTERM)
        self.fiskald.start()

        self.driver = chromium(self.folder, ("--window-size=1400,1000",))
        self.addCleanup(self.driver.quit)
        self.requested = []

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

    def assert_stays_home(self):
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                self.requested.append(message["params"]["request"]["url"])
        self.assertIn(self.fiskald.origin + "/v1/printers", self.requested)
        self.assertEqual([u for u in self.requested if not u.startswith(
            (self.fiskald.origin + "/", "data:", "about:"))], [])

    def assert_no_console_errors(self):
        self.assertEqual([e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"], [])

    def wait_for_state(self, receipt_id, state):
        badge = '#receipts article[data-id="%s"] .badge' % receipt_id
        self.until(lambda: [b.text for b in self.find_all(badge)] == [state],
                   "receipt %s to be %s on the page" % (receipt_id, state))

    def post_printed(self, key, items):
        status, body = self.fiskald.call("POST", "/v1/receipts?wait=%d" % (PATIENCE - 30),
                                         receipt(items), {"Idempotency-Key": key})
        self.assertEqual((status, body["state"]), (201, "printed"))

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


class Page(PageTest):

    def test_loads_without_errors_and_asks_only_fiskald(self):
        self.open_page()
        # Port 0 and the nine ports the test points nowhere, from the start.
        self.assertFalse(self.find("#printers-empty").is_displayed())
        self.assertEqual([c.find_element(By.CSS_SELECTOR, "h3").text.split()[:2]
                          for c in self.find_all("#printers article.printer")],
                         [["Port", str(n)] for n in range(10)])
        self.assertFalse(self.find("#banner").is_displayed())
        self.assertFalse(self.find("#broker-panel").is_displayed())  # no --broker
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
        slip = self.find('#receipts article[data-id="%s"] .slip' % posted["id"])
        self.assertEqual([item.text for item in self.find_all(".slip-item", slip)],
                         ["BREAD\n1.00 x 2.50\n2.50 A", "MILK 2%\n2.00 x 3.00\n6.00 B"])
        self.assertEqual(self.find(".slip-total", slip).text, "TOTAL\n8.50")
        self.assertEqual(self.find(".slip-footer", slip).text, "SEE YOU")

        # Port 0's card, back to idle with its last outcome.
        self.until(lambda: self.find_all("#printers .printer")
                   and "idle" in self.find("#printers .printer").text
                   and "receipt %d" % posted["id"] in self.find("#printers .printer .last").text,
                   "port 0 idle after the receipt")
        self.assertIn("log-only", self.find("#printers .printer").text)
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
        self.assertFalse(error_of(rows[0]).is_displayed())
        self.assertFalse(error_of(rows[2]).is_displayed())
        self.assertIn("Refused", self.find("#build-result").text)
        self.assertEqual(self.fiskald.receipts(), [])

        # fiskal.txt pasted with LF line ends: the page sends CR LF, so
        # fiskald reads three lines and names the third.
        self.find("#show-text").click()
        self.driver.execute_script("arguments[0].value = arguments[1]", self.find("#text-body"),
                                   "0;THANK YOU\n1\tBREAD\t1\t100\t250\t\n2 ROLL 1 100 40\n")
        self.find("#text-form button[type=submit]").click()
        self.until(lambda: self.find("#text-error").is_displayed(), "the reason by the text")
        self.assertRegex(self.find("#text-error").text, "^Line 3 .*0 TABs")
        self.assertEqual(self.fiskald.receipts(), [])
        self.assert_stays_home()

    def test_a_receipt_in_doubt_is_resolved_on_the_page(self):
        self.open_page()
        printed = [("a", [("BREAD", "1", "1", "2.50"), ("BUTTER", "1", "1", "4.20")]),
                   ("b", [("APPLES", "3", "1.25", "4.20")]), ("d", [("TEA", "2", "2", "1.80")])]
        self.post_printed(*printed[0])
        self.post_printed(*printed[1])
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
        self.assertIn("fiskald stopped while sending", self.find(item + " .message").text)
        self.wait_for_state(doubtful, "in_doubt")
        self.post_printed(*printed[2])

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
        self.assertEqual(self.fiskald.call("GET", "/v1/receipts/%d" % doubtful)[1]["state"],
                         "resolved_printed")
        self.assert_stays_home()

    def test_a_printer_that_is_away_holds_its_receipts_until_given_up(self):
        self.open_page()
        held = dict(receipt([("BREAD", "1", "1", "2.50")]), port=1)
        status, body = self.fiskald.call("POST", "/v1/receipts", held, {"Idempotency-Key": "away"})
        self.assertEqual(status, 201)
        card = '#printers .printer[data-key="1"]'
        self.until(lambda: self.find_all(card + ".waiting") and
                   "No such file or directory" in self.find(card).text and
                   "1 receipt waits" in self.find(card).text, "port 1 shown waiting")
        self.find(card + " button.give-up").click()
        WebDriverWait(self.driver, PATIENCE).until(expected_conditions.alert_is_present())
        self.assertIn("port 1", self.driver.switch_to.alert.text)
        self.driver.switch_to.alert.accept()
        self.until(lambda: not self.find_all(card + ".waiting"), "port 1 no longer waiting")
        status, body = self.fiskald.call("GET", "/v1/receipts/%d" % body["id"])
        self.assertEqual(body["state"], "not_sent")
        self.assertIn("given up by the operator", body["message"])
        self.assert_no_console_errors()


TOKEN = "page-test-token-0123456789"


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PageWithBroker(PageTest):
    """A broker nobody listens for: the page says so, and why."""

    def setUp(self):
        self.fiskald_args = ("--broker", "mqtt://127.0.0.1:%d" % free_port(), "--shop", "shop-7")
        super().setUp()

    def test_shows_the_broker_down_and_why(self):
        self.open_page()
        self.until(lambda: self.find("#broker-panel").is_displayed()
                   and "not connected" in self.find("#broker").text
                   and "cannot connect" in self.find("#broker").text, "the broker shown down")
        self.assertIn("Shop shop-7", self.find("#broker h3").text)
        self.assert_no_console_errors()


class PageWithToken(PageTest):

    def setUp(self):
        path = os.path.join(tempfile.mkdtemp(prefix="fiskal-token-"), "token")
        self.addCleanup(shutil.rmtree, os.path.dirname(path), ignore_errors=True)
        with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w", encoding="ascii") as f:
            f.write(TOKEN + "\n")
        self.fiskald_args = ("--token-file", path)
        super().setUp()

    def test_asks_for_the_token_once_and_sends_it(self):
        self.driver.get("about:blank")
        self.driver.get(self.fiskald.origin + "/")
        for token in ("wrong", TOKEN):
            self.until(lambda: self.find("#token").is_displayed(), "the token form")
            self.find("#token-input").send_keys(token)
            self.find("#token-form button").click()
        self.until(lambda: self.find("#updated").text.startswith("updated"), "a poll with it")

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
