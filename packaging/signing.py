#!/usr/bin/env python3
"""Authenticode signing of what the release ships, or a plain copy when the
build has no certificate:

    signing.py SOURCE DEST [CERT KEY SIGNING_TIME [TIMESTAMP_URL]]

CERT and KEY are PEM files; SIGNING_TIME (Unix seconds) is written into the
signature instead of the clock's time, so that the same sources and the same
key always give the same signed bytes (an RSA signature has no randomness).

With TIMESTAMP_URL, an RFC 3161 timestamp authority at that URL countersigns
each signature with its own time, so the signature stays valid after the
certificate expires. That time is the authority's, so such files differ from
build to build."""
import shutil
import subprocess
import sys
from pathlib import Path

DESCRIPTION = "Orbel"
INFO_URL = "https://dremmholt.no"


def sign_or_copy(source, dest, cert=None, key=None, signing_time=None, timestamp_url=None):
    dest = Path(dest)
    dest.parent.mkdir(parents=True, exist_ok=True)
    dest.unlink(missing_ok=True)
    if not cert:
        shutil.copyfile(source, dest)
        return
    subprocess.run(
        ["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-h", "sha256",
         "-n", DESCRIPTION, "-i", INFO_URL, "-time", str(signing_time)]
        + (["-ts", timestamp_url] if timestamp_url else [])
        + ["-in", str(source), "-out", str(dest)],
        check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    sign_or_copy(*sys.argv[1:])
