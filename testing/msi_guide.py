"""fiskald's options as the Windows guide's msiexec lines give them.

The guide (doc/guide-windows.md) shows how to give fiskald.exe HTTPS or the
broker with the MSI's properties. A test that cannot install the MSI for
each of them reads the line from the guide, puts its own values in for the
guide's (each property the line gives must get one, so the guide cannot
give a property the test does not know), and turns the properties into the
options the MSI's service gets, with cmake/msi.py's own mapping.
"""

import os
import shlex
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(_ROOT, "cmake"))

import msi  # noqa: E402


def guide_properties(block):
    """The properties of one of the guide's msiexec lines (the block's text,
    doc_block("NAME")), as written."""
    lines = [line for line in block.splitlines() if line.strip()]
    words = shlex.split(lines[0], posix=False) if len(lines) == 1 else []
    if words[:2] != ["msiexec", "/i"] or "/qn" not in words:
        raise ValueError(f"not one `msiexec /i ... /qn` line: {block!r}")
    properties = {}
    for word in words[2:]:
        if "=" in word:
            prop, _, value = word.partition("=")
            properties[prop] = value.strip('"')
    return properties


def guide_options(block, values):
    """The options of one of the guide's msiexec lines (the block's text)
    with the test's `values`: a dict with a value for every property the
    line gives (None leaves it out)."""
    properties = guide_properties(block)
    if set(properties) != set(values):
        raise ValueError(f"the guide's line gives {sorted(properties)}, the test knows "
                         f"{sorted(values)}: {block!r}")
    return msi.fiskald_options({k: v for k, v in values.items() if v is not None})
