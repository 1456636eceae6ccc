# The release packages, made by CPack (cmake/Packaging.cmake) and tested as
# their users use them (tests/package, ctest label "package"): the .debs and
# the tarball from the release build (manifests, lintian, Depends, shlibs,
# SONAME, consumers through find_package and pkg-config against the packaged
# kinetra-sim), then the Windows zip from the cross-build (manifest, MinGW
# consumers run under Wine against a scripted far end). A missing tool fails
# here rather than skipping a test.
set -euo pipefail
export KINETRA_REQUIRE_PACKAGE_TOOLS=1
export WINEPREFIX=$PWD/build/windows/wine/prefix
export WINEDEBUG=-all
stop_wine() { [ ! -d "$WINEPREFIX" ] || wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
cmake --workflow --preset package
cmake --workflow --preset windows-package
