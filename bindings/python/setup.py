"""Builds the kinetra wheel around an already built native library.

The package is pure Python; the wheel carries a copy of the native library
and of the simulator, taken from a CMake build folder:

  KINETRA_BUILD_DIR   the build folder (e.g. build/release, build/windows);
                      by default build/release of the repository, looked for
                      beside this file (../../build/release) and under the
                      current directory (./build/release).

A folder holding libKinetra.so.1 and tools/kinetra-sim gives a
py3-none-linux_x86_64 wheel; one holding bin/Kinetra.dll (and
kinetra-sim.exe, once it exists) gives py3-none-win_amd64. The platform tag
comes from the bundled library's own header, so a wheel can only be tagged
for the machine its library was built for.
"""

import os
import shutil
import struct
import sys
from typing import List, NamedTuple, Optional, Tuple

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

try:  # setuptools 70.1 and later carry bdist_wheel themselves
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))


class NativeFiles(NamedTuple):
    build_dir: str
    platform: str
    files: List[Tuple[str, str]]  # (source path, name inside kinetra/_native/)


def _build_dir_candidates() -> List[Tuple[str, str]]:
    env = os.environ.get("KINETRA_BUILD_DIR")
    if env:
        return [("KINETRA_BUILD_DIR", env)]
    found = [("beside setup.py", os.path.join(HERE, "..", "..", "build", "release"))]
    # `python -m build` makes the wheel from an unpacked sdist in a temporary
    # folder; the shell's PWD still names where the command was run.
    for where, top in (("current directory", os.getcwd()), ("PWD", os.environ.get("PWD"))):
        if top:
            found.append((where, os.path.join(top, "build", "release")))
    return found


def _first(build_dir: str, names: List[str]) -> Optional[str]:
    for name in names:
        path = os.path.join(build_dir, *name.split("/"))
        if os.path.isfile(path):
            return path
    return None


def _platform_of(path: str) -> str:
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:4] == b"\x7fELF":
        machine = struct.unpack_from("<H", head, 18)[0]
        if head[4] == 2 and machine == 0x3E:
            return "linux_x86_64"
        if head[4] == 2 and machine == 0xB7:
            return "linux_aarch64"
        raise SystemExit("%s: ELF for machine 0x%X, class %d: no wheel tag known" % (path, machine, head[4]))
    if head[:2] == b"MZ":
        pe = struct.unpack_from("<I", head, 0x3C)[0]
        if head[pe:pe + 4] == b"PE\0\0":
            machine = struct.unpack_from("<H", head, pe + 4)[0]
            tags = {0x8664: "win_amd64", 0x14C: "win32", 0xAA64: "win_arm64"}
            if machine in tags:
                return tags[machine]
            raise SystemExit("%s: PE for machine 0x%X: no wheel tag known" % (path, machine))
    raise SystemExit("%s is neither an ELF nor a PE file" % path)


_native: Optional[NativeFiles] = None


def native_files() -> NativeFiles:
    """The native files to bundle, from the first build folder that has them."""
    global _native
    if _native is not None:
        return _native
    looked = []
    for where, build_dir in _build_dir_candidates():
        build_dir = os.path.abspath(build_dir)
        so = _first(build_dir, ["libKinetra.so.1"])
        dll = _first(build_dir, ["bin/Kinetra.dll", "Kinetra.dll", "bin/Release/Kinetra.dll"])
        if so and dll:
            raise SystemExit("%s holds both libKinetra.so.1 and Kinetra.dll" % build_dir)
        if so:
            sim = _first(build_dir, ["tools/kinetra-sim"])
            if sim is None:
                raise SystemExit(
                    "%s has libKinetra.so.1 but no tools/kinetra-sim: build it "
                    "(cmake --build --preset release --target Kinetra kinetra-sim)" % build_dir
                )
            files = [(so, "libKinetra.so.1"), (sim, "kinetra-sim")]
            _native = NativeFiles(build_dir, _platform_of(so), files)
            return _native
        if dll:
            files = [(dll, "Kinetra.dll")]
            sim = _first(build_dir, ["bin/kinetra-sim.exe", "tools/kinetra-sim.exe"])
            if sim:
                files.append((sim, "kinetra-sim.exe"))
            _native = NativeFiles(build_dir, _platform_of(dll), files)
            return _native
        looked.append("  %s: %s" % (where, build_dir))
    raise SystemExit(
        "no built Kinetra library found; looked in:\n%s\n"
        "build it first (cmake --preset release && cmake --build --preset release) "
        "or set KINETRA_BUILD_DIR to a build folder" % "\n".join(looked)
    )


class BinaryDistribution(Distribution):
    """Native files inside: the wheel goes to platlib and carries a platform tag."""

    def has_ext_modules(self) -> bool:
        return True


class build_py_with_native(build_py):
    def run(self) -> None:
        super().run()
        native = native_files()
        target = os.path.join(self.build_lib, "kinetra", "_native")
        shutil.rmtree(target, ignore_errors=True)  # nothing left from another build folder
        os.makedirs(target)
        for source, name in native.files:
            # copyfile follows the .so.1 link to the file itself; copymode
            # keeps kinetra-sim executable inside the wheel.
            shutil.copyfile(source, os.path.join(target, name))
            shutil.copymode(source, os.path.join(target, name))
        print("bundled from %s: %s" % (native.build_dir, ", ".join(n for _, n in native.files)))


class bdist_wheel_py3_none(bdist_wheel):
    """Tagged py3-none-PLATFORM: any Python 3 (no extension module, no ABI),
    one platform (the bundled library's)."""

    def get_tag(self) -> Tuple[str, str, str]:
        detected = native_files().platform
        if self.plat_name_supplied:
            wanted = self.plat_name.replace("-", "_").replace(".", "_")
            if wanted != detected:
                raise SystemExit("--plat-name %s, but the library is built for %s" % (wanted, detected))
        return ("py3", "none", detected)


setup(
    distclass=BinaryDistribution,
    cmdclass={"build_py": build_py_with_native, "bdist_wheel": bdist_wheel_py3_none},
)
