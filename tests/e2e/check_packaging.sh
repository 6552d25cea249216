#!/usr/bin/env bash
# The system install as a distribution would make it: the desktop entry and the metadata
# validate, `cmake --install` into a DESTDIR puts every file where the system looks for it
# and nothing elsewhere, and the .deb holds the same tree with real dependencies. lintian's
# verdict is printed for the record; it does not fail the test.
#   check_packaging.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

desktop-file-validate "$src/packaging/com.korvant.Update.desktop" || fail "desktop entry"
appstreamcli validate --no-net --pedantic "$src/packaging/com.korvant.Update.metainfo.xml" || fail "metainfo"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null || fail "cmake --install"

expected=(
  usr/bin/korvant-flash
  usr/bin/korvant-sim
  usr/lib/udev/rules.d/70-korvant-update.rules
  usr/share/applications/com.korvant.Update.desktop
  usr/share/metainfo/com.korvant.Update.metainfo.xml
  usr/share/icons/hicolor/scalable/apps/com.korvant.Update.svg
  usr/share/icons/hicolor/32x32/apps/com.korvant.Update.png
  usr/share/man/man1/korvant-flash.1.gz
  usr/share/man/man1/korvant-sim.1.gz
  usr/share/doc/korvant-update/copyright
  usr/share/doc/korvant-update/changelog.gz
)
[[ -x "$build/app/qt/korvant-update" ]] && expected+=(usr/bin/korvant-update usr/share/man/man1/korvant-update.1.gz)
for f in "${expected[@]}"; do
  [[ -e "$work/root/$f" ]] || fail "not installed: /$f"
done
unexpected=$(cd "$work/root" && find . -type f | sed 's|^\./||' | grep -v -x -F "$(printf '%s\n' "${expected[@]}")" || true)
[[ -z "$unexpected" ]] || fail "installed but not expected: $unexpected"
# The udev rule must sort before the seat rules that turn uaccess into an ACL.
[[ "$(basename "$(ls "$work/root/usr/lib/udev/rules.d/")")" < "73-seat-late.rules" ]] || fail "udev rule numbered too late"
echo "installed tree:"
(cd "$work/root" && find . -type f | sort | sed 's|^\.|  |')

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack"
deb=$(ls "$work"/deb/*.deb)
echo "package $(basename "$deb"):"
dpkg-deb -c "$deb" | awk '{print "  " $6}'
for f in "${expected[@]}"; do
  dpkg-deb -c "$deb" | awk '{print $6}' | grep -q -x "./$f" || fail "not in the .deb: /$f"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" == *libc6* ]] || fail "the .deb names no library dependencies"
echo "lintian says:"
lintian --tag-display-limit 0 "$deb" 2>&1 | sed 's/^/  /' || true
echo "packaging: 1 passed, 0 failed"
