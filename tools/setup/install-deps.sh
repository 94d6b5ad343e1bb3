#!/bin/sh
# Installs what the builds and tests need from Debian's packages, if missing.
#   install-deps.sh [32|64] [screenshots]   the Wine route (tools/setup/wine-route.sh),
# and what make screenshots needs besides;
# route 64 adds the x86_64 compiler and Wine's 64-bit loader and leaves out
# the 32-bit loader, which such a machine cannot start. Route 32 also takes
# the 64-bit loader where Debian has it, so the 32-bit program is tried in a
# 64-bit prefix too.
set -e
route=${1:-32}
need=""
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg -s "$1" >/dev/null 2>&1; }
have cmake || need="$need cmake"
have ninja || need="$need ninja-build"
# The shipped program is the i686 build on both routes.
have i686-w64-mingw32-g++-posix || need="$need mingw-w64 g++-mingw-w64-i686-posix"
have Xvfb || need="$need xvfb"
have xauth || need="$need xauth"
have xvfb-run || need="$need xvfb"
have python3 || need="$need python3"
have clang++ || need="$need clang"
have clang-format-14 || need="$need clang-format-14"
# libFuzzer and the sanitizer runtimes of clang
[ -n "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] || need="$need libclang-rt-14-dev"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
# libcrypto: the host side's SHA-256 and signatures, and the builder's keys.
[ -f /usr/include/openssl/evp.h ] || need="$need libssl-dev"
# The network tests' real peers: a web server and a proxy on 127.0.0.1.
[ -x /usr/sbin/nginx ] || need="$need nginx-light"
have tinyproxy || need="$need tinyproxy"
have curl || need="$need curl"
# The signature tests' independent signer.
python3 -c "import cryptography" 2>/dev/null || need="$need python3-cryptography"
installed wine || need="$need wine"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
if [ "$route" = 64 ]; then
  have x86_64-w64-mingw32-g++-posix || need="$need g++-mingw-w64-x86-64-posix"
else
  installed wine32:i386 || need="$need wine32:i386"
fi
# make screenshots takes the windows with xwd.
[ "$2" = screenshots ] && { have xwd || need="$need x11-apps"; }
[ -z "$need" ] && exit 0

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
echo "Installing:$need"
case "$need" in
  *:i386*)
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386 ;;
esac
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
