#!/usr/bin/env bash
# Installs, on Debian 12, whatever the build and the tests need and the machine lacks.
set -euo pipefail

packages=(
  cmake ninja-build g++ git
  mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb x11-utils
  googletest
  clang libclang-rt-14-dev
  llvm  # llvm-dlltool: the foreign-build test makes MSVC-format import libraries with it
  libbenchmark-dev libmsgpack-dev libmsgpack-cxx-dev
  imagemagick procps
  iproute2 util-linux  # ip and unshare: the tunnel test's network namespace and tun device
  python3  # draws the icons and checks the committed ones; the release steps (scripts/release/)
  osslsigncode openssl  # signs and verifies the release; the tests' throwaway certificate
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
