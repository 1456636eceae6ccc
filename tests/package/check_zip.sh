#!/usr/bin/env bash
# The Windows release zip, used the way its user uses it.
#   check_zip.sh manifest  BUILD SOURCE VERSION CONFIG WORK
#       its file list equals manifests/win64.txt
#   check_zip.sh consumers BUILD SOURCE VERSION CONFIG WORK
#       unpacked, the DLL passes tests/windows/check_dll.sh, Kinetra.lib and
#       Kinetra.def list the ten exports, the CMake package names the right
#       import library for MinGW and for MSVC, and a C host program is built
#       by the MinGW cross compiler twice (find_package(Kinetra CONFIG
#       REQUIRED) through CMAKE_PREFIX_PATH, and with only the header and the
#       MSVC-format Kinetra.lib on the command line); each is run under Wine
#       on a COM port whose far end is scripted: the move must arrive byte
#       for byte, the upload be read back.
# Exits 77 (skipped) when a tool is missing, unless KINETRA_REQUIRE_PACKAGE_TOOLS=1.
set -euo pipefail
mode=$1 build=$2 source=$3 version=$4 config=$5 work=$6
here=$(cd "$(dirname "$0")" && pwd)
zip=$build/packages/Kinetra-$version-win64.zip
top=Kinetra-$version-win64
triplet=x86_64-w64-mingw32

# shellcheck source=need.sh
. "$here/need.sh"
need unzip
[ -f "$zip" ] || { echo "FAIL: no $zip (cmake --build $build --target package)"; exit 1; }

if [ "$mode" = manifest ]; then
  diff -u <(sed "s/@VERSION@/$version/g; s/@CONFIG@/$config/g" "$here/manifests/win64.txt" | sort) \
    <(unzip -Z1 "$zip" | grep -v '/$' | sort) ||
    { echo "FAIL: $zip differs from manifests/win64.txt (- expected, + in the zip)"; exit 1; }
  echo "$(basename "$zip"): $(unzip -Z1 "$zip" | grep -vc '/$') files, as the manifest lists"
  exit 0
fi

need "$triplet-gcc-posix" "$triplet-nm" "$triplet-objdump" "$triplet-strings" wine socat /usr/bin/python3
rm -rf "$work"
mkdir -p "$work"
unzip -q "$zip" -d "$work"
sdk=$work/$top

# The shipped DLL is the one the Windows tests check: exports, imports,
# hardening, version.
bash "$source/tests/windows/check_dll.sh" "$triplet-objdump" "$sdk/bin/Kinetra.dll" "$version"

# Kinetra.lib is an import library of Kinetra.dll for exactly the ten exports.
imports=$("$triplet-nm" "$sdk/lib/Kinetra.lib" | sed -n 's/.* I __imp_\(axis_.*\)$/\1/p' | sort | xargs)
want="axis_close axis_flush axis_get_error axis_init axis_read_upload axis_x_move \
axis_xyz_abs_move axis_xyz_rel_move axis_y_move axis_z_move"
[ "$imports" = "$want" ] || { echo "FAIL: Kinetra.lib imports: $imports"; exit 1; }
lib_strings=$("$triplet-strings" "$sdk/lib/Kinetra.lib")
grep -qx 'Kinetra.dll' <<<"$lib_strings" || { echo "FAIL: Kinetra.lib does not name Kinetra.dll"; exit 1; }
# Kinetra.def lists the ten and nothing else, for `lib /def:`.
def_names=$(tr -d '\r' <"$sdk/lib/Kinetra.def" | grep -v -e '^EXPORTS$' -e '^[[:space:]]*$' |
  sed 's/^[[:space:]]*\([^[:space:]]*\).*/\1/' | sort | xargs)
[ "$def_names" = "$want" ] || { echo "FAIL: Kinetra.def lists: $def_names"; exit 1; }

# Which import library the CMake package hands to each kind of consumer. No
# MSVC here: a project that only reads the package says it is MSVC.
mkdir -p "$work/implib"
cat >"$work/implib/CMakeLists.txt" <<'PROJECT'
cmake_minimum_required(VERSION 3.25)
project(implib NONE)
set(MSVC ${AS_MSVC})
find_package(Kinetra 1.0 CONFIG REQUIRED)
get_target_property(configs Kinetra::Kinetra IMPORTED_CONFIGURATIONS)
foreach(config IN LISTS configs)
  get_target_property(implib Kinetra::Kinetra IMPORTED_IMPLIB_${config})
  message(STATUS "implib ${config} ${implib}")
endforeach()
PROJECT
for kind in 0:libKinetra.dll.a 1:Kinetra.lib; do
  implibs=$(cmake -S "$work/implib" -B "$work/implib/build${kind%%:*}" -DCMAKE_PREFIX_PATH="$sdk" \
    -DAS_MSVC="${kind%%:*}" | sed -n 's/^-- implib //p')
  echo "MSVC=${kind%%:*}: $implibs"
  [ -n "$implibs" ] && ! grep -qv " $sdk/lib/${kind#*:}\$" <<<"$implibs" ||
    { echo "FAIL: with MSVC=${kind%%:*} the package does not name lib/${kind#*:}"; exit 1; }
done

# A consumer's own toolchain file: the cross compiler, nothing of this project.
cat >"$work/mingw.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
TOOLCHAIN
cmake -S "$source/tests/install_consumer" -B "$work/cmake" -DCMAKE_TOOLCHAIN_FILE="$work/mingw.cmake" \
  -DCMAKE_PREFIX_PATH="$sdk" -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" ||
  { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake" >>"$work/cmake.log" || { cat "$work/cmake.log"; exit 1; }
mkdir -p "$work/cli"
"$triplet-gcc-posix" -o "$work/cli/consumer.exe" "$source/tests/install_consumer/consumer.c" \
  -I"$sdk/include" "$sdk/lib/Kinetra.lib"
# Each program finds the DLL beside it, as on Windows.
cp "$sdk/bin/Kinetra.dll" "$work/cmake/"
cp "$sdk/bin/Kinetra.dll" "$work/cli/"

# The move axis_x_move(h, 1000, 200, 50) puts on the wire.
move_hex=010106A1E803C8003200649A
state=$build/wine
fail=0
for exe in "$work/cmake/consumer.exe" "$work/cli/consumer.exe"; do
  echo "--- $exe"
  if ! bash "$source/tests/windows/wine-run.sh" "$state" --host \
    bash "$here/wine_consumer.sh" "$here/far_end.py" "$move_hex" "$exe"; then
    fail=1
  fi
done
[ "$fail" -eq 0 ] || { echo "FAIL: a consumer did not get its move through"; exit 1; }
echo "the zip's SDK works: built with find_package(Kinetra CONFIG) and with Kinetra.lib alone," \
  "both moved and read back an upload under Wine"
