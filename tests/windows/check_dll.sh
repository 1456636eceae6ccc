#!/usr/bin/env bash
# Kinetra.dll as shipped: exactly the ten axis_* functions exported, by their
# plain C names; only KERNEL32 and the C runtime imported; ASLR (high
# entropy), DEP and the stack protector in; the project version in its
# VERSIONINFO.
#   check_dll.sh OBJDUMP DLL VERSION
set -euo pipefail
objdump=$1
dll=$2
version=$3
fail=0
problem() { echo "FAIL: $*"; fail=1; }

[ "$(basename "$dll")" = Kinetra.dll ] || problem "the module is $(basename "$dll"), not Kinetra.dll"
dump=$("$objdump" -p "$dll")

expected="axis_close axis_flush axis_get_error axis_init axis_read_upload axis_x_move axis_xyz_abs_move axis_xyz_rel_move axis_y_move axis_z_move"
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort | xargs)
if [ "$exports" != "$expected" ]; then
  problem "exports differ"
  echo "  expected: $expected"
  echo "  actual:   $exports"
fi
count=$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$dump" | head -n 1)
[ "$((16#${count:-0}))" -eq 10 ] || problem "the export address table has 0x$count entries, not 10"
grep -q "^Name[[:space:]].* Kinetra.dll$" <<<"$dump" || problem "the export table does not name Kinetra.dll"

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -f | xargs)
for name in $imports; do
  case "${name,,}" in
  kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
  *) problem "imports $name" ;;
  esac
done
grep -qix "kernel32.dll" <<<"${imports// /$'\n'}" || problem "does not import KERNEL32.dll"

for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  grep -q "^[[:space:]]*$flag\$" <<<"$dump" || problem "DllCharacteristics lacks $flag"
done

# The stack protector is in: guarded functions read the cookie (seen in the
# symbol table, where the build kept one).
symbols=$("$objdump" -t "$dll")
if grep -q "axis_init" <<<"$symbols"; then
  grep -q "__stack_chk_guard" <<<"$symbols" || problem "built without the stack protector"
  grep -q "__stack_chk_fail" <<<"$symbols" || problem "no stack protector failure handler"
fi

strings=${objdump%objdump}strings
command -v "$strings" >/dev/null || strings=strings
resource=$("$strings" -el "$dll")
grep -qx "FileVersion" <<<"$resource" || problem "no VERSIONINFO string table"
grep -qx "$version" <<<"$resource" || problem "the version $version is not in the VERSIONINFO"
grep -qx "Kinetra.dll" <<<"$resource" || problem "OriginalFilename is not Kinetra.dll"

[ "$fail" -eq 0 ] || exit 1
echo "Kinetra.dll: ten undecorated exports; imports $imports; ASLR, high-entropy VA, DEP, stack protector; version $version"
