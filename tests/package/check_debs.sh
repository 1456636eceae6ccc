#!/usr/bin/env bash
# The Debian packages and the tarball, used the way their users use them.
#   check_debs.sh manifest  BUILD SOURCE VERSION CONFIG WORK
#       each .deb's files and links, and the tarball's files, equal manifests/
#   check_debs.sh lintian   ...   lintian reports no error for any .deb
#   check_debs.sh metadata  ...   Depends (dpkg-shlibdeps), the shlibs file, SONAME
#   check_debs.sh consumers ...   unpacked into a scratch root, a C host program
#       builds through find_package(Kinetra 1.0 CONFIG) and through pkg-config,
#       and each runs against kinetra-sim from the unpacked kinetra-tools
# Exits 77 (skipped) when a tool is missing, unless KINETRA_REQUIRE_PACKAGE_TOOLS=1.
set -euo pipefail
mode=$1 build=$2 source=$3 version=$4 config=$5 work=$6
here=$(cd "$(dirname "$0")" && pwd)
packages=$build/packages
packs=(libkinetra1 libkinetra-dev kinetra-tools)
deb() { echo "$packages/${1}_${version}_amd64.deb"; }
tarball=$packages/Kinetra-$version-Linux.tar.gz

# shellcheck source=need.sh
. "$here/need.sh"
need dpkg-deb
for p in "${packs[@]}"; do
  [ -f "$(deb "$p")" ] || { echo "FAIL: no $(deb "$p") (cmake --build $build --target package)"; exit 1; }
done
fail=0
problem() { echo "FAIL: $*"; fail=1; }

# Files and links of a .deb, without its directories: "path" or "path -> target".
deb_files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sort; }
expected() { sed "s/@VERSION@/$version/g; s/@CONFIG@/$config/g" "$here/manifests/$1.txt" | sort; }

case $mode in
manifest)
  for p in "${packs[@]}"; do
    diff -u <(expected "$p") <(deb_files "$(deb "$p")") && echo "$p: as manifests/$p.txt" ||
      problem "$p differs from manifests/$p.txt (- expected, + in the package)"
  done
  [ -f "$tarball" ] || { echo "FAIL: no $tarball"; exit 1; }
  diff -u <(expected Linux.tar.gz) <(tar -tzf "$tarball" | grep -v '/$' | sort) &&
    echo "$(basename "$tarball"): as manifests/Linux.tar.gz.txt" ||
    problem "$(basename "$tarball") differs from manifests/Linux.tar.gz.txt"
  ;;
lintian)
  need lintian
  for p in "${packs[@]}"; do
    out=$(lintian --tag-display-limit 0 "$(deb "$p")" 2>&1 | grep -v '^running with root') || true
    echo "$out" | sed "s/^/$p: /"
    ! grep -q '^E: ' <<<"$out" || problem "lintian reports errors for $p"
  done
  ;;
metadata)
  need readelf
  field() { dpkg-deb -f "$(deb "$1")" "$2"; }
  # What dpkg-shlibdeps found, and what is declared: the library needs the C
  # and C++ runtimes, the tools also GCC's and the library at this version or
  # later, the development files exactly this version of the library.
  check_depends() {
    local p=$1 d
    shift
    local depends
    depends=$(field "$p" Depends)
    echo "$p Depends: $depends"
    local names
    names=$(sed 's/ ([^)]*)//g; s/, */\n/g' <<<"$depends")
    for d in "$@"; do
      grep -qxF "$d" <<<"$names" || problem "$p does not depend on $d"
    done
  }
  check_depends libkinetra1 libc6 libstdc++6
  check_depends kinetra-tools libc6 libstdc++6 libgcc-s1 libkinetra1
  grep -qF "libkinetra1 (>= $version)" <<<"$(field kinetra-tools Depends)" ||
    problem "kinetra-tools does not need libkinetra1 >= $version"
  [ "$(field libkinetra-dev Depends)" = "libkinetra1 (= $version)" ] ||
    problem "libkinetra-dev Depends is '$(field libkinetra-dev Depends)'"
  for p in "${packs[@]}"; do
    [ "$(field "$p" Version)" = "$version" ] || problem "$p has version $(field "$p" Version)"
  done
  rm -rf "$work"
  mkdir -p "$work/control" "$work/root"
  dpkg-deb -e "$(deb libkinetra1)" "$work/control"
  shlibs=$(cat "$work/control/shlibs" 2>/dev/null || true)
  echo "libkinetra1 shlibs: $shlibs"
  [ "$shlibs" = "libKinetra 1 libkinetra1 (>= $version)" ] || problem "shlibs is '$shlibs'"
  dpkg-deb -x "$(deb libkinetra1)" "$work/root"
  so=$(find "$work/root" -name "libKinetra.so.$version" -type f)
  soname=$(readelf -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  echo "$(basename "$so"): SONAME $soname"
  [ "$soname" = libKinetra.so.1 ] || problem "SONAME is '$soname'"
  bash "$source/tests/check_exports.sh" "$so" || problem "the packaged library's exports"
  ;;
consumers)
  need pkg-config cc cmake
  rm -rf "$work"
  mkdir -p "$work/root"
  for p in "${packs[@]}"; do dpkg-deb -x "$(deb "$p")" "$work/root"; done
  usr=$work/root/usr
  libdir=$(dirname "$(find "$usr" -name libKinetra.so.1 | head -n 1)")
  cmake -S "$source/tests/install_consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$usr" \
    >"$work/cmake.log" || { cat "$work/cmake.log"; exit 1; }
  cmake --build "$work/cmake" >>"$work/cmake.log" || { cat "$work/cmake.log"; exit 1; }
  pc=$(dirname "$(find "$usr" -name kinetra.pc)")
  # shellcheck disable=SC2046
  cc -o "$work/pc-consumer" "$source/tests/install_consumer/consumer.c" \
    $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs kinetra)
  [ "$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir kinetra)" -ef "$libdir" ] ||
    problem "kinetra.pc's libdir is not where the package put the library"
  export LD_LIBRARY_PATH=$libdir
  for consumer in "$work/cmake/consumer" "$work/pc-consumer"; do
    sim_out=$work/$(basename "$consumer").sim.out
    sim_err=$work/$(basename "$consumer").sim.err
    "$usr/bin/kinetra-sim" >"$sim_out" 2>"$sim_err" &
    sim=$!
    for ((i = 0; i < 100; i++)); do [ -s "$sim_out" ] && break; sleep 0.05; done
    port=$(head -n 1 "$sim_out")
    if out=$("$consumer" "$port"); then
      echo "$out" | tail -n 1
      echo "$(basename "$consumer") against the packaged kinetra-sim on $port: moved, read back"
    else
      echo "$out"
      problem "$(basename "$consumer") failed against kinetra-sim"
    fi
    kill "$sim"
    wait "$sim" || true
    grep -q 'move X (0xA1) .*X\[target 1000 aux1 200 aux2 50\] CRC good' "$sim_err" ||
      { cat "$sim_err"; problem "kinetra-sim did not log the consumer's move"; }
  done
  ;;
*)
  echo "unknown mode $mode"
  exit 2
  ;;
esac
exit $fail
