#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds a host program
# against it twice: with find_package(Kinetra 1.0) and with pkg-config. The
# CMake package must refuse a request for the next major version, and
# pkg-config must report the project's version.
#   run.sh BUILD_DIR WORK_DIR VERSION
set -euo pipefail
build=$1
work=$2
version=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake/consumer"
next_major=$((${version%%.*} + 1)).0
if cmake -S "$here" -B "$work/cmake-next" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DKINETRA_WANT="$next_major" >"$work/cmake-next.log" 2>&1; then
  echo "find_package(Kinetra $next_major) accepted version $version"
  exit 1
fi
grep -q "$version" "$work/cmake-next.log" || { cat "$work/cmake-next.log"; exit 1; }
pc="$work/prefix/lib/pkgconfig"
[ -d "$pc" ] || pc=$(dirname "$(find "$work/prefix" -name kinetra.pc | head -n 1)")
[ "$(PKG_CONFIG_PATH="$pc" pkg-config --modversion kinetra)" = "$version" ] ||
  { echo "kinetra.pc does not say version $version"; exit 1; }
flags=$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs kinetra)
cc "$here/consumer.c" $flags -o "$work/pc-consumer"
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH="$pc" pkg-config --variable=libdir kinetra) "$work/pc-consumer"
echo "installed package $version works through find_package(Kinetra 1.0) and pkg-config;" \
  "find_package(Kinetra $next_major) refuses it"
