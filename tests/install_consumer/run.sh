#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds a host program
# against it twice: with find_package(Kinetra) and with pkg-config.
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake/consumer"
pc="$work/prefix/lib/pkgconfig"
[ -d "$pc" ] || pc=$(dirname "$(find "$work/prefix" -name kinetra.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs kinetra)
cc "$here/consumer.c" $flags -o "$work/pc-consumer"
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH="$pc" pkg-config --variable=libdir kinetra) "$work/pc-consumer"
echo "installed package works through find_package and pkg-config"
