#!/usr/bin/env python3
"""Builds Orbel's MSI with wixl (msitools) from orbel.wxs, the same bytes from
the same inputs, signs it when given a certificate, and writes its SHA-256
sum beside it:

    make_msi.py OUT.msi --wxs orbel.wxs --version 1.5.0 --exe Orbel.exe
                --setup-dll orbel_setup.dll --icon orbel.ico --source-date UNIX_SECONDS
                [--cert CERT.pem --key KEY.pem [--timestamp-url URL]]

The setup DLL goes into the package as given: the build signs it first when
the release is signed (signing.py), since Windows judges the DLL that
Windows Installer loads from the package on its own.

What wixl would otherwise take from the moment or from chance:
  - the summary information's creation and save times: the clock, so wixl
    runs under faketime with the clock standing still at the source date;
  - the package code: random, so it is set afterwards (msibuild) to a UUID
    derived from everything that goes into the package;
  - the cabinet's file times: the files' own, so the inputs are staged with
    the source date as their time;
  - the product code: the wxs takes it from here, derived from the version,
    so that each version is one product and a newer one a major upgrade."""
import argparse
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

from signing import sign_or_copy

# Orbel's own UUID namespace for the codes derived here. Never change it: the
# product code of every released version depends on it.
ORBEL_NAMESPACE = uuid.UUID("72A5F7A8-AE79-4F4F-90A2-371582ADF9FC")
SUMMARY_NAME = "Orbel"
SUMMARY_AUTHOR = "Dremmholt"
SUMMARY_TEMPLATE = "x64;1033"
# The file names orbel.wxs refers to.
STAGED_NAMES = {"exe": "Orbel.exe", "setup_dll": "orbel_setup.dll", "icon": "orbel.ico"}


def product_code(version):
    return "{%s}" % str(uuid.uuid5(ORBEL_NAMESPACE, "Orbel product " + version)).upper()


def package_code(version, inputs):
    digest = hashlib.sha256(version.encode())
    for path in inputs:
        digest.update(Path(path).read_bytes())
    return "{%s}" % str(uuid.uuid5(ORBEL_NAMESPACE, "Orbel package " + digest.hexdigest())).upper()


def run(command, cwd=None, env=None):
    result = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)
    # wixl reports an element it cannot handle as a GLib warning or critical
    # message and still writes a package without it.
    if result.returncode != 0 or "CRITICAL" in result.stderr or "WARNING" in result.stderr:
        sys.exit(f"{command[0]} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--wxs", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--setup-dll", required=True)
    parser.add_argument("--icon", required=True)
    parser.add_argument("--source-date", required=True, type=int)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--timestamp-url")
    args = parser.parse_args()

    out = Path(args.out).resolve()
    inputs = [args.wxs, args.exe, args.setup_dll, args.icon]
    with tempfile.TemporaryDirectory(prefix="orbel-msi.") as staging:
        staging = Path(staging)
        wxs = staging / "orbel.wxs"
        shutil.copyfile(args.wxs, wxs)
        for option, name in STAGED_NAMES.items():
            staged = staging / name
            shutil.copyfile(getattr(args, option), staged)
            os.utime(staged, (args.source_date, args.source_date))
        unsigned = staging / "unsigned.msi"
        # faketime's "absolute" format: the clock stands still there. Its
        # "@" format would start the clock there and let it run.
        frozen = datetime.datetime.fromtimestamp(args.source_date, datetime.timezone.utc)
        env = dict(os.environ, TZ="UTC")
        run(["faketime", "-f", frozen.strftime("%Y-%m-%d %H:%M:%S"), "wixl", "--arch", "x64",
             "-D", f"Version={args.version}", "-D", f"ProductCode={product_code(args.version)}",
             "-o", str(unsigned), str(wxs)], cwd=staging, env=env)
        run(["msibuild", str(unsigned), "-s", SUMMARY_NAME, SUMMARY_AUTHOR, SUMMARY_TEMPLATE,
             package_code(args.version, inputs)])
        sign_or_copy(unsigned, out, args.cert, args.key, args.source_date, args.timestamp_url)

    digest = hashlib.sha256(out.read_bytes()).hexdigest()
    Path(str(out) + ".sha256").write_text(f"{digest}  {out.name}\n")
    print(f"{out.name}: {out.stat().st_size} bytes, sha256 {digest}")


if __name__ == "__main__":
    main()
