#!/usr/bin/env python3
"""The entitlements every deliverable is signed with: the host application's.

With no argument, checks packaging/macos/entitlements.plist itself. With
--signed FILE..., also reads each file's signature back (codesign, on a Mac)
and checks that it carries exactly those entitlements.
"""
import argparse
import plistlib
import subprocess
import sys
from pathlib import Path

PLIST = Path(__file__).with_name("entitlements.plist")
EXPECTED = {
    "com.apple.security.cs.allow-jit": True,
    "com.apple.security.device.audio-input": True,
    "com.apple.security.device.camera": True,
}
# Library validation stays on: the host loads only code signed by its team.
FORBIDDEN = "com.apple.security.cs.disable-library-validation"


def problems(entitlements, source):
    found = []
    if not isinstance(entitlements, dict):
        return [f"{source}: not a dictionary of entitlements"]
    if FORBIDDEN in entitlements:
        found.append(f"{source}: holds {FORBIDDEN}")
    for key, value in sorted(entitlements.items()):
        if key not in EXPECTED and key != FORBIDDEN:
            found.append(f"{source}: unexpected entitlement {key}")
        elif key in EXPECTED and value is not True:
            found.append(f"{source}: {key} is {value!r}, not true")
    for key in sorted(set(EXPECTED) - set(entitlements)):
        found.append(f"{source}: lacks {key}")
    return found


def signed_entitlements(path):
    out = subprocess.run(["codesign", "-d", "--entitlements", "-", "--xml", str(path)],
                         check=True, capture_output=True).stdout
    return plistlib.loads(out) if out.strip() else {}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--signed", nargs="*", default=[], metavar="FILE")
    args = parser.parse_args()
    try:
        with PLIST.open("rb") as f:
            found = problems(plistlib.load(f), PLIST.name)
    except (OSError, plistlib.InvalidFileException, ValueError) as e:
        found = [f"{PLIST.name}: {e}"]
    for path in args.signed:
        try:
            found += problems(signed_entitlements(path), path)
        except (subprocess.CalledProcessError, plistlib.InvalidFileException, ValueError) as e:
            found.append(f"{path}: cannot read its entitlements: {e}")
    for line in found:
        print(f"entitlements: {line}")
    if not found:
        print(f"entitlements: {PLIST.name} and {len(args.signed)} signed file(s) as expected")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
