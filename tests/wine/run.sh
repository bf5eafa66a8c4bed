#!/usr/bin/env bash
# Runs the Windows test programs of a mingw-w64 build (x86_64 or i686) under Wine, with
# the serial ports mapped to pseudo-terminals.
#
#   tests/wine/run.sh BUILD_DIR [PROGRAM.exe|CASES.sh ...] [-- ARGS...]
#   tests/wine/run.sh BUILD_DIR --exec COMMAND [ARGS...]
#
# BUILD_DIR is a build configured with cmake/mingw-x86_64.cmake or cmake/mingw-i686.cmake
# (told apart by the PE header of its programs); without program names every
# BUILD_DIR/tests/*.exe runs, then every GUI case file tests/wine/gui/cases/*.sh, then
# the console programs' cases tests/wine/console/cases.sh.
# ARGS go to each: GoogleTest options to the programs, case names to the case files.
# Exit status is non-zero when a program or a case fails.
# --exec runs a native command in the prepared environment instead (for debugging:
# "$WINE" is the loader, LD_PRELOAD is set), and exits with its status.
#
# What it sets up, all under BUILD_DIR/wine (nothing outside it but the X display):
#   - its own Xvfb on a free display number;
#   - a Wine prefix (created with wineboot on the first run, then reused): prefix for
#     an x86_64 build, run by wine64; prefix-win32 (WINEARCH=win32) for an i686 build,
#     run by the 32-bit loader /usr/lib/wine/wine (Debian wine32:i386). Where the
#     kernel runs no 32-bit x86 programs, or wine32 or gcc -m32 (gcc-multilib) is
#     missing, an i686 build's run is skipped with one line saying why, status 0;
#   - eight null-modem pairs of pseudo-terminals (tests/wine/ptypair.c): COMn for
#     n = 1..8 is the engine's port, COM(n+10) is the device end the test drives;
#     COM9 is mapped to a path that does not exist (a port whose device is missing);
#   - the mapping in the registry under HKLM\Software\Wine\Ports, which Wine reads
#     when its services start (symlinks in dosdevices would be rewritten);
#   - LD_PRELOAD of tests/wine/ptymodem.c, which answers the modem-line ioctls on
#     ptys (without it Wine aborts every overlapped WaitCommEvent on a pty); for an
#     i686 build a 32-bit copy too (gcc -m32), each process taking its own through
#     ld.so's $LIB (lib/x86_64-linux-gnu or lib/i386-linux-gnu under BUILD_DIR/wine).
# The test programs learn the layout from SUITE_WINE_PEER_OFFSET,
# SUITE_WINE_MISSING_PORT and SUITE_WINE_PORT_DIR (the directory of the links, of the
# relay's byte counters and of its control FIFO; see ptypair.c).
# GUI and console cases (tests/wine/gui/harness.sh) run natively with WINE, HARNESS_BUILD,
# HARNESS_NATIVE (the native build with bin/device-sim: SUITE_NATIVE_BUILD, default
# build) and HARNESS_OUT (BUILD_DIR/wine/gui: their output and screenshots); the
# prefix maps the font 宋体/SimSun to WenQuanYi Micro Hei, so Chinese texts are legible.
# Ends with wineserver -k.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [PROGRAM.exe ...] [-- GTEST_ARGS...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
exec_command=()
if [ "${1:-}" = "--exec" ]; then
  shift
  exec_command=("$@")
  set --
fi
programs=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case $1 in *.sh) programs+=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")") ;; *) programs+=("$1") ;; esac
  shift
