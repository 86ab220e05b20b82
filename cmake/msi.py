#!/usr/bin/env python3
"""Builds fiskal's MSI from a Windows build tree (scripts/windows --build),
with wixl: the one way it is made, for scripts/package and scripts/windows.
The MSI's numeric version is decided here only (msi_version), and so are its
codes and the properties that give fiskald's options (OPTIONS); the rest is
cmake/windows/fiskal.wxs.

usage: msi.py BUILD_DIR OUT_DIR [--newer]
  Prints the path of OUT_DIR/fiskal-<FISKAL_VERSION>-x86_64.msi. --newer:
  the same files as a later version (the third number one higher), named
  fiskal-<FISKAL_VERSION>-newer-x86_64.msi, for the upgrade test.

The MSI holds what the zip holds (`cmake --install BUILD_DIR --strip`), in
Program Files\\fiskal. Built twice from one tree, it is the same byte for
byte: every file dated SOURCE_DATE_EPOCH (else the last commit's time; the
programs' headers too, as strip writes them), wixl run at that time
(faketime: wixl 0.101 writes the clock's time into the summary), the
package code set from the contents (wixl 0.101 draws one at random), the
product code from the version, the component codes from the files' paths.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import uuid
from datetime import datetime, timezone
from pathlib import Path
from xml.sax.saxutils import quoteattr

ROOT = Path(__file__).resolve().parent.parent
WXS = ROOT / "cmake" / "windows" / "fiskal.wxs"
# The namespace of every code derived here (product, package, components).
NAMESPACE = uuid.UUID("2f6b9a1e-7c4d-4e58-b3a0-8d1e5c9f2a47")
# Where the options given at install time are remembered for an upgrade.
REMEMBERED = r"SOFTWARE\fiskal\fiskald"

# The MSI's public properties, each giving one of fiskald's options when it
# is not empty, in this order: (property, option, value's form). A port is
# one property per port number, as fiskald's --port N=DEVICE is one port.
OPTIONS = [("LISTEN", "--listen", "{}")] + [
    (f"PORT{n}", "--port", f"{n}={{}}") for n in range(1, 10)] + [
    ("TOKEN_FILE", "--token-file", "{}"),
    ("TLS_CERT", "--tls-cert", "{}"),
    ("TLS_KEY", "--tls-key", "{}"),
    ("SERVER_NAME", "--server-name", "{}"),
    ("ALLOW_ORIGIN", "--allow-origin", "{}"),
    ("BROKER", "--broker", "{}"),
    ("SHOP", "--shop", "{}"),
    ("BROKER_CA", "--broker-ca", "{}"),
    ("BROKER_CERT", "--broker-cert", "{}"),
    ("BROKER_KEY", "--broker-key", "{}"),
    ("BROKER_USER", "--broker-user", "{}"),
    ("BROKER_PASSWORD_FILE", "--broker-password-file", "{}"),
    ("HOLD_MINUTES", "--hold-minutes", "{}"),
]
# The private property the options are gathered in, for ServiceInstall.
ARGS = "FiskaldArguments"


def fiskald_options(properties):
    """The options the service is given for `properties` (a dict of the MSI's
    properties as msiexec takes them): each non-empty one in OPTIONS' order.
    The tests turn the guide's msiexec lines into fiskald.exe's options with
    it, as the MSI's actions do."""
    unknown = sorted(set(properties) - {prop for prop, _, _ in OPTIONS})
    if unknown:
        raise ValueError(f"not a property of the MSI: {', '.join(unknown)}")
    options = []
    for prop, option, form in OPTIONS:
        if properties.get(prop):
            options += [option, form.format(properties[prop])]
    return options


def fail(message):
    sys.exit(f"msi.py: {message}")


def fiskal_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    m = re.search(r"^set\(FISKAL_VERSION (\S+)\)$", text, re.M)
    if not m:
        fail("no set(FISKAL_VERSION ...) line in CMakeLists.txt")
    return m.group(1)


