#!/bin/sh
# Installs what the builds and tests need from Debian's packages, if missing.
set -e
need=""
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need="$need cmake"
have ninja || need="$need ninja-build"
have i686-w64-mingw32-g++-posix || need="$need mingw-w64 g++-mingw-w64-i686-posix"
have Xvfb || need="$need xvfb"
have xauth || need="$need xauth"
have xvfb-run || need="$need xvfb"
have python3 || need="$need python3"
have clang++ || need="$need clang"
# libFuzzer and the sanitizer runtimes of clang
[ -n "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] || need="$need libclang-rt-14-dev"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
wine_ok=yes
have wine || wine_ok=no
dpkg -s wine32:i386 >/dev/null 2>&1 || wine_ok=no
[ "$wine_ok" = yes ] || need="$need wine wine32:i386"
[ -z "$need" ] && exit 0

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
echo "Installing:$need"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
