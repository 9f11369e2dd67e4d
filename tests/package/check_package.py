#!/usr/bin/env python3
"""Checks what scripts/package made, without running it: the zip holds exactly what a user
needs and nothing of the tests or of a vendor's, and the winget manifests hold every field
their schema version requires, with the zip's own hash.

Usage: check_package.py PACKAGES_DIR VERSION
"""
import hashlib
import pathlib
import re
import sys
import zipfile

import yaml

# The fields manifest schema 1.28.0 requires, per manifest type, and of each installer.
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType", "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType", "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PackageName",
                      "License", "ShortDescription", "ManifestType", "ManifestVersion"],
}
REQUIRED_OF_INSTALLER = ["Architecture", "InstallerUrl", "InstallerSha256"]
SCHEMA_VERSION = "1.28.0"
IDENTIFIER = re.compile(r'^[^.\s\\/:*?"<>|\x01-\x1f]{1,32}(\.[^.\s\\/:*?"<>|\x01-\x1f]{1,32}){1,7}$')

problems = []


def check(condition, message):
    if not condition:
        problems.append(message)


def check_zip(zip_path, version):
    top = zip_path.stem
    names = {n for n in zipfile.ZipFile(zip_path).namelist() if not n.endswith("/")}
    licences = ["Boost.txt", "CLI11.txt", "nlohmann-json.txt", "stb.txt", "mingw-w64-runtime.txt", "gcc-runtime.txt"]
    expected = {f"{top}/{n}" for n in ["lensbridge.exe", "lbhost.exe", "README.txt",
                                        "simulator/lensbridge.exe", "simulator/Type0001.md3",
                                        "simulator/Type0023.md3"] + [f"licences/{l}" for l in licences]}
    check(names == expected, f"zip holds {sorted(names - expected)} too and lacks {sorted(expected - names)}")
    archive = zipfile.ZipFile(zip_path)
    # The exact list keeps out every test, benchmark and fuzz program.
    for name in names:
        if name.lower().endswith(".md3"):
            # Only our simulator's modules, which name themselves in their messages, and only
            # in their own folder.
            check(f"{top}/simulator/" in name, f"{name}: a module outside simulator/")
            check(b"lbsim: bad control line" in archive.read(name), f"{name}: not the simulator's")
        if "/licences/" in name:
            check(len(archive.read(name)) > 500, f"{name}: no licence text")
    readme = archive.read(f"{top}/README.txt").decode() if f"{top}/README.txt" in names else ""
    for words in ["lbhost list", "lbhost --simulator list", "Type0001.md3 to Type0029.md3", "Uninstall"]:
        check(words in readme, f"README.txt does not say {words!r}")
    return names


def check_manifests(folder, version, zip_path, zip_names):
    manifests = sorted(folder.glob("*.yaml"))
    kinds = {}
    for path in manifests:
        text = path.read_text()
        manifest = yaml.safe_load(text)
        kind = manifest.get("ManifestType")
        kinds[kind] = manifest
        check(kind in REQUIRED, f"{path.name}: ManifestType {kind!r}")
        for field in REQUIRED.get(kind, []):
            check(manifest.get(field) not in (None, "", []), f"{path.name}: no {field}")
        check(manifest.get("ManifestVersion") == SCHEMA_VERSION, f"{path.name}: ManifestVersion")
        check(f"winget-manifest.{kind}.{SCHEMA_VERSION}.schema.json" in text.splitlines()[0],
              f"{path.name}: names another schema")
        check(IDENTIFIER.match(str(manifest.get("PackageIdentifier", ""))), f"{path.name}: PackageIdentifier")
        check(str(manifest.get("PackageVersion")) == version, f"{path.name}: PackageVersion")
    check(set(kinds) == set(REQUIRED), f"manifests {sorted(kinds)}")
    installer = kinds.get("installer", {})
    check(installer.get("InstallerType") == "zip" and installer.get("NestedInstallerType") == "portable",
          "the installer manifest is not a zip with a portable exe")
    nested = (installer.get("NestedInstallerFiles") or [{}])[0]
    check(nested.get("RelativeFilePath", "").replace("\\", "/") in zip_names, f"{nested}: not in the zip")
    check(nested.get("PortableCommandAlias") == "lbhost", "the alias is not lbhost")
    digest = hashlib.sha256(zip_path.read_bytes()).hexdigest()
    for entry in installer.get("Installers") or []:
        for field in REQUIRED_OF_INSTALLER:
            check(entry.get(field), f"an installer without {field}")
        check(str(entry.get("InstallerSha256", "")).lower() == digest, "InstallerSha256 is not the zip's")
        check(re.match(r"^https?://.+/" + re.escape(zip_path.name) + "$", entry.get("InstallerUrl", "")),
              "InstallerUrl does not name the zip")
        check(entry.get("Architecture") == "x64", "Architecture")


def main():
    packages, version = pathlib.Path(sys.argv[1]), sys.argv[2]
    zips = list(packages.glob(f"lensbridge-{version}-*.zip"))
    installers = list(packages.glob(f"lensbridge-{version}-*-setup.exe"))
    check(len(zips) == 1 and len(installers) == 1, f"packages: {sorted(p.name for p in packages.iterdir())}")
    if zips:
        names = check_zip(zips[0], version)
        check_manifests(packages / "winget/manifests/l/lensbridge/lensbridge" / version, version, zips[0], names)
    for problem in problems:
        print(f"package: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
