#!/usr/bin/env bash
# Checks that the shipped shared library carries its hardening:
#   full RELRO (GNU_RELRO + BIND_NOW), a non-executable stack, no text
#   relocations, stack protection (__stack_chk_fail imported, and every
#   compile unit built with -fstack-protector-strong -fstack-clash-protection
#   as its debug info records), _FORTIFY_SOURCE=2 on every library source
#   (from the compile commands; the optimiser only emits *_chk calls where a
#   size is known, so their absence proves nothing), and exactly the ten
#   axis_* functions exported.
# Usage: check_elf.sh LIBRARY COMPILE_COMMANDS_JSON SOURCE_DIR EXPECT_FORTIFY(0|1)
set -uo pipefail
lib=$1 commands=$2 srcdir=$3 expect_fortify=$4
failed=0
fail() { echo "FAIL: $*"; failed=1; }
pass() { echo "ok:   $*"; }

dynamic=$(readelf -dW "$lib") || { echo "readelf failed on $lib"; exit 1; }
segments=$(readelf -lW "$lib")
symbols=$(readelf --dyn-syms -W "$lib")

grep -q 'GNU_RELRO' <<<"$segments" && pass "GNU_RELRO segment" || fail "no GNU_RELRO segment"
if grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW|\(BIND_NOW\)' <<<"$dynamic"; then
  pass "BIND_NOW (full RELRO)"
else
  fail "no BIND_NOW: RELRO is only partial"
fi
stack=$(grep 'GNU_STACK' <<<"$segments")
if [ -z "$stack" ]; then
  fail "no GNU_STACK header: the loader would make the stack executable"
elif [[ $(awk '{print $(NF-1)}' <<<"$stack") == *E* ]]; then
  fail "GNU_STACK is executable: $stack"
else
  pass "non-executable GNU_STACK"
fi
grep -q 'TEXTREL' <<<"$dynamic" && fail "text relocations present" || pass "no TEXTREL"
grep -Eq 'UND __stack_chk_fail' <<<"$symbols" && pass "imports __stack_chk_fail" \
  || fail "__stack_chk_fail not imported: no stack protector"

# GCC records its switches there; clang does not unless told to.
producers=$(readelf --debug-dump=info "$lib" 2>/dev/null | grep 'DW_AT_producer' | grep 'GNU C')
if [ -n "$producers" ]; then
  for flag in -fstack-protector-strong -fstack-clash-protection; do
    missing=$(grep -c -v -- "$flag" <<<"$producers")
    [ "$missing" -eq 0 ] && pass "every compile unit has $flag" \
      || fail "$missing compile unit(s) without $flag"
  done
else
  echo "note: no GCC debug info, compile flags checked from the compile commands only"
fi

sources=$(grep -cF "\"file\": \"$srcdir/src/" "$commands")
[ "$sources" -gt 0 ] || fail "no library sources in $commands"
if [ "$expect_fortify" = 1 ]; then
  flags=(-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection)
else
  flags=(-fstack-protector-strong -fstack-clash-protection)
  echo "note: _FORTIFY_SOURCE is not expected in this build (not optimised, or sanitized)"
fi
for flag in "${flags[@]}"; do
  with=$(grep -- "$flag" "$commands" | grep -cF -- "-c $srcdir/src/")
  [ "$with" -ge "$sources" ] && pass "$flag on all $sources library compile commands" \
    || fail "$flag on only $with of $sources library compile commands"
done

exported=$(awk '$5 == "GLOBAL" && $7 != "UND" && $4 == "FUNC" {sub(/@.*/, "", $8); print $8}' \
  <<<"$symbols" | sort | tr '\n' ' ')
want="axis_close axis_flush axis_get_error axis_init axis_read_upload axis_x_move \
axis_xyz_abs_move axis_xyz_rel_move axis_y_move axis_z_move "
[ "$exported" = "$want" ] && pass "exports exactly the ten axis_* functions" \
  || fail "exported functions differ: $exported"

exit $failed
