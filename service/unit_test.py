#!/usr/bin/env python3
"""fiskald's systemd unit, its system user, and the administrator's steps
in doc/guide-shop-admin.md that need no service manager, read from the guide:

- the unit alone and with each drop-in the guide shows pass
  `systemd-analyze verify` without a word: a line outside a section, or an
  unknown key, is only a warning there, so any output fails (and a drop-in
  without its [Service] header is shown to be caught);
- service/fiskald.sysusers makes the user and group fiskald
  (systemd-sysusers --root into a scratch folder);
- the guide's systemctl and journalctl lines use verbs and options the
  installed tools list, on the unit's own name;
- the guide's Windows lines use options fiskald's --help lists (the
  options are the same code on both systems) and the service's name;
- the guide's shop CA commands make a certificate that the CA vouches for
  as a TLS server under the name the HTTPS drop-in gives --server-name.

The package step (scripts/package) installs the .deb and runs the guide's
install, token and certificate steps for real, with the owners and modes
of /etc/fiskald and fiskald started as its user.

usage: unit_test.py ROOT FISKALD
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

ROOT, FISKALD = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
sys.path.insert(0, os.path.join(ROOT, "testing"))
from doc_blocks import doc_block  # noqa: E402

UNIT = os.path.join(ROOT, "service", "fiskald.service")
SYSUSERS = os.path.join(ROOT, "service", "fiskald.sysusers")
failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def verify(dropin):
    """systemd-analyze verify's output for the unit with `dropin` (None:
    the unit alone), /usr/bin/fiskald being the built one; "" when clean."""
    with tempfile.TemporaryDirectory() as units:
        def place(text, path):
            with open(path, "w", encoding="utf-8") as f:
                f.write(text.replace("/usr/bin/fiskald", FISKALD))
        with open(UNIT, encoding="utf-8") as f:
            place(f.read(), os.path.join(units, "fiskald.service"))
        if dropin is not None:
            os.mkdir(os.path.join(units, "fiskald.service.d"))
            place(dropin, os.path.join(units, "fiskald.service.d", "override.conf"))
        # The folder first, then the system's (the trailing colon).
        env = dict(os.environ, SYSTEMD_UNIT_PATH=units + ":", SYSTEMD_LOG_COLOR="0")
        r = subprocess.run(["systemd-analyze", "verify", "--man=no",
                            os.path.join(units, "fiskald.service")],
                           env=env, capture_output=True, text=True, timeout=120)
        said = (r.stdout + r.stderr).replace(units, "UNITS").strip()
        if r.returncode != 0 and not said:
            said = f"exit status {r.returncode}"
        return said


def check_unit():
    if shutil.which("systemd-analyze") is None:
        fail("systemd-analyze is missing (Debian's package systemd); scripts/setup installs it")
        return
    said = verify(None)
    if said:
        fail(f"systemd-analyze verify fiskald.service:\n{said}")
    for name, dropin in (("admin-ports-dropin", doc_block("admin-ports-dropin", ROOT)),
                         ("admin-https-dropin", doc_block("admin-https-dropin", ROOT))):
        said = verify(dropin)
        if said:
            fail(f"the guide's drop-in {name}:\n{said}")
        else:
            print(f"ok: the unit with the drop-in {name} verifies")
    # The drop-in the issue met: lines without their section header.
    said = verify("Environment=FISKAL_COM1=/dev/ttyS0\n")
    if "outside of section" not in said:
        fail(f"a drop-in without [Service] was not caught: {said!r}")


def check_sysusers():
    if shutil.which("systemd-sysusers") is None:
        fail("systemd-sysusers is missing (Debian's package systemd)")
        return
    with tempfile.TemporaryDirectory() as root:
        os.mkdir(os.path.join(root, "etc"))
        r = subprocess.run(["systemd-sysusers", "--root", root, SYSUSERS],
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            fail(f"systemd-sysusers {SYSUSERS}: exit status {r.returncode}: {r.stderr}")
            return
        with open(os.path.join(root, "etc", "passwd"), encoding="utf-8") as f:
            users = [line.split(":") for line in f.read().splitlines()]
        with open(os.path.join(root, "etc", "group"), encoding="utf-8") as f:
            groups = [line.split(":") for line in f.read().splitlines()]
    user = [u for u in users if u[0] == "fiskald"]
    group = [g for g in groups if g[0] == "fiskald"]
    if len(user) != 1 or len(group) != 1:
        fail(f"systemd-sysusers made no user and group fiskald: {users} {groups}")
        return
    uid, gid, shell = int(user[0][2]), int(user[0][3]), user[0][6]
    # A system user, in its own group, that cannot log in.
    if not 0 < uid < 1000 or gid != int(group[0][2]) or shell != "/usr/sbin/nologin":
        fail(f"the user fiskald is not a system user of its own group: {user[0]}")
    with open(UNIT, encoding="utf-8") as f:
        unit = f.read()
    for line in ("User=fiskald", "Group=fiskald", "StateDirectory=fiskald"):
        if not re.search(rf"^{line}$", unit, re.M):
            fail(f"fiskald.service lacks {line}")
    if re.search(r"^DynamicUser=", unit, re.M):
        fail("fiskald.service still has DynamicUser=: its user could not read /etc/fiskald")
    print(f"ok: systemd-sysusers makes fiskald (uid {uid}, gid {gid})")


def help_of(tool):
    r = subprocess.run([tool, "--help"], capture_output=True, text=True, timeout=30,
                       env=dict(os.environ, SYSTEMD_PAGER="cat", PAGER="cat"))
    return r.stdout + r.stderr


def listed(option, text):
    """Whether --help's text lists the option (-u, --now, --install-service)."""
    return re.search(r"(^|[\s,\[|])" + re.escape(option) + r"([\s=\[,]|$)", text, re.M) is not None


