#!/usr/bin/env python3
"""Writes the winget manifests of one release (version, default locale and
installer manifests) into OUT_DIR, with the SHA-256 of the MSI and the zip
as they are, and the product and upgrade codes as the MSI itself states them:

    make_winget.py OUT_DIR --version 1.5.0 --msi Orbel-1.5.0-win64.msi
                   --zip Orbel-1.5.0-win64.zip --download-url https://... --source-date UNIX_SECONDS

OUT_DIR follows the winget-pkgs layout (manifests/d/Dremmholt/Orbel/<version>),
so the tree can be copied into a pull request as it is."""
import argparse
import datetime
import hashlib
import subprocess
from pathlib import Path

MANIFEST_VERSION = "1.6.0"
SCHEMA = "https://aka.ms/winget-manifest.{kind}.{version}.schema.json"
IDENTIFIER = "Dremmholt.Orbel"
LOCALE = "en-US"
PUBLISHER = "Dremmholt"
PUBLISHER_URL = "https://dremmholt.no"
PORTABLE_ALIAS = "orbel"


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest().upper()


def msi_property(msi, name):
    table = subprocess.run(["msiinfo", "export", str(msi), "Property"], check=True, capture_output=True,
                           text=True).stdout
    for line in table.splitlines():
        key, _, value = line.partition("\t")
        if key == name:
            return value
    raise SystemExit(f"{msi} has no property {name}")


def write(path, kind, body):
    header = f"# yaml-language-server: $schema={SCHEMA.format(kind=kind, version=MANIFEST_VERSION)}\n\n"
    footer = f"ManifestType: {kind}\nManifestVersion: {MANIFEST_VERSION}\n"
    path.write_text(header + body + footer)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out_dir")
    parser.add_argument("--version", required=True)
    parser.add_argument("--msi", required=True)
    parser.add_argument("--zip", required=True)
    parser.add_argument("--download-url", required=True)
    parser.add_argument("--source-date", required=True, type=int)
    args = parser.parse_args()

    out = Path(args.out_dir)
    out.mkdir(parents=True, exist_ok=True)
    version = args.version
    product_code = msi_property(args.msi, "ProductCode")
    upgrade_code = msi_property(args.msi, "UpgradeCode")
    release_date = datetime.datetime.fromtimestamp(args.source_date, datetime.timezone.utc).date().isoformat()
    url = args.download_url.rstrip("/")
    head = f"PackageIdentifier: {IDENTIFIER}\nPackageVersion: {version}\n"

    write(out / f"{IDENTIFIER}.yaml", "version", head + f"DefaultLocale: {LOCALE}\n")

    write(out / f"{IDENTIFIER}.locale.{LOCALE}.yaml", "defaultLocale", head + f"""\
PackageLocale: {LOCALE}
Publisher: {PUBLISHER}
PublisherUrl: {PUBLISHER_URL}
PackageName: Orbel
PackageUrl: {url}
License: Proprietary
ShortDescription: Keeps the computer awake, from an eye in the taskbar's notification area.
Description: |-
  Orbel keeps a Windows computer awake while its session is on: Windows keeps the system and the display on,
  and closing a laptop's lid does nothing. A session is open-ended or lasts 1, 2, 4 or 8 hours, and ends by
  itself on battery at 10 % charge or less. When it ends, Windows behaves exactly as before. The menu is in
  Norwegian.
Moniker: {PORTABLE_ALIAS}
Tags:
- keep-awake
- power
- sleep
- tray
""")

    write(out / f"{IDENTIFIER}.installer.yaml", "installer", head + f"""\
MinimumOSVersion: 10.0.0.0
ReleaseDate: {release_date}
Installers:
- Architecture: x64
  InstallerType: msi
  Scope: user
  InstallerUrl: {url}/{Path(args.msi).name}
  InstallerSha256: {sha256(args.msi)}
  ProductCode: '{product_code}'
  UpgradeBehavior: install
  AppsAndFeaturesEntries:
  - DisplayName: Orbel
    Publisher: {PUBLISHER}
    DisplayVersion: {version}
    ProductCode: '{product_code}'
    UpgradeCode: '{upgrade_code}'
- Architecture: x64
  InstallerType: zip
  NestedInstallerType: portable
  NestedInstallerFiles:
  - RelativeFilePath: Orbel.exe
    PortableCommandAlias: {PORTABLE_ALIAS}
  Scope: user
  InstallerUrl: {url}/{Path(args.zip).name}
  InstallerSha256: {sha256(args.zip)}
""")
    print(f"winget manifests for {IDENTIFIER} {version} in {out}")


if __name__ == "__main__":
    main()
