#!/usr/bin/env bash
# Builds the release from scratch and writes, in dist/:
#   vek-driver-<version>-win32.zip   the 32-bit DLL (and the Windows panel, where the build makes
#                                    it), INSTALL.txt, example-settings.ini, SHA256SUMS
#   vek-tools_<version>_<arch>.deb   the Linux panel, virtual card and driver library, with man pages
#   SHA256SUMS                       of both
# The version is project()'s. Every time inside is the commit's (SOURCE_DATE_EPOCH), so two runs
# on one commit give the same bytes, wherever they build (tests/release/release_test.sh checks it).
# Usage: scripts/release.sh [--build-dir DIR] [--dist DIR]
#   --build-dir DIR  where to build, emptied first (default build/release)
#   --dist DIR       where the packages go, emptied first (default dist)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/release
dist=$top/dist
# Folders given are taken from where the command was run.
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) [ $# -ge 2 ] || { echo "release: --build-dir needs a folder" >&2; exit 2; }; build=$(realpath -m "$2"); shift 2 ;;
    --dist) [ $# -ge 2 ] || { echo "release: --dist needs a folder" >&2; exit 2; }; dist=$(realpath -m "$2"); shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--dist DIR]" >&2; exit 2 ;;
  esac
done
# Both are emptied: never the source tree itself, nor a folder above it.
for folder in "$build" "$dist"; do
  prefix=${folder%/}/
  case $top/ in "$prefix"*) echo "release: will not empty $folder, which holds the sources" >&2; exit 2 ;; esac
done
cd "$top"

./scripts/setup.sh

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
# The archive tools write local times and month names: the same on every machine.
export TZ=UTC LC_ALL=C
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release: warning: the working tree has changes that are not committed; these packages are not the commit's" >&2
fi

rm -rf "$build" "$dist"
mkdir -p "$build" "$dist"

# configure FLAVOUR [CMAKE_ARGS...]: a Release build of what ships, and nothing else.
configure_and_build() {
  local flavour=$1
  shift
  echo "== release: build $flavour"
  cmake -S "$top" -B "$build/$flavour" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEK_RELEASE=ON "$@" >/dev/null
  cmake --build "$build/$flavour" --target vek_shipped
}

configure_and_build windows -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-i686.cmake"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/windows/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $build/windows/CMakeCache.txt" >&2; exit 1; }
# The zip: the installed files and their SHA256SUMS, in name order, with no extra fields (-X), so
# no owner and no time but the commit's.
stage=$build/windows/zip
cmake --install "$build/windows" --prefix "$stage" >/dev/null
cmake -DSTAGE="$stage" -DSUMS=ON -P "$top/packaging/stage.cmake"
(cd "$stage" && find . -type f -printf '%P\n' | sort | zip -X -D -9 -q "$dist/vek-driver-$version-win32.zip" -@)

configure_and_build linux
(cd "$build/linux" && cpack -G DEB -B "$build/linux/packages" >/dev/null)
deb=$(find "$build/linux/packages" -maxdepth 1 -name "vek-tools_${version}_*.deb")
[ -n "$deb" ] || { echo "release: cpack made no vek-tools_${version}_*.deb" >&2; exit 1; }
cp "$deb" "$dist/"

(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort | xargs -r sha256sum >SHA256SUMS)
echo "== release: $dist"
(cd "$dist" && ls -l --time-style=+ | sed 1d && cat SHA256SUMS)