done
[ "${1:-}" = "--" ] && shift
gtest_args=("$@")
if [ ${#programs[@]} -eq 0 ] && [ ${#exec_command[@]} -eq 0 ]; then
  shopt -s nullglob
  programs=("$build"/tests/*.exe "$here"/gui/cases/*.sh "$here"/console/cases.sh)
  shopt -u nullglob
fi
if [ ${#programs[@]} -eq 0 ] && [ ${#exec_command[@]} -eq 0 ]; then
  echo "no test programs in $build/tests (configure with BUILD_TESTING=ON)" >&2
  exit 1
fi

# The build's architecture, from the PE header of one of its programs: the machine
# field (0x14c i386, 0x8664 x86-64) at 4 bytes past the offset stored at 0x3c.
pe_machine() { # file
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  [ -n "$offset" ] && od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}
sample=
for f in "$build"/bin/*.exe "$build"/tests/*.exe; do [ -f "$f" ] && { sample=$f; break; }; done
machine=
[ -n "$sample" ] && machine=$(pe_machine "$sample")
case $machine in
  014c) arch=i686 ;;
  8664|"") arch=x86_64 ;;
  *) echo "$sample: unknown PE machine type 0x$machine" >&2; exit 1 ;;
esac

wineserver=/usr/lib/wine/wineserver
peer_offset=10
missing_port=9
program_timeout=${WINE_TEST_TIMEOUT:-600}
cc=${CC_NATIVE:-cc}

work=$build/wine
ports=$work/ports
mkdir -p "$work" "$ports"
if [ "$arch" = i686 ]; then
  wine=/usr/lib/wine/wine
  skip32() { echo "32-bit Wine run of $build skipped: $*"; exit 0; }
  [ -x "$wine" ] || skip32 "no 32-bit Wine ($wine; Debian package wine32:i386)"
  echo 'int main(void) { return 0; }' >"$work/probe32.c"
  "$cc" -m32 -o "$work/probe32" "$work/probe32.c" 2>"$work/probe32.err" ||
    skip32 "$cc -m32 cannot build 32-bit programs (Debian package gcc-multilib)"
  "$work/probe32" 2>>"$work/probe32.err" || skip32 "this kernel does not run 32-bit x86 programs"
  "$wine" --version >/dev/null 2>"$work/wine32.err" ||
    skip32 "$wine does not start: $(head -c 200 "$work/wine32.err" | tr '\n' ' ')"
  export WINEARCH=win32
  export WINEPREFIX=$work/prefix-win32
else
  wine=/usr/lib/wine/wine64
  export WINEPREFIX=$work/prefix
fi
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: the tests need neither, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="

relay_pid= xvfb_pid=
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Native helpers, rebuilt when their sources change.
build_native() { # output, source, flags...
  local out=$1 src=$2; shift 2
  if [ ! -x "$out" ] || [ "$src" -nt "$out" ]; then
    mkdir -p "$(dirname "$out")"
    "$cc" -Wall -Wextra -O2 -o "$out" "$src" "$@"
  fi
}
if [ "$arch" = i686 ]; then
  # Wine's processes are 32-bit, the native ones (device-sim, the shell) 64-bit: ld.so
  # expands $LIB to each one's own library folder, lib/<multiarch>.
  build_native "$work/lib/$("$cc" -print-multiarch)/ptymodem.so" "$here/ptymodem.c" -shared -fPIC -ldl
  build_native "$work/lib/$("$cc" -m32 -print-multiarch)/ptymodem.so" "$here/ptymodem.c" -m32 -shared -fPIC -ldl
  preload="$work/\$LIB/ptymodem.so"
else
  build_native "$work/ptymodem.so" "$here/ptymodem.c" -shared -fPIC -ldl
  preload=$work/ptymodem.so
fi
build_native "$work/ptypair" "$here/ptypair.c" -lutil

# Our own X server on a display number it picks itself.
rm -f "$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start (see $work/xvfb.log)" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

# The pty pairs: engine end comN, device end peerN.
pairs=()
for n in 1 2 3 4 5 6 7 8; do pairs+=("com$n:peer$n"); done
rm -f "$work/ptypair.out"
"$work/ptypair" "$ports" "${pairs[@]}" >"$work/ptypair.out" &
relay_pid=$!
for _ in $(seq 100); do grep -q ready "$work/ptypair.out" 2>/dev/null && break; sleep 0.05; done
grep -q ready "$work/ptypair.out" || { echo "ptypair did not start" >&2; exit 1; }

# The prefix, once per build directory.
if [ ! -f "$WINEPREFIX/.suite-ready" ]; then
  echo "creating Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; exit 1; }
  "$wineserver" -w
  touch "$WINEPREFIX/.suite-ready"
fi

# This Wine does not load the fonts of its own data folder; the caption buttons need
# Marlett (Debian fonts-wine), so it goes where Wine looks: the prefix's Fonts folder.
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi

# The port mapping. Wine's mount manager turns these values into its device links
# when its services start, so the server is restarted after the import.
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for n in 1 2 3 4 5 6 7 8; do
    printf '"COM%d"="%s/com%d"\n' "$n" "$ports" "$n"
    printf '"COM%d"="%s/peer%d"\n' "$((n + peer_offset))" "$ports" "$n"
  done
  printf '"COM%d"="%s/missing%d"\n' "$missing_port" "$ports" "$missing_port"
} >"$work/ports.reg"
"$wine" regedit /S "$(printf 'Z:%s' "$work/ports.reg" | tr / '\\')"
# Dialogs use the font 宋体 (SimSun); Wine has none, so it is mapped to a CJK font
# (Debian fonts-wqy-microhei). A .reg file in UTF-16 holds the Chinese name.
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
  printf '"宋体"="WenQuanYi Micro Hei"\r\n"SimSun"="WenQuanYi Micro Hei"\r\n'
} | iconv -f UTF-8 -t UTF-16 >"$work/fonts.reg"
"$wine" regedit /S "$(printf 'Z:%s' "$work/fonts.reg" | tr / '\\')"
"$wineserver" -k
# It stays up between programs (killed at the end). Its output goes to a log: it dumps
# its objects there when it gets SIGHUP, which it does when it holds a pseudo-terminal
# that device-sim closes.
"$wineserver" -p 2>>"$work/wineserver.log" >&2
rm -f "$ports/missing$missing_port"

export SUITE_WINE_PEER_OFFSET=$peer_offset
export SUITE_WINE_MISSING_PORT=$missing_port
export SUITE_WINE_PORT_DIR=$ports

export WINE=$wine HARNESS_BUILD=$build HARNESS_OUT=$work/gui
HARNESS_NATIVE=$(cd "${SUITE_NATIVE_BUILD:-$here/../../build}" 2>/dev/null && pwd) || HARNESS_NATIVE=
export HARNESS_NATIVE

if [ ${#exec_command[@]} -gt 0 ]; then
  status=0
  WINE=$wine LD_PRELOAD="$preload" "${exec_command[@]}" || status=$?
  exit $status
fi

failed=()
run_start=$SECONDS
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "=== $name (Wine, $arch)"
  start=$(date +%s)
  if [[ $program == *.sh ]]; then
    run=(bash "$program")
    if [ ! -x "$HARNESS_NATIVE/bin/device-sim" ]; then
      echo "no device-sim in ${SUITE_NATIVE_BUILD:-build}/bin (build the native side first)" >&2
      run=(false)
    fi
  else
    run=("$wine" "$program" --gtest_color=no)
  fi
  if LD_PRELOAD="$preload" timeout --kill-after=10 "$program_timeout" \
       "${run[@]}" "${gtest_args[@]}"; then
    echo "=== $name passed ($(( $(date +%s) - start )) s)"
  else
    status=$?
    echo "=== $name FAILED (status $status, $(( $(date +%s) - start )) s)"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed under Wine ($arch, $(( SECONDS - run_start )) s): ${failed[*]}"
  exit 1
fi
echo "all ${#programs[@]} Windows test programs passed under Wine ($arch, $(( SECONDS - run_start )) s)"
