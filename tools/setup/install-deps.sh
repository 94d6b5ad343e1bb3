#!/bin/sh
# Installs what the builds and tests need from Debian's packages, if missing.
#   install-deps.sh [screenshots]   with what make screenshots needs besides.
# Where the kernel runs 32-bit programs, Wine's 32-bit side (wine32:i386)
# is tried; where the kernel refuses them, or Debian's i386 packages cannot
# be installed next to this machine's (a mirror half synced leaves them at
# other versions), the x86_64 compiler is taken instead, and
# tools/setup/wine-route.sh, read afterwards, picks the 64-bit route. The
# 64-bit loader is always taken, so that the 32-bit program is tried in a
# 64-bit prefix too.
set -e
route=$(WINE="${WINE:-}" sh "$(dirname "$0")/wine-route.sh" kernel | cut -f1)
need=""
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg -s "$1" >/dev/null 2>&1; }
# With both architectures installed, a bare name of a package that has both
# is ambiguous to dpkg: such packages are asked for by architecture.
native=$(dpkg --print-architecture)
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
# The registration receiver: its HTTP server, SQLite and PostgreSQL's
# client library, and a PostgreSQL server for its tests.
[ -f /usr/include/microhttpd.h ] || need="$need libmicrohttpd-dev"
[ -f /usr/include/sqlite3.h ] || need="$need libsqlite3-dev"
[ -f /usr/include/postgresql/libpq-fe.h ] || need="$need libpq-dev"
[ -n "$(ls /usr/lib/postgresql/*/bin/postgres 2>/dev/null)" ] || need="$need postgresql"
have pkg-config || need="$need pkg-config"
# The maker's Authenticode signing step (make demo, the signed uninstaller's
# tests): Debian's osslsigncode, and openssl for the certificates.
have osslsigncode || need="$need osslsigncode"
have openssl || need="$need openssl"
# The signature tests' independent signer.
python3 -c "import cryptography" 2>/dev/null || need="$need python3-cryptography"
installed wine || need="$need wine"
# Wine's Schannel speaks TLS through GnuTLS, which it loads at run time.
installed "libgnutls30:$native" || need="$need libgnutls30"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
wine32=""
if [ "$route" = 64 ]; then
  have x86_64-w64-mingw32-g++-posix || need="$need g++-mingw-w64-x86-64-posix"
else
  # Once refused on this checkout, not tried on every make (make clean
  # forgets it).
  installed wine32:i386 || [ -f build/wine32-unavailable ] || wine32="wine32:i386 libgnutls30:i386"
  gnutls32=""
  installed wine32:i386 && ! installed libgnutls30:i386 && gnutls32="libgnutls30:i386"
fi
# Wine's own fonts, as Windows has them: MS Sans Serif for the dialogs and
# the symbol font of the caption buttons. The test prefixes map the
# dialogs' "Helv" to it.
[ -d /usr/share/wine/fonts ] && [ -n "$(ls /usr/share/wine/fonts 2>/dev/null)" ] || need="$need fonts-wine"
# make screenshots takes the windows with xwd and turns them into PNGs
# with Debian's ImageMagick (called by its Debian name, not whatever
# "convert" comes first on the PATH).
if [ "${1:-}" = screenshots ]; then
  have xwd || need="$need x11-apps"
  have xwininfo || need="$need x11-utils"
  have convert-im6.q16 || have magick || need="$need imagemagick"
fi
[ -z "$need$wine32${gnutls32:-}" ] && exit 0

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
echo "Installing:$need $wine32"
[ -n "$wine32" ] && { dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386; }
# A mirror in the middle of a sync fails an index now and then: try again,
# and go on with what was read; the install itself says what is missing.
for try in 1 2 3; do
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update -qq && break
  echo "apt-get update failed (try $try of 3)"; sleep 10
done
apt_install() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "$@" >/dev/null; }
[ -z "$need" ] || apt_install $need
[ -n "${gnutls32:-}" ] && { apt_install $gnutls32 || echo "$gnutls32 could not be installed: no TLS in Wine's 32-bit side"; }
if [ -n "$wine32" ] && ! apt_install $wine32 && ! sh "$(dirname "$0")/wine32-from-release.sh" $wine32; then
  echo "wine32:i386 could not be installed: the 64-bit Wine route is taken"
  mkdir -p build && date >build/wine32-unavailable
  have x86_64-w64-mingw32-g++-posix || apt_install g++-mingw-w64-x86-64-posix
fi
