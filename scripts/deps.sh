#!/usr/bin/env bash
# Installs the Debian packages the suite needs. Usage: scripts/deps.sh [native|release|all]
#   native: compilers, CMake, GoogleTest (enough to build and run the Linux programs)
#           and clang-format-14, which keeps the sources' layout (scripts/check_format.sh)
#   all:    also clang for the fuzzers, mingw-w64 for the Windows programs, and
#           wine64 with Xvfb to run the Windows tests (with Wine's own fonts, a CJK
#           font for the Chinese texts, ImageMagick for the screenshots, and jq for
#           the console programs' JSON lines); wine32
#           (an i386 package: the i386 architecture is added) and gcc-multilib (its
#           32-bit pty shim) to run the tests of the 32-bit build too; and what
#           "release" needs, with lintian, debootstrap and man-db for its tests
#   release: the native and Windows compilers, help2man, dpkg-dev (dpkg-shlibdeps),
#           python3 (the zips): what scripts/release.sh needs
set -euo pipefail
set_name=${1:-all}

pkgs=(build-essential cmake ninja-build googletest libgtest-dev clang-format-14)
if [ "$set_name" = release ] || [ "$set_name" = all ]; then
  pkgs+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 help2man dpkg-dev python3 xz-utils)
fi
if [ "$set_name" = all ]; then
  pkgs+=(clang libclang-rt-14-dev
         g++-mingw-w64-x86-64 g++-mingw-w64-i686
         wine64 wine32:i386 gcc-multilib xvfb xauth
         fonts-wine fonts-wqy-microhei imagemagick jq
         lintian debootstrap man-db zip unzip)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one index now and then; the others are still good,
# so an update that fails is tried again and, at worst, what it fetched is used.
for try in 1 2 3; do
  apt-get update -qq && break
  echo "apt-get update failed (try $try of 3)" >&2
  sleep 5
done
# The i386 packages come from the mirror's i386 indexes, which can lag behind the
# amd64 ones (then apt finds no consistent set): everything else is installed first,
# and a failure of the i386 set only leaves the 32-bit Wine run out, which
# tests/wine/run.sh then skips with a line saying why.
own=() foreign=()
for p in "${missing[@]}"; do
  case $p in *:i386) foreign+=("$p") ;; *) own+=("$p") ;; esac
done
[ ${#own[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${own[@]}"
if [ ${#foreign[@]} -gt 0 ] && ! apt-get install -y -qq --no-install-recommends "${foreign[@]}"; then
  echo "warning: could not install ${foreign[*]}: the 32-bit Wine run will be skipped" >&2
fi
