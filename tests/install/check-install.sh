#!/usr/bin/env bash
# The installed program: `cmake --install` into a temporary prefix gives the
# executable, a menu entry that desktop-file-validate accepts, the icon and
# a manual page that man renders;
# `cpack -G DEB` gives a package that lists its dependencies.
# Usage: check-install.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in bin/Quillmar2012 share/applications/quillmar2012.desktop \
            share/icons/hicolor/scalable/apps/quillmar2012.svg share/man/man1/Quillmar2012.1; do
  [ -f "$work/prefix/$file" ] || fail "$file is not installed"
done
[ -x "$work/prefix/bin/Quillmar2012" ] || fail "the program is not executable"
desktop-file-validate "$work/prefix/share/applications/quillmar2012.desktop" ||
  fail "desktop-file-validate refuses the menu entry"
grep -qx 'Exec=Quillmar2012' "$work/prefix/share/applications/quillmar2012.desktop" ||
  fail "the menu entry does not start the installed program"
python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
  "$work/prefix/share/icons/hicolor/scalable/apps/quillmar2012.svg" || fail "the icon is no XML"
MANPATH="$work/prefix/share/man" LC_ALL=C man Quillmar2012 2>&1 | grep -q -- '--write-all' ||
  fail "man Quillmar2012 does not show the installed page"

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }
deb=$(ls "$work"/package/*.deb)
info=$(dpkg-deb -I "$deb")
echo "$info"
for dependency in libqt6widgets6 libfbclient2 libtag1v5 firebird3.0-server-core; do
  grep -q "^ Depends:.*\b$dependency\b" <<<"$info" || fail "the package does not depend on $dependency"
done
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/Quillmar2012 ./usr/share/applications/quillmar2012.desktop \
            ./usr/share/icons/hicolor/scalable/apps/quillmar2012.svg ./usr/share/man/man1/Quillmar2012.1; do
  grep -q " $file\$" <<<"$contents" || fail "the package lacks $file"
done
echo "install and package: fine"
