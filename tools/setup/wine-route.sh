#!/bin/sh
# Which Wine route this machine takes: prints "32" or "64", then a tab and
# the reason. The 32-bit route runs the i686 build under Wine's 32-bit
# loader; it needs a kernel that runs 32-bit Linux programs, which kernels
# built without IA32 emulation refuse ("Exec format error"). The probe runs
# a tiny static i386 program (exit 0) made here, so it needs no package.
# Route 32 also needs Wine's 32-bit side installed (wine32:i386), so the
# route is read after the packages are in (make installs them first).
#   WINE=32|64 in the environment forces a route.
#   wine-route.sh kernel   only what the kernel allows, before any package
case "${WINE:-}" in
  32) printf '32\tforced by WINE=32\n'; exit 0 ;;
  64) printf '64\tforced by WINE=64\n'; exit 0 ;;
  "") ;;
  *) echo "WINE must be 32 or 64, not '$WINE'" >&2; exit 2 ;;
esac
probe=$(mktemp /tmp/i386-probe.XXXXXX)
trap 'rm -f "$probe"' EXIT
# ELF header, one PT_LOAD program header, and: mov eax,1; xor ebx,ebx; int 0x80
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$probe"
printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$probe"
printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$probe"
printf '\000\000\000\000' >>"$probe"
printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' >>"$probe"
printf '\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000' >>"$probe"
printf '\270\001\000\000\000\061\333\315\200' >>"$probe"
chmod +x "$probe"
if err=$("$probe" 2>&1); then
  if [ "${1:-}" = kernel ]; then
    printf '32\tthis kernel runs 32-bit programs\n'
  elif dpkg -s wine32:i386 >/dev/null 2>&1 && [ -x /usr/lib/wine/wine ]; then
    # Wine's 32-bit side from the release suite says which packages it took back.
    from="$(dirname "$0")/../../build/wine32-from-release"
    printf '32\tthis machine runs 32-bit programs%s\n' "$([ -f "$from" ] && printf '; %s' "$(cat "$from")")"
  else
    printf '64\tthis machine runs 32-bit programs but has no wine32:i386 (it could not be installed)\n'
  fi
else
  printf '64\tthis kernel runs no 32-bit programs (%s)\n' "$(echo "$err" | sed 's/.*: //' | head -n1)"
fi
