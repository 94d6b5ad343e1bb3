#!/bin/sh
# Installs Wine's 32-bit side from the release suite, for a mirror whose
# i386 index of an update suite (security, most often) is missing or behind
# its amd64 index. Packages installed for both architectures must be at one
# version; an amd64 package already at an update the i386 side cannot have
# blocks its i386 twin. Those few, and only those that Wine's 32-bit side
# needs, are taken back to the version the i386 side has.
#   wine32-from-release.sh PACKAGE:i386...
# Writes build/wine32-from-release (the packages taken back, and why), which
# tools/setup/wine-route.sh shows on the route's line.
set -u
. /etc/os-release
release=${VERSION_CODENAME:?no release name in /etc/os-release}
native=$(dpkg --print-architecture)
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

# Every package Wine's 32-bit side depends on, as i386 names.
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null |
  sed -n 's/^\([a-z0-9][a-z0-9.+-]*\):i386$/\1/p' | sort -u)

# Installed packages of this machine's architecture that must share their
# version with an i386 twin (Multi-Arch: same), among those.
shared=$(dpkg-query -W -f='${Package} ${Multi-Arch} ${db:Status-Abbrev} ${Version}\n' 2>/dev/null |
  awk '$2 == "same" && $3 ~ /^ii/ { print $1, $4 }' | sort -k1,1 |
  join - "$(printf '%s\n' $closure | sort >"${TMPDIR:-/tmp}/w32closure.$$"; echo "${TMPDIR:-/tmp}/w32closure.$$")")
rm -f "${TMPDIR:-/tmp}/w32closure.$$"
names=$(printf '%s\n' "$shared" | awk 'NF { print $1 }')

# One question to apt for every version offered of those, both sides: the
# ones whose installed version has no i386 twin are taken back to the
# release's version, where the release has it for both.
back="" why=""
if [ -n "$names" ]; then
  # Lines of "package architecture version suite/component".
  table=$(apt-cache madison $(printf '%s:i386 ' $names) $(printf "%s:$native " $names) 2>/dev/null |
    awk -F'|' '{ gsub(/ /, "", $1); sub(/:.*/, "", $1); gsub(/ /, "", $2); split($3, w, " ");
                 print $1, w[3], $2, w[2] }' | sort -u)
  while read -r p have; do
    [ -n "$p" ] || continue
    offered() { printf '%s\n' "$table" | awk -v p="$p" -v a="$1" -v s="$2" '$1 == p && $2 == a && index($4, s) == 1 { print $3; exit }'; }
    # The i386 side offers the installed version: nothing to take back.
    printf '%s\n' "$table" | awk -v p="$p" -v v="$have" '$1 == p && $2 == "i386" && $3 == v { f = 1 } END { exit !f }' && continue
    v32=$(offered i386 "$release/")
    # An older one apt brings up to the release's by itself.
    [ -n "$v32" ] && dpkg --compare-versions "$have" gt "$v32" || continue
    [ "$(offered "$native" "$release/")" = "$v32" ] || continue
    back="$back $p:$native=$v32"
    why="$why $p ($have has no i386 twin; $v32 from $release)"
  done <<EOT
$shared
EOT
fi

echo "Installing $* from $release${back:+, taking back:$back}"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
  --no-install-recommends --allow-downgrades -t "$release" "$@" $back >/dev/null || exit 1
mkdir -p build
echo "wine32:i386 from $release${why:+; taken back to $release's versions:$why}" >build/wine32-from-release
