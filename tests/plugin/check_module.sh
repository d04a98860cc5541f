#!/usr/bin/env bash
# Hosts look up only the two entry points and ship their own C++ runtime, so the module must
# export nothing else and need nothing beyond libc, libm and the loader.
set -euo pipefail
module=$1
fail=0

exported=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort | tr '\n' ' ')
if [ "$exported" != "OfxGetNumberOfPlugins OfxGetPlugin " ]; then
  echo "unexpected exported symbols: $exported" >&2
  fail=1
fi

allowed='^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2)$'
while read -r lib; do
  if ! [[ $lib =~ $allowed ]]; then
    echo "unexpected NEEDED entry: $lib" >&2
    fail=1
  fi
done < <(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')

while read -r name _; do
  case $name in
    linux-vdso.so.1 | libc.so.6 | libm.so.6 | /lib64/ld-linux-x86-64.so.2 | ld-linux-x86-64.so.2) ;;
    *) echo "unexpected run-time dependency: $name" >&2; fail=1 ;;
  esac
done < <(ldd "$module")

[ "$fail" -eq 0 ] && echo "module exports and dependencies ok"
exit "$fail"
