#!/usr/bin/python3
"""Checks a Kinetra.Net nupkg against package-manifest.txt and the files it was made from.

Usage: check_package.py NUPKG --linux-native libKinetra.so --windows-native Kinetra.dll
Exits 1 with every difference listed.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))


def cmake_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"project\(\s*Kinetra\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)", f.read())
    if not m:
        sys.exit("no project(Kinetra VERSION x.y.z) in CMakeLists.txt")
    return m.group(1)


def imported_entry_points():
    """The native names NativeMethods.cs binds: EntryPoint where given, else the method's name."""
    with open(os.path.join(HERE, "src", "Kinetra.Net", "NativeMethods.cs"), encoding="utf-8") as f:
        text = f.read()
    names = set()
    for m in re.finditer(r"\[DllImport\(([^\]]*)\)\]\s*internal static extern \S+ (\w+)\(", text):
        entry = re.search(r'EntryPoint\s*=\s*"(\w+)"', m.group(1))
        names.add(entry.group(1) if entry else m.group(2))
    return names


def exports(tool, args, data, pattern):
    """Names a native library exports, listed by a binutils tool; None without the tool."""
    if not shutil.which(tool):
        return None
    with tempfile.NamedTemporaryFile() as f:
        f.write(data)
        f.flush()
        out = subprocess.run([tool] + args + [f.name], check=True, capture_output=True, text=True).stdout
    return set(re.findall(pattern, out, re.M))


def digest(data):
    return hashlib.sha256(data).hexdigest()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("nupkg")
    ap.add_argument("--linux-native", required=True)
    ap.add_argument("--windows-native", required=True)
    args = ap.parse_args()

    problems = []
    with open(os.path.join(HERE, "package-manifest.txt"), encoding="utf-8") as f:
        expected = [l.strip() for l in f if l.strip() and not l.startswith("#")]
    has_license = os.path.exists(os.path.join(ROOT, "LICENSE"))
    if not has_license:
        print("note: the repository has no LICENSE yet, so the package has none; "
              "it is expected again once one is added at the root")
        expected.remove("LICENSE")

    version = cmake_version()
    name = os.path.basename(args.nupkg)
    if name != "Kinetra.Net.%s.nupkg" % version:
        problems.append("package file %s, expected Kinetra.Net.%s.nupkg" % (name, version))

    with zipfile.ZipFile(args.nupkg) as z:
        entries = z.namelist()
        unmatched = list(entries)
        for pattern in expected:
            # Only "*" is a wildcard: "[Content_Types].xml" is a plain name.
            rx = "^" + ".*".join(re.escape(part) for part in pattern.split("*")) + "$"
            hits = [e for e in unmatched if re.match(rx, e)]
            if len(hits) != 1:
                problems.append("%d entries match %s" % (len(hits), pattern))
            for h in hits:
                unmatched.remove(h)
        problems += ["unexpected entry %s" % e for e in unmatched]

        for entry, source in (("runtimes/linux-x64/native/libKinetra.so", args.linux_native),
                              ("runtimes/win-x64/native/Kinetra.dll", args.windows_native),
                              ("README.md", os.path.join(HERE, "README.md"))) + (
                (("LICENSE", os.path.join(ROOT, "LICENSE")),) if has_license else ()):
            if entry in entries:
                with open(source, "rb") as f:
                    if digest(z.read(entry)) != digest(f.read()):
                        problems.append("%s differs from %s" % (entry, source))
        if "runtimes/win-x64/native/Kinetra.dll" in entries:
            dll = z.read("runtimes/win-x64/native/Kinetra.dll")
            pe = int.from_bytes(dll[0x3C:0x40], "little")
            if dll[:2] != b"MZ" or dll[pe:pe + 6] != b"PE\0\0\x64\x86":
                problems.append("Kinetra.dll is not an x86-64 PE image")
        if "runtimes/linux-x64/native/libKinetra.so" in entries:
            so = z.read("runtimes/linux-x64/native/libKinetra.so")
            if so[:4] != b"\x7fELF" or so[18:20] != b"\x3e\x00":
                problems.append("libKinetra.so is not an x86-64 ELF file")

        wanted = imported_entry_points()
        if len(wanted) != 10:
            problems.append("NativeMethods.cs binds %d exports, expected the header's 10" % len(wanted))
        for entry, tool, targs, pattern in (
                ("runtimes/linux-x64/native/libKinetra.so", "nm", ["-D", "--defined-only"], r" T (\w+)$"),
                ("runtimes/win-x64/native/Kinetra.dll", "x86_64-w64-mingw32-objdump", ["-p"],
                 r"^\s+\[\s*\d+\] (\w+)$")):
            if entry not in entries:
                continue
            got = exports(tool, targs, z.read(entry), pattern)
            if got is None:
                print("note: %s not found, so the exports of %s are not checked" % (tool, entry))
            elif not wanted <= got:
                problems.append("%s lacks %s" % (entry, ", ".join(sorted(wanted - got))))

        ns = {"n": "http://schemas.microsoft.com/packaging/2012/06/nuspec.xsd"}
        meta = ET.fromstring(z.read("Kinetra.Net.nuspec")).find("n:metadata", ns)
        for tag, want in (("id", "Kinetra.Net"), ("version", version), ("readme", "README.md")) + (
                (("license", "LICENSE"),) if has_license else ()):
            got = meta.findtext("n:" + tag, default=None, namespaces=ns)
            if got != want:
                problems.append("nuspec <%s> is %r, expected %r" % (tag, got, want))

    for p in problems:
        print("package: " + p)
    if problems:
        return 1
    print("package: %s matches the manifest (%d entries)" % (name, len(entries)))
    for e in sorted(entries):
        print("  " + e)
    return 0


if __name__ == "__main__":
    sys.exit(main())
