#!/usr/bin/env bash
# The release as a user gets it, from scripts/release.sh run twice on this tree:
# - reproducible: the two runs build in two folders of different depths, and the zip, the .deb
#   and dist/SHA256SUMS must be byte-identical (a build path, a link time or a file's time that
#   reached a package fails here, and the files that differ are named);
# - installed, not only built: the .deb is unpacked into a scratch root (dpkg -x) and run from
#   there. Its panel and virtual card print project()'s version, and the installed panel, which
#   must find the installed driver library, drives the installed virtual card on a ports folder:
#   output 3 reaches the card and the all-off frame is the last. The package's dependencies must
#   name ncurses, as dpkg-shlibdeps found it, and its man pages must be there;
# - the zip: its SHA256SUMS hold for its files, the DLL passes the checks the Windows build's
#   tests make of its file (check_pe.sh, dll_resources_test against project()'s version), and
#   it is the very file the windows preset built and ran under Wine, when that build is there.
# Usage: tests/release/release_test.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
card_pid=
cleanup() {
  if [ -n "$card_pid" ]; then kill "$card_pid" 2>/dev/null || true; wait "$card_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "release test: $*" >&2; exit 1; }

echo "== release test: two builds"
"$top/scripts/release.sh" --build-dir "$scratch/one" --dist "$scratch/dist-one"
"$top/scripts/release.sh" --build-dir "$scratch/two/deeper/build" --dist "$scratch/dist-two"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$scratch/one/linux/CMakeCache.txt")
description=$(sed -n 's/^CMAKE_PROJECT_DESCRIPTION:STATIC=//p' "$scratch/one/linux/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in the build's cache"
zip=vek-driver-$version-win32.zip
deb=vek-tools_${version}_$(dpkg --print-architecture).deb
[ "$(ls "$scratch/dist-one" | LC_ALL=C sort | tr '\n' ' ')" = "$(printf '%s\n' SHA256SUMS "$deb" "$zip" | LC_ALL=C sort | tr '\n' ' ')" ] ||
  fail "dist/ holds $(ls "$scratch/dist-one" | tr '\n' ' '), expected SHA256SUMS $deb $zip"
(cd "$scratch/dist-one" && sha256sum --quiet -c SHA256SUMS) || fail "dist/SHA256SUMS does not hold"

# Names what differs inside two packages, to find the cause quickly.
explain() {
  local a=$scratch/explain-a b=$scratch/explain-b
  mkdir -p "$a" "$b"
  case $1 in
    *.zip) unzip -q -o "$scratch/dist-one/$1" -d "$a"; unzip -q -o "$scratch/dist-two/$1" -d "$b" ;;
    *.deb) dpkg-deb -R "$scratch/dist-one/$1" "$a"; dpkg-deb -R "$scratch/dist-two/$1" "$b" ;;
  esac
  if diff -rq "$a" "$b"; then
    echo "(the files inside are the same: the archives differ in their times, owners, modes or order)"
  fi
}
for file in "$zip" "$deb" SHA256SUMS; do
  cmp -s "$scratch/dist-one/$file" "$scratch/dist-two/$file" || { explain "$file" >&2; fail "$file differs between the two builds"; }
done
echo "== release test: both builds gave the same bytes"

echo "== release test: the .deb, installed into a scratch root"
root=$scratch/root
dpkg-deb -x "$scratch/dist-one/$deb" "$root"
[ "$(dpkg-deb -f "$scratch/dist-one/$deb" Version)" = "$version" ] || fail "the .deb's version is not $version"
depends=$(dpkg-deb -f "$scratch/dist-one/$deb" Depends)
echo "$depends" | grep -Eq '(^|, )libncurses(w)?[0-9]' || fail "the .deb does not depend on ncurses: Depends: $depends"
for page in vek-panel vek-virtual-card; do
  gzip -dc "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH \"\?${page^^}" || fail "no man page for $page"
