#!/usr/bin/env bash
# The shared library exports the ten axis_* functions and nothing else.
set -euo pipefail
lib=$1
expected="axis_close axis_flush axis_get_error axis_init axis_read_upload axis_x_move axis_xyz_abs_move axis_xyz_rel_move axis_y_move axis_z_move"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | xargs)
if [ "$actual" != "$expected" ]; then
  echo "exports differ"; echo " expected: $expected"; echo " actual:   $actual"; exit 1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libKinetra.so.1" ] || { echo "SONAME is '$soname'"; exit 1; }
echo "ten exports, SONAME $soname"
