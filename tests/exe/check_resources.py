#!/usr/bin/env python3
"""Checks the resources linked into Orbel.exe with wrestool (icoutils):
icon group 1 with four 8-bit RGBA PNG images of 16, 32, 48 and 256 px in
language 1033, the version block (of the project's version, MAJOR.MINOR.PATCH)
and the manifest.

    check_resources.py ORBEL_EXE VERSION"""
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path


def wrestool(*args):
    return subprocess.run(["wrestool", *args], check=True, capture_output=True).stdout


def main(exe, version_text):
    failures = []
    major, minor, patch = (int(part) for part in version_text.split("."))

    def expect(condition, message):
        if not condition:
            failures.append(message)

    listing = wrestool("-l", exe).decode()
    entries = re.findall(r"--type=(\d+) --name=(\d+) --language=(\d+)", listing)
    expect(("14", "1", "1033") in entries, "icon group 1 in language 1033")
    icons = sorted(int(n) for t, n, lang in entries if t == "3" and lang == "1033")
    expect(icons == [1, 2, 3, 4], f"four icon images 1..4, found {icons}")
    expect(("16", "1", "1033") in entries, "version resource 1 in language 1033")
    expect(("24", "1", "1033") in entries, "manifest 1 in language 1033")

    # The group's directory names the four images and their sizes.
    group = wrestool("-x", "--raw", "-t14", "-n1", exe)
    _, kind, count = struct.unpack_from("<HHH", group)
    expect(kind == 1 and count == 4, f"group holds 4 icons (kind {kind}, count {count})")
    sizes = []
    for i in range(count):
        w, h, _, _, planes, bits, _, ident = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        sizes.append((w or 256, h or 256, ident))
    expect(sorted(s[:2] for s in sizes) == [(16, 16), (32, 32), (48, 48), (256, 256)], f"group sizes {sizes}")

    # Each image is a PNG, 8-bit RGBA, of the size its directory entry says.
    for w, h, ident in sizes:
        png = wrestool("-x", "--raw", "-t3", f"-n{ident}", exe)
        expect(png[:8] == b"\x89PNG\r\n\x1a\n", f"image {ident} is a PNG")
        width, height, depth, colour = struct.unpack_from(">IIBB", png, 16)
        expect((width, height) == (w, h), f"image {ident} is {width}x{height}, directory says {w}x{h}")
        expect((depth, colour) == (8, 6), f"image {ident} is 8-bit RGBA (depth {depth}, colour type {colour})")

    version = wrestool("-x", "--raw", "-t16", "-n1", exe)
    # VS_FIXEDFILEINFO follows the "VS_VERSION_INFO" key, aligned to 4 bytes.
    fixed = version.index(struct.pack("<I", 0xFEEF04BD))
    (sig, _, fv_ms, fv_ls, pv_ms, pv_ls, _, _, file_os, file_type) = struct.unpack_from("<10I", version, fixed)
    packed = ((major << 16) | minor, patch << 16)
    expect((fv_ms, fv_ls, pv_ms, pv_ls) == packed * 2, f"file and product version {version_text}.0")
    expect(file_os == 0x40004, f"file OS Windows NT 32-bit (0x{file_os:x})")
    expect(file_type == 1, "file type application")
    text = version.decode("utf-16-le", errors="replace")
    expect("000004b0" in text, "string table block 000004b0")
    for key, value in [("FileDescription", "Orbel"), ("ProductName", "Orbel"), ("FileVersion", version_text),
                       ("ProductVersion", version_text)]:
        expect(re.search(key + r"\x00+" + re.escape(value) + r"\x00", text) is not None, f'{key} "{value}"')
    expect(re.search(r"CompanyName\x00+\w", text) is not None, "a string naming the maker")
    translation = version.index("Translation".encode("utf-16-le"))
    expect(version[translation:].find(struct.pack("<HH", 0x0000, 0x04B0)) != -1, "translation 0x0000, 0x04B0")

    manifest = wrestool("-x", "--raw", "-t24", "-n1", exe).decode()
    expect("<dpiAwareness>PerMonitorV2</dpiAwareness>" in manifest, "PerMonitorV2")
    expect("http://schemas.microsoft.com/SMI/2016/WindowsSettings" in manifest, "2016 windows-settings namespace")
    expect('manifestVersion="1.0"' in manifest, "assembly schema 1.0")
    expect("requestedExecutionLevel" not in manifest and "dependency" not in manifest,
           "no execution level, no dependent assembly")

    for message in failures:
        print("FAILED:", message)
    print(f"{len(failures) == 0 and 'resources ok' or 'resources broken'}: {exe}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
