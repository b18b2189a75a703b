#!/usr/bin/env bash
# Installs what this project needs on a Debian machine, and nothing that is already there.
# Safe to run again: it only calls apt-get when a package is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev
  g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686
  wine wine32:i386
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  xvfb
  libncurses-dev tmux
  dpkg-dev file zip unzip
  clang libclang-rt-14-dev
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# wine32 lives in the i386 architecture, which a fresh machine does not have.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${missing[*]:-(package lists only)}"
  as_root apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

for tool in cmake ninja tmux zip unzip dpkg-shlibdeps clang++ i686-w64-mingw32-g++-posix i686-w64-mingw32-windres i686-w64-mingw32-objdump \
  x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres /usr/lib/wine/wine64 wine Xvfb; do
  command -v "$tool" >/dev/null || { echo "setup: $tool is still missing after the install" >&2; exit 1; }
done
