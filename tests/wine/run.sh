#!/usr/bin/env bash
# Runs the Windows test programs of a mingw-w64 x86_64 build under Wine, with the serial
# ports mapped to pseudo-terminals.
#
#   tests/wine/run.sh BUILD_DIR [PROGRAM.exe|CASES.sh ...] [-- ARGS...]
#   tests/wine/run.sh BUILD_DIR --exec COMMAND [ARGS...]
#
# BUILD_DIR is a build configured with cmake/mingw-x86_64.cmake; without program names
# every BUILD_DIR/tests/*.exe runs, then every GUI case file tests/wine/gui/cases/*.sh.
# ARGS go to each: GoogleTest options to the programs, case names to the case files.
# Exit status is non-zero when a program or a case fails.
# --exec runs a native command in the prepared environment instead (for debugging:
# "$WINE" is the loader, LD_PRELOAD is set), and exits with its status.
#
# What it sets up, all under BUILD_DIR/wine (nothing outside it but the X display):
#   - its own Xvfb on a free display number;
#   - a Wine prefix (created with wineboot on the first run, then reused);
#   - eight null-modem pairs of pseudo-terminals (tests/wine/ptypair.c): COMn for
#     n = 1..8 is the engine's port, COM(n+10) is the device end the test drives;
#     COM9 is mapped to a path that does not exist (a port whose device is missing);
#   - the mapping in the registry under HKLM\Software\Wine\Ports, which Wine reads
#     when its services start (symlinks in dosdevices would be rewritten);
#   - LD_PRELOAD of tests/wine/ptymodem.c, which answers the modem-line ioctls on
#     ptys (without it Wine aborts every overlapped WaitCommEvent on a pty).
# The test programs learn the layout from SUITE_WINE_PEER_OFFSET,
# SUITE_WINE_MISSING_PORT and SUITE_WINE_PORT_DIR (the directory of the links, of the
# relay's byte counters and of its control FIFO; see ptypair.c).
# GUI cases (tests/wine/gui/harness.sh) run natively with WINE, HARNESS_BUILD,
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
  programs=("$build"/tests/*.exe "$here"/gui/cases/*.sh)
  shopt -u nullglob
fi
if [ ${#programs[@]} -eq 0 ] && [ ${#exec_command[@]} -eq 0 ]; then
  echo "no test programs in $build/tests (configure with BUILD_TESTING=ON)" >&2
  exit 1
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
peer_offset=10
missing_port=9
program_timeout=${WINE_TEST_TIMEOUT:-600}

work=$build/wine
ports=$work/ports
mkdir -p "$work" "$ports"
export WINEPREFIX=$work/prefix
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
cc=${CC_NATIVE:-cc}
build_native() { # output, source, flags...
  local out=$1 src=$2; shift 2
  if [ ! -x "$out" ] || [ "$src" -nt "$out" ]; then
    "$cc" -Wall -Wextra -O2 -o "$out" "$src" "$@"
  fi
}
build_native "$work/ptymodem.so" "$here/ptymodem.c" -shared -fPIC -ldl
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
  WINE=$wine LD_PRELOAD="$work/ptymodem.so" "${exec_command[@]}" || status=$?
  exit $status
fi

failed=()
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "=== $name (Wine)"
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
  if LD_PRELOAD="$work/ptymodem.so" timeout --kill-after=10 "$program_timeout" \
       "${run[@]}" "${gtest_args[@]}"; then
    echo "=== $name passed ($(( $(date +%s) - start )) s)"
  else
    status=$?
    echo "=== $name FAILED (status $status, $(( $(date +%s) - start )) s)"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed under Wine: ${failed[*]}"
  exit 1
fi
echo "all ${#programs[@]} Windows test programs passed under Wine"