def msi_version(version):
    """FISKAL_VERSION as Windows Installer's major.minor.build: X.Y[.Z][letter]
    gives X.Y.(27 Z + the letter's place, a = 1, none = 0), so 0.6 -> 0.6.0,
    0.6a -> 0.6.1, 0.6b -> 0.6.2, 0.6.1 -> 0.6.27. Later versions give
    higher numbers; Windows Installer compares these three only."""
    m = re.fullmatch(r"(\d+)\.(\d+)(?:\.(\d+))?([a-z]?)", version)
    if not m:
        raise ValueError(f"version {version!r}: not X.Y, X.Y.Z or either with a letter a-z")
    major, minor, patch = int(m.group(1)), int(m.group(2)), int(m.group(3) or 0)
    build = 27 * patch + (ord(m.group(4)) - ord("a") + 1 if m.group(4) else 0)
    if major > 255 or minor > 255 or build > 65535:
        raise ValueError(f"version {version!r}: Windows Installer allows 255.255.65535 at most "
                         f"(it would be {major}.{minor}.{build})")
    return f"{major}.{minor}.{build}"


def later(numeric):
    major, minor, build = numeric.split(".")
    return f"{major}.{minor}.{int(build) + 1}"


def service_texts():
    """The service's name, display name and description, from
    service/os/windows_service.h, as fiskald.exe --install-service gives them."""
    header = (ROOT / "service" / "os" / "windows_service.h").read_text(encoding="utf-8")
    texts = {}
    for name in ("kServiceName", "kServiceDisplayName", "kServiceDescription"):
        m = re.search(name + r"\s*=\s*((?:\s*\"[^\"]*\")+)\s*;", header)
        if not m:
            fail(f"no {name} in service/os/windows_service.h")
        texts[name] = "".join(re.findall(r"\"([^\"]*)\"", m.group(1)))
    return texts


def identifier(prefix, path):
    """An MSI identifier for a path: letters, digits, _ and ., at most 72."""
    name = prefix + re.sub(r"[^A-Za-z0-9_.]", "_", path)
    if len(name) > 72:
        name = name[:55] + "_" + hashlib.sha256(path.encode()).hexdigest()[:16]
    return name


def code(kind, text):
    return str(uuid.uuid5(NAMESPACE, f"{kind} {text}"))


def files_fragment(stage):
    """Every installed file but fiskald.exe (the service's own component
    in fiskal.wxs), each its own component, folders as they are."""
    lines = ['<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>',
             '<DirectoryRef Id="INSTALLFOLDER">']
    refs = []

    def walk(folder, relative):
        for entry in sorted(folder.iterdir(), key=lambda p: p.name):
            rel = f"{relative}/{entry.name}" if relative else entry.name
            if entry.is_dir():
                lines.append(f'<Directory Id="{identifier("d_", rel)}" Name={quoteattr(entry.name)}>')
                walk(entry, rel)
                lines.append("</Directory>")
            elif rel != "fiskald.exe":
                component = identifier("c_", rel)
                refs.append(component)
                lines.append(f'<Component Id="{component}" Guid="{code("file", rel)}" Win64="yes">'
                             f'<File Id="{identifier("f_", rel)}" Name={quoteattr(entry.name)} '
                             f'Source={quoteattr(str(entry.relative_to(stage.parent)))} KeyPath="yes"/></Component>')

    walk(stage, "")
    lines.append("</DirectoryRef>")
    lines.append('<ComponentGroup Id="Files">')
    lines += [f'<ComponentRef Id="{r}"/>' for r in refs]
    lines.append("</ComponentGroup></Fragment></Wix>")
    return "\n".join(lines) + "\n"


