#!/usr/bin/env python3
"""Reads the winget manifests that "package" wrote back as YAML and checks
what winget needs of them: the fields each manifest type requires, one
identifier and version across the three, and for each installer the SHA-256
of the file it names and, for the MSI, the product code the MSI states.

    check_winget.py MANIFEST_DIR RELEASE_DIR VERSION"""
import hashlib
import subprocess
import sys
from pathlib import Path

import yaml

IDENTIFIER = "Dremmholt.Orbel"
MANIFEST_VERSION = "1.6.0"
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType", "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PackageName", "License",
                      "ShortDescription", "ManifestType", "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType", "ManifestVersion"],
}
INSTALLER_REQUIRED = ["Architecture", "InstallerType", "InstallerUrl", "InstallerSha256", "Scope"]
# Each installer the release offers, by its type: what else winget needs of it.
EXPECTED_INSTALLERS = {
    "msi": {"Scope": "user", "Architecture": "x64"},
    "zip": {"Scope": "user", "Architecture": "x64", "NestedInstallerType": "portable"},
}


def msi_property(msi, name):
    table = subprocess.run(["msiinfo", "export", str(msi), "Property"], check=True, capture_output=True,
                           text=True).stdout
    return dict(line.split("\t", 1) for line in table.splitlines() if "\t" in line).get(name)


def main(manifest_dir, release_dir, version):
    failures = []

    def expect(condition, message):
        if not condition:
            failures.append(message)

    manifests = {}
    for path in sorted(Path(manifest_dir).glob("*.yaml")):
        document = yaml.safe_load(path.read_text())
        kind = document.get("ManifestType")
        expect(kind in REQUIRED and kind not in manifests, f"{path.name}: ManifestType {kind!r}")
        manifests[kind] = document
        for field in REQUIRED.get(kind, []):
            expect(document.get(field) not in (None, ""), f"{path.name}: no {field}")
        expect(document.get("PackageIdentifier") == IDENTIFIER, f"{path.name}: PackageIdentifier")
        expect(str(document.get("PackageVersion")) == version, f"{path.name}: PackageVersion is not {version}")
        expect(str(document.get("ManifestVersion")) == MANIFEST_VERSION, f"{path.name}: ManifestVersion")
        expected_name = {"version": f"{IDENTIFIER}.yaml", "installer": f"{IDENTIFIER}.installer.yaml",
                         "defaultLocale": f"{IDENTIFIER}.locale.{document.get('PackageLocale')}.yaml"}.get(kind)
        expect(path.name == expected_name, f"{path.name}: a {kind} manifest is named {expected_name}")
    expect(sorted(manifests) == sorted(REQUIRED), f"manifests found: {sorted(manifests)}")
    if "version" in manifests and "defaultLocale" in manifests:
        expect(manifests["version"]["DefaultLocale"] == manifests["defaultLocale"]["PackageLocale"],
               "DefaultLocale names the locale manifest's PackageLocale")

    installers = manifests.get("installer", {}).get("Installers") or []
    by_type = {entry.get("InstallerType"): entry for entry in installers}
    expect(sorted(by_type) == sorted(EXPECTED_INSTALLERS) and len(installers) == len(by_type),
           f"installer types: {[entry.get('InstallerType') for entry in installers]}")
    for kind, entry in by_type.items():
        for field in INSTALLER_REQUIRED:
            expect(entry.get(field) not in (None, ""), f"{kind} installer: no {field}")
        for field, value in EXPECTED_INSTALLERS.get(kind, {}).items():
            expect(entry.get(field) == value, f"{kind} installer: {field} is {entry.get(field)!r}, not {value!r}")
        artifact = Path(release_dir) / str(entry.get("InstallerUrl", "")).rsplit("/", 1)[-1]
        if not artifact.is_file():
            failures.append(f"{kind} installer: {artifact} does not exist")
            continue
        digest = hashlib.sha256(artifact.read_bytes()).hexdigest()
        expect(str(entry.get("InstallerSha256", "")).lower() == digest,
               f"{kind} installer: InstallerSha256 is not the SHA-256 of {artifact.name} ({digest})")
        if kind == "msi":
            code = msi_property(artifact, "ProductCode")
            expect(entry.get("ProductCode") == code, f"msi installer: ProductCode is not the MSI's {code}")
            for apps in entry.get("AppsAndFeaturesEntries") or [{}]:
                expect(apps.get("ProductCode") == code and str(apps.get("DisplayVersion")) == version
                       and apps.get("UpgradeCode") == msi_property(artifact, "UpgradeCode"),
                       "msi installer: AppsAndFeaturesEntries do not match the MSI")
        if kind == "zip":
            for nested in entry.get("NestedInstallerFiles") or [{}]:
                expect(nested.get("RelativeFilePath") == "Orbel.exe", "zip installer: the nested file is Orbel.exe")

    for message in failures:
        print("FAILED:", message)
    print("winget manifests", "ok" if not failures else "broken", f"({len(manifests)} manifests, "
          f"{len(installers)} installers)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
