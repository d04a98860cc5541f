#!/usr/bin/env bash
# The Win64 module as a Windows host sees it: it exports only the two entry points, imports only
# DLLs that every Windows has, and holds no aligned 256- or 512-bit move, which would fault on a
# stack slot that Win64 aligns to 16 bytes only.
set -euo pipefail
module=$1
objdump=x86_64-w64-mingw32-objdump
fail=0
headers=$("$objdump" -p "$module")

exported=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort -u |
  tr '\n' ' ')
if [ "$exported" != "OfxGetNumberOfPlugins OfxGetPlugin " ]; then
  echo "unexpected exports: $exported" >&2
  fail=1
fi

imported=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort -u | tr '\n' ' ')
for dll in $imported; do
  case ${dll,,} in
    kernel32.dll | msvcrt.dll) ;;
    *) echo "unexpected import: $dll" >&2; fail=1 ;;
  esac
done

aligned=$("$objdump" -d --no-show-raw-insn "$module" | grep -cE '\s(vmovap[sd]|vmovdqa(32|64)?|vmovntdqa?)\s.*[yz]mm' || true)
if [ "$aligned" -ne 0 ]; then
  echo "$aligned aligned 256/512-bit moves" >&2
  fail=1
fi

[ "$fail" -eq 0 ] && echo "module exports ($exported), imports ($imported) and vector moves ok"
exit "$fail"
