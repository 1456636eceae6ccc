#!/usr/bin/env bash
# A Windows tool as shipped: the GCC runtime linked in (no libstdc++, libgcc
# or winpthread DLL to carry along), nothing exported, ASLR and DEP, the
# project version in its VERSIONINFO, and, for kinetra.exe, the platform
# reached through Kinetra.dll's exports alone.
#   check_tool_exe.sh OBJDUMP EXE VERSION
set -euo pipefail
objdump=$1
exe=$2
version=$3
name=$(basename "$exe")
fail=0
problem() { echo "FAIL: $name $*"; fail=1; }

dump=$("$objdump" -p "$exe")
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -f | xargs)
for dll in $imports; do
  case "${dll,,}" in
  libstdc++*.dll | libgcc*.dll | libwinpthread*.dll) problem "imports $dll: the runtime is not static" ;;
  esac
done
if [ "$name" = kinetra.exe ]; then
  grep -qix "kinetra.dll" <<<"${imports// /$'\n'}" || problem "does not import Kinetra.dll"
  # The axis_* calls are imports from Kinetra.dll, not a copy of the library.
  from_dll=$(sed -n '/DLL Name: Kinetra.dll/,/^$/p' <<<"$dump" | grep -c 'axis_' || true)
  [ "$from_dll" -gt 0 ] || problem "imports no axis_* function from Kinetra.dll"
  if "$objdump" -t "$exe" | grep -q '[[:space:]]_\?axis_init$'; then
    problem "holds its own axis_init"
  fi
fi
if grep -q '^\[Ordinal/Name Pointer\] Table' <<<"$dump"; then
  problem "exports functions"
fi
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  grep -q "^[[:space:]]*$flag\$" <<<"$dump" || problem "lacks $flag"
done
strings=${objdump%objdump}strings
command -v "$strings" >/dev/null || strings=strings
resource=$("$strings" -el "$exe")
grep -qx "$version" <<<"$resource" || problem "the version $version is not in the VERSIONINFO"
grep -qx "$name" <<<"$resource" || problem "OriginalFilename is not $name"

[ "$fail" -eq 0 ] || exit 1
echo "$name: imports $imports; nothing exported; ASLR, high-entropy VA, DEP; version $version"
