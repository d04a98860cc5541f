#!/usr/bin/env bash
# Renders and exports the same corpus with the Linux module and with the Windows module (under
# Wine), and fails unless every render is bit-identical and every .cube and .cdl byte-identical.
# Usage: compare_builds.sh LINUX_CORPUS WINDOWS_RUNNER... WINDOWS_CORPUS
set -euo pipefail
linux=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/linux/inputs" "$work/windows"

# The plug-in's own lines go to a log, shown when a run fails.
run() {
  if ! "$@" --gtest_brief=1 2>"$work/stderr.log"; then
    cat "$work/stderr.log" >&2
    exit 1
  fi
}
VANTREL_CORPUS_OUT="$work/linux" run "$linux"
# Wine sees the build machine's root as drive Z:.
VANTREL_CORPUS_OUT="Z:$work/windows" VANTREL_CORPUS_INPUTS="Z:$work/linux/inputs" run "$@"

renders=0
exports=0
for file in "$work"/linux/*; do
  [ -f "$file" ] || continue
  name=$(basename "$file")
  if ! cmp -s "$file" "$work/windows/$name"; then
    echo "compare: $name differs between the Linux and the Windows module" >&2
    cmp "$file" "$work/windows/$name" | head -1 >&2 || true
    exit 1
  fi
  case $name in
    *.raw) renders=$((renders + 1)) ;;
    *) exports=$((exports + 1)) ;;
  esac
done
if [ "$(ls "$work/windows" | wc -l)" -ne "$((renders + exports))" ] || [ "$renders" -eq 0 ]; then
  echo "compare: the two runs wrote different sets of files" >&2
  exit 1
fi
echo "compare: $renders renders bit-identical, $exports .cube/.cdl files byte-identical (VANTREL_ISA=${VANTREL_ISA:-default})"