def check_systemctl_lines():
    unit_name = os.path.basename(UNIT)[: -len(".service")]
    for line in doc_block("admin-systemctl", ROOT).splitlines():
        words = shlex.split(line)
        if words and words[0] == "sudo":
            words = words[1:]
        if not words:
            continue
        tool, rest = words[0], words[1:]
        if tool not in ("systemctl", "journalctl"):
            fail(f"admin-systemctl: {line!r}: not systemctl or journalctl")
            continue
        text = help_of(tool)
        options = [w for w in rest if w.startswith("-")]
        others = [w for w in rest if not w.startswith("-")]
        for option in options:
            if not listed(option, text):
                fail(f"admin-systemctl: {line!r}: {tool} --help does not list {option}")
        if tool == "systemctl":
            verb, names = others[0], others[1:]
            if not re.search(rf"^\s+{re.escape(verb)}\b", text, re.M):
                fail(f"admin-systemctl: {line!r}: systemctl has no command {verb}")
        else:
            names = others
        for name in names:
            if name != unit_name:
                fail(f"admin-systemctl: {line!r}: the unit is {unit_name}, not {name}")
    print("ok: the guide's systemctl and journalctl lines")


def check_windows_lines():
    text = subprocess.run([FISKALD, "--help"], capture_output=True, text=True,
                          timeout=30).stdout
    with open(os.path.join(ROOT, "service", "os", "windows_service.h"), encoding="utf-8") as f:
        service = re.search(r'kServiceName = "([^"]+)"', f.read()).group(1)
    for line in doc_block("admin-windows-service", ROOT).splitlines():
        words = line.split()
        if not words:
            continue
        if words[0] == "fiskald.exe":
            for option in (w.split("=")[0] for w in words[1:] if w.startswith("--")):
                if not listed(option, text):
                    fail(f"admin-windows-service: {line!r}: fiskald --help does not list {option}")
        elif words[:2] == ["sc", "start"] and len(words) == 3:
            if words[2] != service:
                fail(f"admin-windows-service: {line!r}: the service is {service}")
        else:
            fail(f"admin-windows-service: {line!r}: a line this test does not check")
    print("ok: the guide's Windows lines")


def check_shop_ca():
    words = shlex.split(doc_block("admin-https-dropin", ROOT).splitlines()[-1])
    name = words[words.index("--server-name") + 1]
    with tempfile.TemporaryDirectory() as folder:
        r = subprocess.run(["bash", "-euo", "pipefail", "-c", doc_block("admin-tls-shop-ca", ROOT)],
                           cwd=folder, capture_output=True, text=True, timeout=120)
        if r.returncode != 0:
            fail(f"admin-tls-shop-ca: exit status {r.returncode}: {r.stderr}")
            return
        r = subprocess.run(["openssl", "verify", "-CAfile", "shop-ca.pem", "-purpose", "sslserver",
                            "-verify_hostname", name, "cert.pem"],
                           cwd=folder, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            fail(f"admin-tls-shop-ca: cert.pem is not the shop CA's for {name}: "
                 f"{r.stdout}{r.stderr}")
            return
    print(f"ok: the guide's shop CA vouches for cert.pem as {name}")


check_unit()
check_sysusers()
check_shop_ca()
check_systemctl_lines()
check_windows_lines()
if failures:
    sys.exit(f"{len(failures)} failure(s) above")