done
grep -q "^## $version\$" "$root/usr/share/doc/vek-tools/CHANGELOG.md" || fail "the .deb's CHANGELOG.md has no section for $version"
panel=$root/usr/bin/vek-panel
card=$root/usr/bin/vek-virtual-card
[ "$("$panel" --version)" = "vek-panel $version" ] || fail "installed vek-panel --version: $("$panel" --version)"
[ "$("$card" --version)" = "vek-virtual-card $version" ] || fail "installed vek-virtual-card --version: $("$card" --version)"

ports=$scratch/ports
mkdir -p "$ports"
mkfifo "$scratch/card-out"
"$card" --link "$ports/com1" --log "$scratch/frames.log" --control "$ports/card" </dev/null >"$scratch/card-out" &
card_pid=$!
# The card announces itself once its link is there.
exec {card_fd}<"$scratch/card-out"
read -r -t 30 -u "$card_fd" ready || fail "the installed virtual card did not start"
case $ready in "vek-virtual-card: $ports/com1 -> "*) ;; *) fail "the installed virtual card said: $ready" ;; esac

status=0
"$panel" --settings "$scratch/settings.ini" --ports "$ports" --do "output 3 on" --do "wait 300" --do read \
  >"$scratch/panel.json" 2>"$scratch/panel.err" || status=$?
[ "$status" -eq 0 ] || fail "the installed panel exited with $status: $(cat "$scratch/panel.err" "$scratch/panel.json")"
grep -q '^{"event":"read".*"outputs":\[0,0,1,0,' "$scratch/panel.json" ||
  fail "the installed panel did not read the card with output 3 on: $(cat "$scratch/panel.json")"
grep -q ' 02 04 00 00 00 03 F8 valid$' "$scratch/frames.log" || fail "output 3 never reached the card: $(cat "$scratch/frames.log")"
tail -n 1 "$scratch/frames.log" | grep -q ' 02 00 00 00 00 03 FC valid$' ||
  fail "the card's last frame is not all off: $(tail -n 1 "$scratch/frames.log")"
kill "$card_pid"
wait "$card_pid" || fail "the installed virtual card did not end cleanly on SIGTERM"
card_pid=
echo "== release test: the installed panel drove the installed virtual card"

echo "== release test: the zip"
unzipped=$scratch/zip
unzip -q "$scratch/dist-one/$zip" -d "$unzipped"
(cd "$unzipped" && sha256sum --quiet -c SHA256SUMS) || fail "the zip's SHA256SUMS does not hold"
for file in vek_driver.dll INSTALL.txt example-settings.ini CHANGELOG.md; do
  [ -f "$unzipped/$file" ] || fail "the zip has no $file"
done
grep -q "^## $version"$'\r'"\$" "$unzipped/CHANGELOG.md" || fail "the zip's CHANGELOG.md has no section for $version (with CRLF line ends)"
dll=$unzipped/vek_driver.dll
"$top/tests/wine/check_pe.sh" i686-w64-mingw32-objdump "$dll" i386
IFS=. read -r major minor patch <<<"$version"
cmake -S "$top/tests/dll_check" -B "$scratch/dll_check" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVEK_EXPECTED_MAJOR="$major" -DVEK_EXPECTED_MINOR="$minor" -DVEK_EXPECTED_PATCH="$patch" \
  -DVEK_EXPECTED_VERSION="$version" "-DVEK_EXPECTED_DESCRIPTION=$description" >/dev/null
cmake --build "$scratch/dll_check" >/dev/null
"$scratch/dll_check/dll_resources_test" "$dll" i386
tested=$top/build/windows/vek_driver.dll
if [ -f "$tested" ]; then
  cmp "$dll" "$tested" || fail "the zip's DLL is not the windows preset's $tested"
  echo "== release test: the zip's DLL is byte for byte the one the windows preset built and tested"
else
  echo "== release test: not compared with the windows preset's DLL: $tested is not built"
fi
echo "== release test: passed"
