# Plain CMake, the way a packager or a downstream CI builds: no preset, the
# compiler and build type they choose. Each build of the matrix passes its
# tests; the soak tests (label "long") are left to the release suite, which
# runs them on the same code, and the package tests to the package suite.
# Warnings are errors here (KINETRA_WERROR), as in every suite. Then the
# library and tools alone: BUILD_TESTING=OFF with GoogleTest unfindable, and
# a machine view without CLI11 and Google Benchmark, where each skipped part
# says so once and the library still builds and installs.
set -euo pipefail
root=build/plain
mkdir -p "$root"

matrix() {
  local name=$1 dir=$root/$1
  shift
  echo "--- plain CMake: $name"
  rm -rf "$dir"
  cmake -S . -B "$dir" -DKINETRA_WERROR=ON "$@" >"$root/$name.configure.log"
  cmake --build "$dir" -j 2
  ctest --test-dir "$dir" -LE "long|package" -j 2 --output-on-failure --no-tests=error
}

# The README's commands (default generator, no build type) with warnings as
# errors, then the build types and compilers a packager uses.
matrix gcc-default
matrix gcc-release -G Ninja -DCMAKE_BUILD_TYPE=Release
matrix gcc-debug -G Ninja -DCMAKE_BUILD_TYPE=Debug
matrix clang-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14

# bare DIR MESSAGE... [-- CMAKE ARGS]: configures and builds without tests,
# installs, and checks the configure output for each message.
bare() {
  local name=$1 dir=$root/$1 log=$root/$1.configure.log
  shift
  local messages=()
  while [ "$1" != -- ]; do messages+=("$1"); shift; done
  shift
  echo "--- plain CMake: $name"
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DKINETRA_WERROR=ON -DBUILD_TESTING=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON "$@" >"$log"
  for m in "${messages[@]}"; do
    [ "$(grep -cF -- "$m" "$log")" -eq 1 ] || { echo "configure did not say once: $m"; cat "$log"; exit 1; }
  done
  cmake --build "$dir" -j 2
  [ "$(ctest --test-dir "$dir" -N | grep -c 'Test *#' || true)" -eq 0 ] ||
    { echo "$name: tests registered with BUILD_TESTING=OFF"; exit 1; }
  cmake --install "$dir" --prefix "$PWD/$dir/staged" >/dev/null
}

# installed NAME FILE...: each FILE is in NAME's install tree.
installed() {
  local name=$1 f
  shift
  for f in "$@"; do
    [ -n "$(find "$root/$name/staged" -path "*/$f")" ] || { echo "$name: $f not installed"; exit 1; }
  done
}

# Any lookup of GoogleTest fails the configure here, so the library and
# tools must not need it.
bare no-gtest -- -DCMAKE_BUILD_TYPE=Release
installed no-gtest lib/libKinetra.so.1 bin/kinetra bin/kinetra-sim include/kinetra.h
bare no-optional "CLI11 not found" "Google Benchmark not found" -- \
  -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
installed no-optional lib/libKinetra.so.1 include/kinetra.h lib/cmake/Kinetra/KinetraConfig.cmake
[ ! -e "$root/no-optional/tools/kinetra" ] && [ ! -e "$root/no-optional/staged/bin/kinetra" ] ||
  { echo "kinetra built without CLI11"; exit 1; }
echo "plain CMake: GCC default/Release/Debug and clang Release pass their tests;" \
  "library and tools build without GoogleTest; CLI11 and Google Benchmark are optional"
