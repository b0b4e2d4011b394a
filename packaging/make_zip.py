#!/usr/bin/env python3
"""Writes the release zip with fixed timestamps, order and permissions, so
the same Orbel.exe always gives the same archive, and its SHA-256 sum."""
import hashlib
import sys
import zipfile
from pathlib import Path

FIXED_TIME = (2026, 1, 1, 0, 0, 0)


def main(out, *members):
    out = Path(out)
    with zipfile.ZipFile(out, "w") as archive:
        for member in members:
            path = Path(member)
            info = zipfile.ZipInfo(path.name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            info.create_system = 0
            archive.writestr(info, path.read_bytes(), compresslevel=9)
    digest = hashlib.sha256(out.read_bytes()).hexdigest()
    Path(str(out) + ".sha256").write_text(f"{digest}  {out.name}\n")
    print(f"{out.name}: {out.stat().st_size} bytes, sha256 {digest}")


if __name__ == "__main__":
    main(*sys.argv[1:])
