#!/usr/bin/env bash
# Builds a release of the suite from the working tree and puts into DIST (dist/):
#   serial-service-suite-VERSION-windows-x86.zip   32-bit Windows programs
#   serial-service-suite-VERSION-windows-x64.zip   64-bit Windows programs
#   serial-service-suite_VERSION_amd64.deb          Debian package of the console tools
#   SHA256SUMS                                      of the three
#
#   scripts/release.sh [--build DIR] [--dist DIR]
#
# The builds go to DIR (default build-release): DIR/native, DIR/win64, DIR/win32, and
# the package trees under DIR/stage. VERSION is the CMake project version
# (CMakeLists.txt), the one place it is kept.
#
# Reproducible: the same commit gives byte-identical files wherever and whenever it is
# built. Every time stamp is SOURCE_DATE_EPOCH (default: the last commit's time), the
# source and build folders are mapped to "." and "build" in what the compilers write,
# the PE header's time stamp is left at 0, the archives list their files sorted with
# fixed times and modes, and locale and umask are fixed.
set -euo pipefail
export LC_ALL=C TZ=UTC
umask 022
cd "$(dirname "$0")/.."
src=$PWD

build=$src/build-release
dist=$src/dist
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --dist) dist=$2; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--build DIR] [--dist DIR]" >&2; exit 2 ;;
  esac
done
mkdir -p "$build" "$dist"
build=$(cd "$build" && pwd -P)
dist=$(cd "$dist" && pwd -P)
jobs=${JOBS:-2}

scripts/deps.sh release

version=$(sed -n 's/^project(SerialServiceSuite VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project VERSION in CMakeLists.txt" >&2; exit 1; }
# The project changelog's first entry is this version's.
first_entry=$(sed -n 's/^## \([0-9][0-9.]*\).*/\1/p' CHANGELOG.md | head -n1)
[ "$first_entry" = "$version" ] ||
  { echo "CHANGELOG.md: first entry is \"$first_entry\", the version is $version" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
echo "release $version, time stamp $SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC'))"
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  echo "warning: the working tree has uncommitted changes" >&2
fi

name=serial-service-suite
console_tools=(dunmere solvane tirell quarrow)
dialog_programs=(Dunmere Solvane Tirell Quarrow)

release_build() { # dir, cmake args...
  local dir=$1; shift
  local map="-ffile-prefix-map=$src=. -ffile-prefix-map=$dir=build"
  cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_C_FLAGS="$map" -DCMAKE_CXX_FLAGS="$map" "$@" >"$dir.configure.log" ||
    { cat "$dir.configure.log" >&2; return 1; }
}
build_targets() { # dir, targets...
  local dir=$1; shift
  nice -n 15 cmake --build "$dir" -j "$jobs" --target "$@"
}

# --- the builds ------------------------------------------------------------------
mkdir -p "$build/native" "$build/win64" "$build/win32"
# With the optimisation and hardening Debian builds its packages with.
release_build "$build/native" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG -D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG -D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE="-Wl,-z,relro,-z,now"
build_targets "$build/native" "${console_tools[@]}" device-sim
win_targets=("${dialog_programs[@]}" "${console_tools[@]}")
# -s: no symbol table; --no-insert-timestamp: the PE header's time stamp stays 0.
win_link="-s -Wl,--no-insert-timestamp"
release_build "$build/win64" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-x86_64.cmake" \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE="$win_link"
build_targets "$build/win64" "${win_targets[@]}"
release_build "$build/win32" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE="$win_link"
build_targets "$build/win32" "${win_targets[@]}"
scripts/check_imports.sh "$build/win64" "$build/win32" >"$build/check_imports.log" ||
  { cat "$build/check_imports.log" >&2; exit 1; }

stage=$build/stage
rm -rf "$stage"
mkdir -p "$stage"

# Every file and folder of a tree gets the release's time stamp.
clamp_times() { # dir
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# --- the Windows zips --------------------------------------------------------------
windows_zip() { # build dir, arch name (x86, x64), bits
  local dir=$1 arch=$2 bits=$3
  local folder=$name-$version-windows-$arch
  local tree=$stage/$folder
  mkdir -p "$tree"
  local exe
  for exe in "${dialog_programs[@]}"; do install -m 0644 "$dir/bin/$exe.exe" "$tree/"; done
  for exe in "${console_tools[@]}"; do install -m 0644 "$dir/bin/$exe-cli.exe" "$tree/"; done
  sed -e "s/@VERSION@/$version/g" -e "s/@BITS@/$bits/g" packaging/windows/README.txt |
    sed 's/$/\r/' >"$tree/README.txt"
  chmod 0644 "$tree/README.txt"
  (cd "$tree" && find . -type f ! -name SHA256SUMS -printf '%P\n' | sort | xargs sha256sum >SHA256SUMS)
  chmod 0644 "$tree/SHA256SUMS"
  clamp_times "$tree"
  python3 scripts/release_zip.py "$stage" "$folder" "$dist/$folder.zip"
}
windows_zip "$build/win32" x86 32
windows_zip "$build/win64" x64 64

# --- the Debian package --------------------------------------------------------------
deb_version=$version
arch=$(dpkg --print-architecture)
root=$stage/deb
doc=$root/usr/share/doc/$name
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$doc" \
  "$root/usr/lib/udev/rules.d" "$root/usr/share/bash-completion/completions"
for tool in "${console_tools[@]}" device-sim; do
  install -m 0755 "$build/native/bin/$tool" "$root/usr/bin/$tool"
  strip --strip-unneeded --remove-section=.comment "$root/usr/bin/$tool"
done

# A man page a program, from its own --help and --version. help2man takes the usage
# lines after the first for the description unless they start with "or:".
wrap=$build/help2man
rm -rf "$wrap"
mkdir -p "$wrap"
for tool in "${console_tools[@]}" device-sim; do
  printf '#!/bin/sh\n"%s" "$@" | sed -E "s/^       (%s) /   or: \\1 /"\n' \
    "$root/usr/bin/$tool" "$tool" >"$wrap/$tool"
  chmod 0755 "$wrap/$tool"
done
for tool in "${console_tools[@]}" device-sim; do
  case $tool in
    dunmere) what="erase the device's flash over a serial line" ;;
    solvane) what="update the device's firmware through its IAP loader" ;;
    tirell) what="update the device's firmware through the second IAP loader" ;;
    quarrow) what="write a whole-flash image to the device" ;;
    device-sim) what="simulated device for the serial service tools" ;;
  esac
  help2man --no-info --no-discard-stderr --section=1 --source="$name $version" \
    --name="$what" --include=packaging/debian/man-see-also.h2m \
    "$wrap/$tool" >"$build/$tool.1"
  gzip -9n <"$build/$tool.1" >"$root/usr/share/man/man1/$tool.1.gz"
