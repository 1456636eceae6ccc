# Kinetra.dll cross-built with mingw-w64, and the whole test suite run under
# Wine: the library's Win32 serial path against COM ports that Wine maps onto
# socat-linked ptys (tests/windows/wine-run.sh). The Wine prefix lives in
# build/windows/wine; its server is stopped when the suite ends.
set -euo pipefail
export WINEPREFIX=$PWD/build/windows/wine/prefix
export WINEDEBUG=-all
stop_wine() { [ ! -d "$WINEPREFIX" ] || wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
cmake --workflow --preset windows