def options_fragment(version):
    """The properties of fiskald's options: each remembered in the registry
    (HKLM\\SOFTWARE\\fiskal\\fiskald) and read back at the next install or
    upgrade when it is not given on the command line (a value given wins
    over the remembered one), and each, when not empty, added to the
    service's command line."""
    lines = ['<Include xmlns="http://schemas.microsoft.com/wix/2006/wi">']
    for prop, option, form in OPTIONS:
        lines.append(f'<Property Id="{prop}"><RegistrySearch Id="Remembered_{prop}" Root="HKLM" '
                     f'Key="{REMEMBERED}" Name="{prop}" Type="raw" Win64="yes"/></Property>')
        lines.append(f'<CustomAction Id="Keep_{prop}" Property="Given_{prop}" Value="[{prop}]"/>')
        lines.append(f'<CustomAction Id="Restore_{prop}" Property="{prop}" Value="[Given_{prop}]"/>')
        value = form.format(f"[{prop}]")
        lines.append(f'<CustomAction Id="Option_{prop}" Property="{ARGS}" '
                     f'Value={quoteattr(f"[{ARGS}] {option} " + chr(34) + value + chr(34))}/>')
    # Where each runs is set by sequence_fixes: wixl 0.101 places them
    # elsewhere, whatever Before, After or Sequence says.
    for table, actions in (("InstallUISequence", ("Keep", "Restore")),
                           ("InstallExecuteSequence", ("Keep", "Restore", "Option"))):
        lines.append(f"<{table}>")
        for prop, _, _ in OPTIONS:
            for action in actions:
                condition = f"Given_{prop}" if action == "Restore" else prop
                lines.append(f'<Custom Action="{action}_{prop}" After="CostFinalize">'
                             f'{condition}</Custom>')
        lines.append(f"</{table}>")
    lines.append('<DirectoryRef Id="INSTALLFOLDER">')
    lines.append(f'<Component Id="Options" Guid="{code("component", "options")}" Win64="yes">')
    lines.append(f'<RegistryValue Root="HKLM" Key="{REMEMBERED}" Name="Version" '
                 f'Value="{version}" Type="string" KeyPath="yes"/>')
    for prop, _, _ in OPTIONS:
        lines.append(f'<RegistryValue Root="HKLM" Key="{REMEMBERED}" Name="{prop}" '
                     f'Value="[{prop}]" Type="string"/>')
    lines.append("</Component></DirectoryRef>")
    lines.append("</Include>")
    return "\n".join(lines) + "\n"


# Where the actions run, in both sequences: each option kept (Keep_) before
# AppSearch reads the remembered ones and given back (Restore_) right after
# it; the options gathered (Option_, in OPTIONS' order) after the registry is
# written and before InstallServices writes the service's command line. An
# older fiskal is removed right after InstallValidate, before anything of
# this one is installed (its service stopped and removed first).
def sequences():
    both = {}
    for i, (prop, _, _) in enumerate(OPTIONS):
        both[f"Keep_{prop}"] = 1 + i        # FindRelatedProducts is 25
        both[f"Restore_{prop}"] = 51 + i    # AppSearch is 50, LaunchConditions 100
    execute = dict(both)
    for i, (prop, _, _) in enumerate(OPTIONS):
        execute[f"Option_{prop}"] = 5001 + i  # WriteRegistryValues 5000, InstallServices 5800
    execute["RemoveExistingProducts"] = 1401  # InstallValidate 1400, InstallInitialize 1500
    return {"InstallUISequence": both, "InstallExecuteSequence": execute}


def sequence_fixes():
    """msibuild's SQL: the sequences above, and every option's property
    secure (passed from the installer's interface to its service)."""
    names = ";".join(p for p, _, _ in OPTIONS)
    queries = [f"UPDATE Property SET Value='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;{names}' "
               "WHERE Property='SecureCustomProperties'"]
    for table, actions in sequences().items():
        for action, number in actions.items():
            queries.append(f"UPDATE {table} SET Sequence={number} WHERE Action='{action}'")
    return queries


def check_sequences(msi):
    """The built MSI runs the actions as sequences() says."""
    for table, actions in sequences().items():
        rows = run(["msiinfo", "export", str(msi), table], f"msiinfo export {table}").splitlines()
        found = {r.split("\t")[0]: int(r.split("\t")[2]) for r in rows[3:] if r.count("\t") == 2}
        for action, number in actions.items():
            if found.get(action) != number:
                fail(f"{msi.name}: {table} runs {action} at {found.get(action)}, not {number}")
        if len(set(found.values())) != len(found):
            fail(f"{msi.name}: two actions of {table} share a sequence number")


