"""The built wheels and sdist hold exactly the files their manifests list.

The suite (scripts/suites/70-python.sh) builds them and names the folder in
KINETRA_DIST_DIR, the platforms it built wheels for in KINETRA_WHEELS, and
the build folders the native files came from in KINETRA_BUILD_DIRS
("platform=folder" pairs).
"""

import hashlib
import os
import re
import stat
import struct
import tarfile
import zipfile

import pytest

import kinetra

MANIFESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "manifests")
DIST = os.environ.get("KINETRA_DIST_DIR")
WHEELS = os.environ.get("KINETRA_WHEELS", "").split()
BUILD_DIRS = dict(pair.split("=", 1) for pair in os.environ.get("KINETRA_BUILD_DIRS", "").split())
NATIVE = {
    "linux_x86_64": {"libKinetra.so.1": "libKinetra.so.1", "kinetra-sim": "tools/kinetra-sim"},
    "win_amd64": {"Kinetra.dll": "bin/Kinetra.dll", "kinetra-sim.exe": "bin/kinetra-sim.exe"},
}

needs_dist = pytest.mark.skipif(DIST is None, reason="KINETRA_DIST_DIR not set: no built wheels to check")


def manifest(name):
    with open(os.path.join(MANIFESTS, name), encoding="utf-8") as f:
        lines = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    return sorted(line.replace("{version}", kinetra.__version__) for line in lines)


def wheel_path(platform):
    return os.path.join(DIST, "kinetra-%s-py3-none-%s.whl" % (kinetra.__version__, platform))


@needs_dist
@pytest.mark.parametrize("platform", WHEELS or ["linux_x86_64"])
def test_wheel_holds_exactly_its_manifest(platform):
    with zipfile.ZipFile(wheel_path(platform)) as z:
        names = sorted(z.namelist())
        wheel_meta = z.read("kinetra-%s.dist-info/WHEEL" % kinetra.__version__).decode()
        entry_points = z.read("kinetra-%s.dist-info/entry_points.txt" % kinetra.__version__).decode()
        infos = {i.filename: i for i in z.infolist()}
        native = {name: z.read("kinetra/_native/" + name) for name in NATIVE[platform]}
    assert names == manifest("wheel-%s.txt" % platform)
    assert "Root-Is-Purelib: false" in wheel_meta
    assert re.search(r"^Tag: py3-none-%s$" % platform, wheel_meta, re.M)
    assert re.search(r"^kinetra = kinetra.pytest_plugin$", entry_points, re.M)
    for name, data in native.items():
        mode = infos["kinetra/_native/" + name].external_attr >> 16
        if name == "kinetra-sim":
            assert mode & stat.S_IXUSR, "kinetra-sim stays executable"
        if platform == "win_amd64":
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            assert data[pe:pe + 4] == b"PE\0\0" and struct.unpack_from("<H", data, pe + 4)[0] == 0x8664
        else:
            assert data[:4] == b"\x7fELF" and struct.unpack_from("<H", data, 18)[0] == 0x3E
        if platform in BUILD_DIRS:
            with open(os.path.join(BUILD_DIRS[platform], NATIVE[platform][name]), "rb") as f:
                built = f.read()
            assert hashlib.sha256(data).digest() == hashlib.sha256(built).digest(), (
                "%s is the build's current one" % name
            )


@needs_dist
def test_sdist_holds_exactly_its_manifest():
    path = os.path.join(DIST, "kinetra-%s.tar.gz" % kinetra.__version__)
    with tarfile.open(path) as t:
        names = sorted(m.name for m in t.getmembers() if m.isfile())
    assert names == manifest("sdist.txt")


@needs_dist
def test_the_installed_package_is_the_linux_wheel():
    with zipfile.ZipFile(wheel_path("linux_x86_64")) as z:
        in_wheel = {n: z.read(n) for n in z.namelist() if n.startswith("kinetra/")}
    top = os.path.dirname(os.path.dirname(os.path.abspath(kinetra.__file__)))
    for name, data in in_wheel.items():
        with open(os.path.join(top, name), "rb") as f:
            assert f.read() == data, name
