#!/usr/bin/env python3
"""Tests cmake/msi.py without building an MSI (scripts/package builds it
twice and compares, scripts/windows installs it under Wine): the numeric
version, where the actions run, the options' fragment, and that the
properties are the ones doc/guide-windows.md lists and fiskald knows."""

import re
import sys
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import msi  # noqa: E402

WIX = "{http://schemas.microsoft.com/wix/2006/wi}"


class Version(unittest.TestCase):
    def test_numeric_version(self):
        for version, numeric in [("0.6", "0.6.0"), ("0.6a", "0.6.1"), ("0.6b", "0.6.2"),
                                 ("0.6z", "0.6.26"), ("0.6.1", "0.6.27"), ("0.6.1a", "0.6.28"),
                                 ("1.0", "1.0.0"), ("255.255", "255.255.0")]:
            with self.subTest(version):
                self.assertEqual(msi.msi_version(version), numeric)

    def test_a_later_version_is_a_higher_number(self):
        order = ["0.5", "0.5a", "0.5z", "0.5.1", "0.6", "0.6a", "0.6b", "0.6.2", "0.7", "1.0"]
        numbers = [tuple(map(int, msi.msi_version(v).split("."))) for v in order]
        self.assertEqual(numbers, sorted(numbers))
        self.assertEqual(len(set(numbers)), len(numbers))

    def test_refused(self):
        for version in ["0.6A", "0.6ab", "v0.6", "0", "256.0", "0.256", "0.6.2428", "0.6-rc1", ""]:
            with self.subTest(version):
                with self.assertRaises(ValueError):
                    msi.msi_version(version)

    def test_the_projects_version_maps(self):
        self.assertRegex(msi.msi_version(msi.fiskal_version()), r"^\d+\.\d+\.\d+$")
        self.assertEqual(msi.later("0.6.1"), "0.6.2")


class Sequences(unittest.TestCase):
    # The standard actions each kind must run between (wixl's numbers).
    SLOTS = {"Keep_": (0, 25), "Restore_": (50, 100), "Option_": (5000, 5800)}

    def test_each_action_between_its_neighbours(self):
        for table, actions in msi.sequences().items():
            self.assertEqual(len(set(actions.values())), len(actions), table)
            for action, number in actions.items():
                if action == "RemoveExistingProducts":
                    self.assertTrue(1400 < number < 1500, number)
                    continue
                low, high = self.SLOTS[action[:action.index("_") + 1]]
                with self.subTest(table=table, action=action):
                    self.assertTrue(low < number < high, number)

    def test_options_gathered_in_order(self):
        execute = msi.sequences()["InstallExecuteSequence"]
        numbers = [execute[f"Option_{p}"] for p, _, _ in msi.OPTIONS]
        self.assertEqual(numbers, sorted(numbers))
        self.assertNotIn("Option_LISTEN", msi.sequences()["InstallUISequence"])


class OptionsFragment(unittest.TestCase):
    def setUp(self):
        self.root = ET.fromstring(msi.options_fragment("0.6.1"))

    def test_each_property_remembered_and_given_when_set(self):
        values = {a.get("Id"): a.get("Value") for a in self.root.iter(WIX + "CustomAction")}
        remembered = {r.get("Name") for r in self.root.iter(WIX + "RegistryValue")}
        for prop, option, form in msi.OPTIONS:
            with self.subTest(prop):
                self.assertEqual(values[f"Keep_{prop}"], f"[{prop}]")
                self.assertEqual(values[f"Restore_{prop}"], f"[Given_{prop}]")
                given = form.format(f"[{prop}]")
                self.assertEqual(values[f"Option_{prop}"], f'[{msi.ARGS}] {option} "{given}"')
                self.assertIn(prop, remembered)
        conditions = {c.get("Action"): c.text for c in self.root.iter(WIX + "Custom")}
        self.assertEqual(conditions["Option_HOLD_MINUTES"], "HOLD_MINUTES")
        self.assertEqual(conditions["Restore_HOLD_MINUTES"], "Given_HOLD_MINUTES")

    def test_ports_one_property_each(self):
        ports = [(p, form) for p, option, form in msi.OPTIONS if option == "--port"]
        self.assertEqual(ports, [(f"PORT{n}", f"{n}={{}}") for n in range(1, 10)])


class Agreement(unittest.TestCase):
    def test_the_guide_lists_every_property_and_its_option(self):
        guide = (HERE.parent / "doc" / "guide-windows.md").read_text(encoding="utf-8")
        rows = dict(re.findall(r"^\| `([A-Z_0-9]+)`(?: \.\.\. `PORT9`)? \| `(--[a-z-]+)", guide, re.M))
        listed = {p: o for p, o, _ in msi.OPTIONS if not p.startswith("PORT")}
        listed["PORT1"] = "--port"
        self.assertEqual(rows, listed)

    def test_fiskald_knows_every_option(self):
        options = (HERE.parent / "service" / "options.cc").read_text(encoding="utf-8")
        for _, option, _ in msi.OPTIONS:
            with self.subTest(option):
                self.assertIn(f'"{option}"', options)

    def test_the_service_texts_are_fiskalds(self):
        texts = msi.service_texts()
        self.assertEqual(texts["kServiceName"], "fiskald")
        self.assertTrue(texts["kServiceDescription"].endswith("fiscal printer."))

    def test_the_guides_lines_give_the_options_the_service_gets(self):
        # The lines the tests turn into fiskald.exe's options
        # (testing/msi_guide.py) give what the MSI's actions would: in
        # OPTIONS' order, empty ones left out, an unknown property refused.
        sys.path.insert(0, str(HERE.parent / "testing"))
        import msi_guide
        from doc_blocks import doc_block
        cases = [
            ({"HOLD_MINUTES": "5", "LISTEN": "0.0.0.0:8443", "PORT3": r"\\.\COM3"},
             ["--listen", "0.0.0.0:8443", "--port", r"3=\\.\COM3", "--hold-minutes", "5"]),
            ({"LISTEN": "", "SHOP": "S1"}, ["--shop", "S1"]),
            ({}, []),
        ]
        for properties, options in cases:
            with self.subTest(properties):
                self.assertEqual(msi.fiskald_options(properties), options)
        with self.assertRaises(ValueError):
            msi.fiskald_options({"TLS_CRT": "cert.pem"})
        for name in ("windows-msi-install", "windows-msi-https", "windows-msi-broker"):
            with self.subTest(name):
                given = msi_guide.guide_properties(doc_block(name))
                self.assertTrue(given)
                self.assertEqual(len(msi.fiskald_options(given)), 2 * len(given))
        with self.assertRaises(ValueError):
            msi_guide.guide_options(doc_block("windows-msi-https"), {"LISTEN": None})


if __name__ == "__main__":
    unittest.main()
