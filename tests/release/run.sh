#!/usr/bin/env bash
# Tests of a release (scripts/release.sh), as its users get it:
#   1. reproducible: the release built twice, in two folders at two times (the second
#      from scratch, with another umask and locale), gives the same bytes in every
#      file: the zips, the .deb, the SHA256SUMS, every executable and packaged file;
#   2. the .deb: lintian reports no error; installed with dpkg into a fresh Debian 12
#      root (debootstrap, minbase, with man-db), its programs run from /usr/bin in a
#      chroot (quarrow --simulate, dunmere --simulate), "man quarrow" renders, the
#      bash completion loads, and dpkg -r, dpkg -P leave the root's files as before;
#   3. each Windows zip unpacked into a fresh Wine prefix: its SHA256SUMS checks,
#      quarrow-cli.exe writes an image to device-sim on COM1, and Quarrow.exe does the
#      same as a person drives it (the GUI case "a two-page image"). The 32-bit zip is
#      skipped, with one line, where there is no 32-bit Wine (as tests/wine/run.sh).
#
#   tests/release/run.sh [--work DIR] [--wine-build64 DIR] [--wine-build32 DIR]
#
# DIR (default build-release-test) holds the two releases (a/ is kept and rebuilt
# incrementally, b/ is built anew every time), the Debian root's cache and the Wine
# prefixes. The Wine builds (default build-win64, build-win32: configured with
# BUILD_TESTING=ON) provide the GUI driver, harness/guidriver.exe.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=$root/build-release-test
wine64_build=$root/build-win64
wine32_build=$root/build-win32
while [ $# -gt 0 ]; do
  case $1 in
    --work) work=$2; shift 2 ;;
    --wine-build64) wine64_build=$2; shift 2 ;;
    --wine-build32) wine32_build=$2; shift 2 ;;
    *) echo "usage: $0 [--work DIR] [--wine-build64 DIR] [--wine-build32 DIR]" >&2; exit 2 ;;
  esac