done

install -m 0644 packaging/udev/60-serial-service-suite.rules "$root/usr/lib/udev/rules.d/"
# bash loads a command's completion from a file of its name.
install -m 0644 packaging/bash-completion/serial-service-suite \
  "$root/usr/share/bash-completion/completions/dunmere"
for tool in solvane tirell quarrow device-sim; do
  ln -s dunmere "$root/usr/share/bash-completion/completions/$tool"
done

install -m 0644 README.md "$doc/README.md"
install -m 0644 packaging/debian/copyright "$doc/copyright"
gzip -9n <CHANGELOG.md >"$doc/changelog.gz"
maintainer=$(sed -n 's/^Maintainer: //p' packaging/debian/control.in)
{
  echo "$name ($deb_version) stable; urgency=medium"
  echo
  echo "  * Release $version: see changelog.gz."
  echo
  echo " -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.Debian.gz"
chmod 0644 "$doc"/*

# Depends: the packages of the shared libraries the programs link, as dpkg-shlibdeps
# finds them (it wants a debian/control to read).
shlib=$build/shlibdeps
rm -rf "$shlib"
mkdir -p "$shlib/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$name" "$name" >"$shlib/debian/control"
depends=$(cd "$shlib" && dpkg-shlibdeps -O "${console_tools[@]/#/$root/usr/bin/}" "$root/usr/bin/device-sim" |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

installed_size=$(du -sk --apparent-size "$root/usr" | cut -f1)
sed -e "s/@VERSION@/$deb_version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
  -e "s/@SIZE@/$installed_size/" packaging/debian/control.in >"$root/DEBIAN/control"
(cd "$root" && find usr -type f -printf '%P\n' | sort | sed 's|^|usr/|' | xargs md5sum >DEBIAN/md5sums)
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
clamp_times "$root"
deb=$dist/${name}_${deb_version}_$arch.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null

# --- the sums ------------------------------------------------------------------------
(cd "$dist" && sha256sum "$name-$version-windows-x86.zip" "$name-$version-windows-x64.zip" \
  "$(basename "$deb")" >SHA256SUMS)
echo "release in $dist:"
(cd "$dist" && ls -l "$name-$version-windows-x86.zip" "$name-$version-windows-x64.zip" "$(basename "$deb")" SHA256SUMS)