def source_date_epoch():
    given = os.environ.get("SOURCE_DATE_EPOCH")
    if given:
        return int(given)
    run = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%ct"],
                         capture_output=True, text=True)
    if run.returncode != 0 or not run.stdout.strip().isdigit():
        fail("no SOURCE_DATE_EPOCH and no git commit to take the time from; set SOURCE_DATE_EPOCH")
    return int(run.stdout.strip())


def run(command, what, **kw):
    done = subprocess.run(command, capture_output=True, text=True, **kw)
    said = (done.stdout + done.stderr).strip()
    # wixl only warns of an attribute or element it does not know, and leaves
    # it out: a warning is a failure here.
    if done.returncode != 0 or "WARNING" in said or "CRITICAL" in said:
        fail(f"{what} failed (exit status {done.returncode}):\n{said}")
    return done.stdout


def build(build_dir, out_dir, newer):
    for tool, package in (("wixl", "wixl"), ("msibuild", "msitools"), ("faketime", "faketime")):
        if shutil.which(tool) is None:
            fail(f"{tool} is missing: install {package} (scripts/setup --package does)")
    version = fiskal_version()
    epoch = source_date_epoch()
    numeric = msi_version(version)
    if newer:
        numeric = later(numeric)
    name = f"fiskal-{version}{'-newer' if newer else ''}-x86_64.msi"
    texts = service_texts()
    out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        stage = work / "stage"
        # (strip dates the programs' headers SOURCE_DATE_EPOCH, else now.)
        run(["cmake", "--install", str(build_dir), "--prefix", str(stage), "--strip"],
            f"cmake --install {build_dir}", env=dict(os.environ, SOURCE_DATE_EPOCH=str(epoch)))
        for p in ("fiskal.exe", "fiskal-printer.exe", "fiskald.exe"):
            if not (stage / p).is_file():
                fail(f"{build_dir} installs no {p}: is it a Windows build with fiskald?")
        digest = hashlib.sha256(f"{numeric}\n".encode())
        digest.update(WXS.read_bytes())
        for path in sorted(stage.rglob("*")):
            os.utime(path, (epoch, epoch))
            if path.is_file():
                digest.update(str(path.relative_to(stage)).encode() + b"\0" + path.read_bytes())
        os.utime(stage, (epoch, epoch))
        (work / "files.wxs").write_text(files_fragment(stage), encoding="utf-8")
        (work / "options.wxi").write_text(options_fragment(numeric), encoding="utf-8")
        msi = work / name
        defines = {"Version": numeric, "ProductCode": code("product", numeric),
                   "ServiceName": texts["kServiceName"],
                   "ServiceDisplayName": texts["kServiceDisplayName"],
                   "ServiceDescription": texts["kServiceDescription"],
                   "Stage": stage.name, "FiskaldArgs": ARGS}
        at = datetime.fromtimestamp(epoch, timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
        frozen = ["faketime", "-f", at]
        env = dict(os.environ, TZ="UTC")
        run(frozen + ["wixl", "-a", "x64", "-I", str(work), "-o", str(msi)]
            + [a for k, v in defines.items() for a in ("-D", f"{k}={v}")]
            + [str(WXS), str(work / "files.wxs")], "wixl", env=env, cwd=work)
        package_code = "{" + code("package", digest.hexdigest()).upper() + "}"
        fixes = [a for q in sequence_fixes() for a in ("-q", q)]
        # (-s last: msibuild takes nothing after its values.)
        summary = ["-s", "fiskal", "fiskal maintainers", "x64;1033", package_code]
        run(frozen + ["msibuild", str(msi)] + fixes + summary,
            "msibuild (the package code, the sequences)", env=env)
        check_sequences(msi)
        shutil.copyfile(msi, out_dir / name)
    return out_dir / name


def main(argv):
    args = [a for a in argv if a != "--newer"]
    if len(args) != 2 or any(a.startswith("-") for a in args):
        sys.exit(__doc__.split("\n\n")[1])
    print(build(Path(args[0]).resolve(), Path(args[1]).resolve(), "--newer" in argv))


if __name__ == "__main__":
    main(sys.argv[1:])
