# Kinetra.dll, kinetra.exe and kinetra-sim.exe cross-built with mingw-w64,
# and the whole test suite run under Wine: the library's Win32 serial path
# against COM ports that Wine maps onto socat-linked ptys
# (tests/windows/wine-run.sh). The Windows tools are tested against the
# native ones on the other end of a pair, so those are built first (the
# release suite has usually built them already). The Wine prefix lives in
# build/windows/wine; its server is stopped when the suite ends.
set -euo pipefail
cmake --preset release >/dev/null
cmake --build --preset release --target kinetra kinetra-sim
export KINETRA_NATIVE_TOOLS=$PWD/build/release/tools
export WINEPREFIX=$PWD/build/windows/wine/prefix
export WINEDEBUG=-all
stop_wine() { [ ! -d "$WINEPREFIX" ] || wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
cmake --workflow --preset windows
