# Sourced by the package checks. need TOOL...: each TOOL is on PATH, or the
# check is skipped (exit 77), or fails when KINETRA_REQUIRE_PACKAGE_TOOLS=1.
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null && continue
    [ "${KINETRA_REQUIRE_PACKAGE_TOOLS:-0}" = 1 ] && { echo "FAIL: $tool is not installed"; exit 1; }
    echo "SKIP: $tool is not installed"
    exit 77
  done
}
