#!/usr/bin/env bash
# The Debian package as a user gets it: made by CPack from a build, checked for what it holds,
# for paths of the build or source folder and by lintian, installed with dpkg into a throwaway
# root, used from there (vantrel --version, a match, the Python module, the manual page) and
# removed again. Then an install under a prefix with DESTDIR, which must stage only that prefix.
#   package_test.sh BUILD_DIR SOURCE_DIR    the package of this build
#   package_test.sh --quick-start SOURCE_DIR
#       the README's quick start in a copy of the checkout's tracked files: scripts/demo, then its
#       install steps, `(cd build && cpack -G DEB)` and `cmake --install build --prefix ...`, on
#       the folder the demo built, and the package checked as above
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "package_test: $*" >&2
  exit 1
}
export PATH=/usr/sbin:/sbin:$PATH  # dpkg wants ldconfig on it
unset OFX_PLUGIN_PATH

# The package checks, on DEB made from the build in BUILD with the sources in SOURCE.
check_package() {
  local deb=$1 build=$2 source=$3
  # What it holds: everything under /usr, the Linux module only.
  dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
  local bundle=./usr/OFX/Plugins/Brenvale.ofx.bundle/Contents
  for file in ./usr/bin/vantrel $bundle/Linux-x86-64/Brenvale.ofx $bundle/Resources/org.vantrel.colormatch.png \
    ./usr/share/man/man1/vantrel.1.gz ./usr/share/doc/vantrel/README.md ./usr/share/doc/vantrel/copyright \
    ./usr/share/doc/vantrel/changelog.gz ./usr/share/doc/vantrel/docs/python.md; do
    grep -qxF "$file" "$work/contents" || fail "$file is not in the package"
  done
  grep -qx './usr/lib/python3/dist-packages/vantrel\.cpython-.*\.so' "$work/contents" || fail "no Python module"
  if grep -v -e '^\./usr/' -e '^\./$' "$work/contents"; then fail "files above are outside /usr"; fi
  if grep -F "$bundle/" "$work/contents" | grep -v -e '/Linux-x86-64/' -e '/Resources/' | grep -v '/$'; then
    fail "the bundle above holds more than the Linux module and its resources"
  fi

  # Nothing of this machine's folders inside, and lintian finds no error.
  rm -rf "$work/unpacked"
  dpkg-deb -x "$deb" "$work/unpacked"
  if grep -rlaF -e "$source" -e "$build" "$work/unpacked"; then fail "the files above hold the build or source path"; fi
  lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian reports errors"; }

  # Its dependencies are declared (the libraries' by dpkg-shlibdeps) and met here.
  local depends needed
  depends=$(dpkg-deb -f "$deb" Depends)
  for needed in libc6 libopenimageio libopencolorio liblcms2 python3-numpy 'python3 (>='; do
    [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
  done
  apt-get -s install "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "its dependencies cannot be met"; }

  # Installed into a throwaway root by dpkg, used, removed.
  local root=$work/root
  rm -rf "$root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg --root="$root" --force-not-root --force-depends --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
  "$root/usr/bin/vantrel" --version >"$work/version.txt"
  grep -qF "plug-in: $root/usr/bin/../OFX/Plugins/Brenvale.ofx.bundle/" "$work/version.txt" ||
    fail "the installed vantrel does not load the installed bundle: $(cat "$work/version.txt")"
  local photos=$source/tests/data/photos
  "$root/usr/bin/vantrel" match "$photos/chelsea.png" "$photos/coffee.png" -o "$work/matched.png" --report -q \
    >"$work/report.txt" || fail "the installed vantrel failed to match"
  grep -q "Output vs Reference" "$work/report.txt" && [ -s "$work/matched.png" ] || fail "no match: $(cat "$work/report.txt")"
  (cd "$work" && PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c '
import sys, vantrel
assert vantrel.__file__.startswith(sys.argv[1]) and vantrel.find_plugin().startswith(sys.argv[1]), vantrel.find_plugin()
' "$root/usr/") || fail "python3 cannot import the installed module or it does not find the installed bundle"
  MANWIDTH=100 man -l "$root/usr/share/man/man1/vantrel.1.gz" 2>/dev/null | grep -q -- "--report-json" ||
    fail "the manual page lacks vantrel match's options"
  dpkg --root="$root" --force-not-root --log=/dev/null -r vantrel >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -r failed"; }
  local left
  left=$(find "$root" -path "$root/var" -prune -o -type f -print)
  [ -z "$left" ] || fail "left after removal: $left"

  # DESTDIR stages the prefix and nothing else: not the checkout's own bundle.
  rm -rf "$work/stage"
  DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >"$work/install.log"
  [ "$(ls -A "$work/stage")" = usr ] || fail "DESTDIR holds more than usr: $(ls -A "$work/stage")"
  for file in bin/vantrel OFX/Plugins/Brenvale.ofx.bundle/Contents/Linux-x86-64/Brenvale.ofx; do
    [ -f "$work/stage/usr/$file" ] || fail "DESTDIR install lacks usr/$file"
  done
}

if [ "$1" != --quick-start ]; then
  build=$(realpath "$1")
  source=$(realpath "$2")
  (cd "$build" && cpack -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
  deb=$(ls "$work"/cpack/vantrel_*_amd64.deb)
  check_package "$deb" "$build" "$source"
  echo "package_test: $(basename "$deb") built, checked, installed, run and removed"
  exit 0
fi

# The quick start, on the files a clone of this checkout holds (its tracked files as they are now).
source=$(realpath "$2")
clone=$work/clone
mkdir "$clone"
git -C "$source" ls-files -z | (cd "$source" && tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
  tar -xf - -C "$clone"
cd "$clone"
scripts/demo >"$work/demo.log" 2>&1 || { cat "$work/demo.log"; fail "scripts/demo failed"; }
[ -s demo-output/different.png ] && [ -s demo-output/same.png ] || { cat "$work/demo.log"; fail "the demo wrote no Output"; }
(cd build && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack after the demo failed"; }
deb=$(realpath build/vantrel_*_amd64.deb)
check_package "$deb" "$clone/build" "$clone"
cmake --install build --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install after the demo failed"; }
PATH="$work/prefix/bin:$PATH" OFX_PLUGIN_PATH="$work/prefix/OFX/Plugins" vantrel --version >"$work/version.txt"
grep -qF "plug-in: $work/prefix/OFX/Plugins/Brenvale.ofx.bundle/" "$work/version.txt" ||
  fail "vantrel under the prefix does not load the bundle installed with it: $(cat "$work/version.txt")"
[ -f "$work/prefix/share/man/man1/vantrel.1.gz" ] || fail "no manual page under the prefix"
echo "package_test: the quick start's demo, package and install under a prefix work from a clone"
