# The Python package (bindings/python): an sdist and a linux_x86_64 wheel
# built offline with Debian's setuptools around the release build's
# libKinetra.so.1 and kinetra-sim, and a win_amd64 wheel around the
# cross-built Kinetra.dll (when the mingw-w64 compiler is installed), both
# made from the sdist; the package's type hints checked with mypy --strict;
# the Linux wheel installed into a fresh venv and its pytest suite run there
# against the bundled kinetra-sim; bench/python_compare.py run briefly, to
# prove that it still runs (no figure is judged here).
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1 # keep the source tree clean
py=/usr/bin/python3 # Debian's, with python3-build, -pytest, -setuptools, -wheel
top=$PWD
out=$top/build/python
werror=()
if grep -qs 'KINETRA_WERROR' CMakeLists.txt cmake/*.cmake; then werror=(-DKINETRA_WERROR=ON); fi

cmake --preset release "${werror[@]}" >/dev/null
cmake --build --preset release -j 2 --target Kinetra kinetra-sim

rm -rf "$out"
mkdir -p "$out/dist"
KINETRA_BUILD_DIR=$top/build/release "$py" -m build --no-isolation --outdir "$out/dist" bindings/python
wheels=linux_x86_64
build_dirs="linux_x86_64=$top/build/release"

if command -v x86_64-w64-mingw32-g++ >/dev/null; then
  cmake --preset windows "${werror[@]}" >/dev/null
  cmake --build --preset windows --target Kinetra
  mkdir -p "$out/sdist"
  tar -xzf "$out"/dist/kinetra-*.tar.gz -C "$out/sdist"
  KINETRA_BUILD_DIR=$top/build/windows "$py" -m build --no-isolation --wheel \
    --outdir "$out/dist" "$out"/sdist/kinetra-*/
  wheels="$wheels win_amd64"
  build_dirs="$build_dirs win_amd64=$top/build/windows"
else
  echo "x86_64-w64-mingw32-g++ not installed: no win_amd64 wheel (scripts/packages/windows.txt)"
fi

"$py" -m mypy --strict --cache-dir "$out/mypy-cache" bindings/python/src/kinetra

"$py" -m venv --system-site-packages "$out/venv"
"$out/venv/bin/pip" install --no-index --no-build-isolation --quiet "$out"/dist/kinetra-*-linux_x86_64.whl
cd "$out" # not the source tree, so that only the installed package is importable
KINETRA_DIST_DIR=$out/dist KINETRA_WHEELS=$wheels KINETRA_BUILD_DIRS=$build_dirs \
  "$out/venv/bin/python" -m pytest -p no:cacheprovider -c "$top/bindings/python/pyproject.toml" \
  --rootdir "$top/bindings/python" "$top/bindings/python/tests" -q -rs
cd "$top"
"$out/venv/bin/python" bench/python_compare.py --lib build/release/libKinetra.so.1 \
  --repetitions 1 --moves 2000 >/dev/null
