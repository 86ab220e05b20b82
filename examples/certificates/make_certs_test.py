#!/usr/bin/env python3
"""examples/certificates/make-certs.sh: what it makes, what it refuses, and
that a renewal keeps the key. The certificates at work (a broker and
fiskald taking them) are tried by examples/broker/send_test.py and the
C++ broker tests, which make theirs with it.

usage: make_certs_test.py
"""

import os
import stat
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent / "make-certs.sh"


def make(folder, *args):
    done = subprocess.run(["sh", str(SCRIPT), "-d", str(folder), *args], capture_output=True,
                          text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def x509(path, *what):
    return subprocess.run(["openssl", "x509", "-in", str(path), "-noout", *what],
                          capture_output=True, text=True, check=True, timeout=60).stdout


class MakeCerts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="make-certs-test-")
        cls.dir = Path(cls.tmp.name) / "certs"
        for args in (["ca", "Test Chain CA"], ["broker", "broker.example", "127.0.0.1", "::1"],
                     ["client", "chain", "shop-0042"]):
            status, _, err = make(cls.dir, *args)
            if status != 0:
                raise AssertionError(f"make-certs.sh {args}: {err}")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_what_each_certificate_is(self):
        cases = [
            # file, subject, what it says of its use
            ("chain-ca", "CN = Test Chain CA", ["CA:TRUE", "Certificate Sign"]),
            ("broker", "CN = broker.example",
             ["TLS Web Server Authentication",
              "DNS:broker.example, IP Address:127.0.0.1, IP Address:0:0:0:0:0:0:0:1"]),
            ("chain", "CN = chain", ["TLS Web Client Authentication", "CA:FALSE"]),
            ("shop-0042", "CN = shop-0042", ["TLS Web Client Authentication", "CA:FALSE"]),
        ]
        for name, subject, uses in cases:
            with self.subTest(name):
                pem, key = self.dir / f"{name}.pem", self.dir / f"{name}.key"
                self.assertIn(subject, x509(pem, "-subject"))
                text = x509(pem, "-text")
                for use in uses:
                    self.assertIn(use, text)
                self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
                self.assertEqual(stat.S_IMODE(os.stat(pem).st_mode), 0o644)
                verified = subprocess.run(
                    ["openssl", "verify", "-CAfile", str(self.dir / "chain-ca.pem"), str(pem)],
                    capture_output=True, text=True, timeout=60)
                self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)

    def test_refusals_say_why_and_leave_nothing(self):
        empty = Path(self.tmp.name) / "empty"
        cases = [
            # arguments, folder, exit status, what the message says
            (["ca"], self.dir, 1, "chain-ca.key exists"),
            (["client", "broker"], self.dir, 1, "the name of the CA's or the broker's files"),
            (["client", "chain-ca"], self.dir, 1, "the name of the CA's or the broker's files"),
            (["client", "shop/1"], self.dir, 1, "1 to 64 of A-Z a-z 0-9 . _ -"),
            (["client", "s" * 65], self.dir, 1, "1 to 64 of"),
            (["client"], self.dir, 1, "client needs the ids"),
            (["broker", "a,DNS:evil.example"], self.dir, 1, "not a DNS name or an IP address"),
            (["broker", "-x"], self.dir, 1, "not a DNS name or an IP address"),
            (["broker"], self.dir, 1, "broker needs the names"),
            (["client", "shop-1"], empty, 1, "make the chain's CA first"),
            (["shop"], self.dir, 2, "make ca, broker or client"),
            ([], self.dir, 2, "say what to make"),
        ]
        before = sorted(os.listdir(self.dir))
        for args, folder, status, says in cases:
            with self.subTest(args=args):
                got, _, err = make(folder, *args)
                self.assertEqual(got, status, err)
                self.assertIn(says, err)
        self.assertEqual(sorted(os.listdir(self.dir)), before)
        self.assertFalse(empty.exists())

    def test_a_renewal_keeps_the_key_and_makes_a_new_certificate(self):
        key = (self.dir / "shop-0042.key").read_bytes()
        serial = x509(self.dir / "shop-0042.pem", "-serial")
        status, out, err = make(self.dir, "client", "shop-0042")
        self.assertEqual(status, 0, err)
        self.assertIn("its key kept", out)
        self.assertEqual((self.dir / "shop-0042.key").read_bytes(), key)
        self.assertNotEqual(x509(self.dir / "shop-0042.pem", "-serial"), serial)


if __name__ == "__main__":
    unittest.main(verbosity=2)
