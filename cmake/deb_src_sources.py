#!/usr/bin/env python3
"""The machine's own apt sources of a Debian suite, as deb-src entries.

The Windows build fetches Debian's source packages through an apt
configuration of its own. Its entries are the machine's: every `deb` entry
of /etc/apt/sources.list and /etc/apt/sources.list.d/ (one-line `.list`
files and deb822 `.sources` files) whose suite is SUITE, SUITE-updates or
SUITE-security, with its type made `deb-src` and everything else (the
mirror or proxy, the components, the keyring) kept. So whatever mirror a
machine uses is used, and the project names none. Entries of other suites
(third parties' repositories) are left out: they may have no sources.

    deb_src_sources.py SUITE OUT_FOLDER [APT_ETC]

writes OUT_FOLDER/sources.list and OUT_FOLDER/sources.list.d/machine.sources
and fails (status 1, saying where it looked) when no entry was found.
"""

import sys
from pathlib import Path


def _ours(suite, suites):
    return any(s in (suite, suite + "-updates", suite + "-security") for s in suites)


def one_line_entries(text, suite):
    """deb-src lines for the `deb` lines of a .list file."""
    out = []
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if not words or words[0] != "deb":
            continue
        rest = words[1:]
        options = []
        while rest and rest[0].startswith("["):
            options.append(rest.pop(0))
            if options[-1].endswith("]"):
                break
        while options and not options[-1].endswith("]") and rest:
            options.append(rest.pop(0))
        if len(rest) >= 2 and _ours(suite, [rest[1]]):
            out.append(" ".join(["deb-src"] + options + rest))
    return out


def deb822_entries(text, suite):
    """deb822 stanzas (of a .sources file) with deb-src for their type."""
    out = []
    for stanza in text.replace("\r\n", "\n").split("\n\n"):
        fields, order = {}, []
        key = None
        for line in stanza.split("\n"):
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if line[0] in " \t" and key:
                fields[key] += "\n" + line
                continue
            key, _, value = line.partition(":")
            key = key.strip()
            fields[key] = value.strip()
            order.append(key)
        lower = {k.lower(): k for k in fields}
        types = fields.get(lower.get("types", ""), "").split()
        suites = fields.get(lower.get("suites", ""), "").split()
        enabled = fields.get(lower.get("enabled", ""), "yes").strip().lower() != "no"
        if "deb" not in types or not enabled or not _ours(suite, suites):
            continue
        fields[lower["types"]] = "deb-src"
        out.append("\n".join(f"{k}: {fields[k]}" for k in order))
    return out


def machine_entries(suite, etc):
    """(one-line entries, deb822 stanzas) of the apt configuration in `etc`."""
    lines, stanzas = [], []
    files = [etc / "sources.list"] + sorted((etc / "sources.list.d").glob("*"))
    for f in files:
        if not f.is_file():
            continue
        if f.suffix == ".list" or f.name == "sources.list":
            lines += one_line_entries(f.read_text(errors="replace"), suite)
        elif f.suffix == ".sources":
            stanzas += deb822_entries(f.read_text(errors="replace"), suite)
    return lines, stanzas


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    suite, out = argv[1], Path(argv[2])
    etc = Path(argv[3]) if len(argv) == 4 else Path("/etc/apt")
    lines, stanzas = machine_entries(suite, etc)
    if not lines and not stanzas:
        print(f"{etc}/sources.list and {etc}/sources.list.d/ hold no deb entry of {suite}, "
              f"{suite}-updates or {suite}-security: add the machine's Debian mirror there "
              "(apt-get uses it too)", file=sys.stderr)
        return 1
    (out / "sources.list.d").mkdir(parents=True, exist_ok=True)
    (out / "sources.list").write_text("".join(line + "\n" for line in lines))
    (out / "sources.list.d" / "machine.sources").write_text(
        "".join(stanza + "\n\n" for stanza in stanzas))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