done
mkdir -p "$work"
work=$(cd "$work" && pwd)
# The Windows builds are linked from the unpacked folders: whole paths, not relative ones.
absolute() { case $1 in /*) printf '%s' "$1" ;; *) printf '%s/%s' "$root" "$1" ;; esac; }
wine64_build=$(absolute "$wine64_build")
wine32_build=$(absolute "$wine32_build")

failures=0 passes=0
pass() { echo "    ok: $*"; passes=$((passes + 1)); }
fail() { echo "    FAIL: $*" >&2; failures=$((failures + 1)); }
step() { printf -- '--- %s\n' "$*"; }
timer_start=$SECONDS

version=$(sed -n 's/^project(SerialServiceSuite VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=serial-service-suite
deb_name=${name}_${version}_amd64.deb

# --- 1. two builds, byte for byte ------------------------------------------------------
step "release build a (incremental)"
start=$SECONDS
scripts/release.sh --build "$work/a/build" --dist "$work/a/dist" >"$work/a.log" 2>&1 ||
  { tail -n 40 "$work/a.log" >&2; echo "release build a failed (log: $work/a.log)" >&2; exit 1; }
echo "    $((SECONDS - start)) s"
step "release build b (from scratch, umask 077, another locale)"
start=$SECONDS
rm -rf "$work/b"
(umask 077; LC_ALL=C.UTF-8 LANG=C.UTF-8 TZ=Pacific/Kiritimati \
  scripts/release.sh --build "$work/b/build" --dist "$work/b/dist") >"$work/b.log" 2>&1 ||
  { tail -n 40 "$work/b.log" >&2; echo "release build b failed (log: $work/b.log)" >&2; exit 1; }
echo "    $((SECONDS - start)) s"

# Every file of the dist folders, the package trees and the programs built.
compared=0 differ=0
compare_tree() { # relative folder under a/ and b/
  local rel=$1 f
  [ -d "$work/a/$rel" ] || { fail "no folder a/$rel"; return; }
  if ! diff <(cd "$work/a/$rel" && find . -printf '%y %m %P\n' | sort) \
            <(cd "$work/b/$rel" && find . -printf '%y %m %P\n' | sort) >"$work/tree.diff"; then
    fail "a/$rel and b/$rel hold different files or modes:"; head -n 20 "$work/tree.diff" >&2
    differ=$((differ + 1))
  fi
  while IFS= read -r f; do
    compared=$((compared + 1))
    if ! cmp -s "$work/a/$rel/$f" "$work/b/$rel/$f"; then
      differ=$((differ + 1))
      fail "$rel/$f differs between the two builds (cmp -l: offset, byte a, byte b):"
      { cmp -l "$work/a/$rel/$f" "$work/b/$rel/$f" 2>&1 || true; } | head -n 10 >&2
    fi
  done < <(cd "$work/a/$rel" && find . -type f -printf '%P\n' | sort)
}
compare_tree dist
compare_tree build/stage
compare_tree build/native/bin
compare_tree build/win64/bin
compare_tree build/win32/bin
# The static libraries and compiled resources the programs are linked from, too: a
# time stamp there would come out in a later release's programs.
while IFS= read -r f; do
  compared=$((compared + 1))
  cmp -s "$work/a/build/$f" "$work/b/build/$f" || { differ=$((differ + 1)); fail "build/$f differs between the two builds"; }
done < <(cd "$work/a/build" && find native win64 win32 \( -name '*.a' -o -name '*.res' \) -printf '%p\n' | sort)
[ "$differ" -eq 0 ] && pass "the two builds agree in all $compared files"
(cd "$work/a/dist" && sha256sum --quiet -c SHA256SUMS) && pass "dist/SHA256SUMS" || fail "dist/SHA256SUMS"
dist=$work/a/dist

# --- 2. the Debian package -------------------------------------------------------------
step "lintian"
if lintian --fail-on error "$dist/$deb_name" >"$work/lintian.log" 2>&1; then
  pass "lintian: no error ($(grep -c '^W:' "$work/lintian.log" || true) warnings)"
else
  fail "lintian:"; grep '^E:' "$work/lintian.log" >&2 || cat "$work/lintian.log" >&2
fi
grep '^W:' "$work/lintian.log" || true

step "the package in a fresh Debian 12 root"
# The mirror apt uses here (its deb822 or one-line sources), for debootstrap.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null | grep -v security | head -n1)
mirror=${mirror:-http://deb.debian.org/debian}
cache=$work/debian12-minbase.tar
if [ ! -s "$cache" ]; then
  echo "    debootstrap bookworm from $mirror (once; cached in $cache)"
  rm -rf "$work/bootstrap"
  debootstrap --variant=minbase --include=man-db bookworm "$work/bootstrap" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
  tar -C "$work/bootstrap" -cf "$cache.part" .
  mv "$cache.part" "$cache"
  rm -rf "$work/bootstrap"
fi
chroot_dir=$work/root
rm -rf "$chroot_dir"
mkdir -p "$chroot_dir"
tar -C "$chroot_dir" -xf "$cache"
mount -t proc proc "$chroot_dir/proc"
trap 'umount "$chroot_dir/proc" 2>/dev/null || true' EXIT
cp "$dist/$deb_name" "$chroot_dir/tmp/"
in_root() { LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin chroot "$chroot_dir" "$@"; }
# The root's files (type, mode, owner, path), but for dpkg's own records and logs.
snapshot() {
  in_root find / -xdev \( -path /proc -o -path /tmp -o -path /var/lib/dpkg -o -path /var/log \
    -o -path /var/cache/man -o -path /var/cache/debconf \) -prune -o -printf '%y %m %u:%g %p\n' | sort
}
snapshot >"$work/root-before.txt"
if in_root dpkg -i "/tmp/$deb_name" >"$work/dpkg-i.log" 2>&1; then
  pass "dpkg -i (Depends: $(dpkg-deb -f "$dist/$deb_name" Depends))"
else
  fail "dpkg -i:"; cat "$work/dpkg-i.log" >&2
fi
run_in_root() { # what expected-last-line command...
  local what=$1 expected=$2; shift 2
  local out status=0
  out=$(in_root "$@" 2>"$work/root-stderr.txt") || status=$?
  if [ "$status" -eq 0 ] && [ "$(printf '%s\n' "$out" | tail -n1)" = "$expected" ]; then
    pass "$what: status 0, \"$expected\""
  else
    fail "$what: status $status, output: $(printf '%s' "$out" | tail -n3)"; tail -n 5 "$work/root-stderr.txt" >&2
  fi
}
run_in_root "/usr/bin/quarrow --simulate" "Updata success!" /usr/bin/quarrow --simulate
run_in_root "/usr/bin/dunmere --simulate" "Finish" /usr/bin/dunmere --simulate
run_in_root "quarrow --version" "quarrow $version" quarrow --version
run_in_root "device-sim --version" "device-sim $version" device-sim --version
man_page=$(in_root env MANPAGER=cat MANWIDTH=80 man quarrow 2>&1) || true
if grep -q 'write a whole-flash image' <<<"$man_page" && grep -q -- '--max-rejects' <<<"$man_page"; then
  pass "man quarrow renders ($(wc -l <<<"$man_page") lines)"
else
  fail "man quarrow: $(head -n 5 <<<"$man_page")"
fi
# The completion: the options from --help, and the port names.
cp tests/release/completion.sh "$chroot_dir/tmp/"
if completion=$(in_root bash /tmp/completion.sh /usr/share/bash-completion/completions/quarrow /tmp 2>&1); then
  pass "bash completion: $(grep -c '^ok:' <<<"$completion") answers"
else
  fail "bash completion: $completion"
fi
in_root dpkg -r "$name" >"$work/dpkg-r.log" 2>&1 || { fail "dpkg -r:"; cat "$work/dpkg-r.log" >&2; }
left=$(in_root dpkg -L "$name" 2>/dev/null | while read -r f; do [ -f "$chroot_dir$f" ] && echo "$f"; done || true)
[ -z "$left" ] && pass "dpkg -r removes every file" || fail "left after dpkg -r: $left"
in_root dpkg -P "$name" >"$work/dpkg-P.log" 2>&1 || { fail "dpkg -P:"; cat "$work/dpkg-P.log" >&2; }
snapshot >"$work/root-after.txt"
if diff "$work/root-before.txt" "$work/root-after.txt" >"$work/root.diff"; then
  pass "after dpkg -P the root's $(wc -l <"$work/root-after.txt") files are as before"
else
  fail "dpkg -P left the root changed:"; head -n 20 "$work/root.diff" >&2
fi
in_root dpkg -s "$name" >/dev/null 2>&1 && fail "dpkg still knows the package after -P" || true
umount "$chroot_dir/proc"
trap - EXIT

# --- 3. the Windows zips under Wine ----------------------------------------------------
native=$work/a/build/native
for arch in x64 x86; do
  step "the windows-$arch zip in a fresh Wine prefix"
  case $arch in x64) wine_build=$wine64_build ;; x86) wine_build=$wine32_build ;; esac
  folder=$name-$version-windows-$arch
  place=$work/wine-$arch
  rm -rf "$place"
  mkdir -p "$place/unpacked" "$place/build"
  (cd "$place/unpacked" && unzip -q "$dist/$folder.zip")
  if [ ! -d "$place/unpacked/$folder" ] || [ "$(ls "$place/unpacked")" != "$folder" ]; then
    fail "the zip holds $(ls "$place/unpacked"), not the one folder $folder"; continue
  fi
  (cd "$place/unpacked/$folder" && sha256sum --quiet -c SHA256SUMS) &&
    pass "sha256sum -c SHA256SUMS in $folder" || fail "SHA256SUMS of $folder"
  expected="Dunmere.exe Quarrow.exe README.txt SHA256SUMS Solvane.exe Tirell.exe dunmere-cli.exe quarrow-cli.exe solvane-cli.exe tirell-cli.exe"
  [ "$(ls "$place/unpacked/$folder" | tr '\n' ' ' | sed 's/ $//')" = "$expected" ] &&
    pass "the folder holds the eight programs, README.txt and SHA256SUMS" ||
    fail "the folder holds: $(ls "$place/unpacked/$folder" | tr '\n' ' ')"
  # tests/wine/run.sh takes a build folder: here bin/ is the unpacked folder and the
  # prefix (BUILD/wine) is new.
  ln -s "../unpacked/$folder" "$place/build/bin"
  ln -s "$wine_build/harness" "$place/build/harness"
  log=$place/wine-cli.log
  if SUITE_NATIVE_BUILD=$native tests/wine/run.sh "$place/build" --exec \
       bash tests/release/wine_console.sh "$place/build/bin" "$native/bin/device-sim" "$place" >"$log" 2>&1; then
    if grep -q '^32-bit Wine run of .* skipped' "$log"; then
      grep '^32-bit Wine run of .* skipped' "$log"
      continue
    fi
    pass "$(tail -n1 "$log")"
  else
    fail "quarrow-cli.exe under Wine:"; tail -n 20 "$log" >&2
    continue
  fi
  if [ ! -f "$wine_build/harness/guidriver.exe" ]; then
    fail "no GUI driver $wine_build/harness/guidriver.exe (build that folder with BUILD_TESTING=ON)"
    continue
  fi
  log=$place/wine-gui.log
  if SUITE_NATIVE_BUILD=$native tests/wine/run.sh "$place/build" tests/wine/gui/cases/quarrow.sh \
       -- "a two-page image" >"$log" 2>&1; then
    pass "Quarrow.exe from the unpacked folder: $(grep -c '    ok:' "$log") checks of \"a two-page image\""
  else
    fail "Quarrow.exe under Wine:"; tail -n 30 "$log" >&2
  fi
done

echo "release tests: $((SECONDS - timer_start)) s"
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
