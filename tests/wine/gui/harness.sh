# GUI test harness for the dialog programs under Wine. Sourced by the case scripts in
# tests/wine/gui/cases/, which tests/wine/run.sh runs (with Xvfb, the Wine prefix and
# the COM ports set up); run one file alone with
#   tests/wine/run.sh build-win64 tests/wine/gui/cases/quarrow.sh [-- CASE-NAME...]
#
# Writing a case
# --------------
#   #!/usr/bin/env bash
#   . "$(dirname "$0")/../harness.sh"
#
#   case_update() {
#     sim_start COM1 --loader quarrow --expect "$image"  # device-sim on COM1's line
#     app_start Quarrow                                   # bin/Quarrow.exe, desktop "suite"
#     expect_eq "$(drv text Quarrow 1006)" "Open serial port success!" "port line"
#     drv click Quarrow 1000                              # OPEN FILE
#     drv openfile "选择下载的程序" "$(winpath "$image")"
#     drv click Quarrow 1001                              # UPDATE
#     expect_eq "$(drv answer Quarrow 1 60000)" "Updata success!" "success box"
#     sim_stop COM1                                       # its report, exit status checked
#     expect_eq "$(sim_field COM1 result)" complete "device's run"
#   }
#   gui_case "update writes the image" case_update
#   gui_done
#
# console_case NAME FUNCTION is gui_case for programs that need no window (the console
# tools, tests/wine/console/): it starts no driver.
#
# Each case runs in a subshell of its own: the first failed step ends it (the others
# still run), and at its end every program it started is ended, every device-sim
# stopped and every port it changed given a fresh line. Output of a case (device-sim
# reports and logs, screenshots, the driver's transcript) goes to $case_dir; the
# screenshots also to $HARNESS_OUT/screenshots. Nothing waits without a timeout.
#
# The steps:
#   drv COMMAND ARGS...   one driver command (guidriver.exe: `drv help` lists them):
#                         prints the answer; a failed command fails the case.
#                         Windows are named by caption; message boxes apart (box,
#                         answer). Default timeout 5 s (`drv timeout MS`).
#   drv_try ...           the same, but a failure only returns status 1
#   app_start NAME [ARGS] starts bin/NAME.exe (or a path to an .exe) in the Wine
#                         desktop "suite" (800x600, with captions)
#   sim_start COMn ARGS   device-sim on a new line linked as COMn (ARGS as for
#                         device-sim: --loader, --expect, --flash, --log, faults);
#                         writes $case_dir/COMn.report when it ends
#   sim_stop COMn         ends it (if still running) and checks its exit status:
#                         0, or the one given by `sim_stop COMn STATUS`
#   sim_wait COMn [S]     waits up to S seconds (30) for it to end by itself
#   sim_field COMn KEY    a line of its report ("result", "frames received", ...)
#   port_missing COMn     COMn's device is gone (opening it fails)
#   expect_eq A B WHAT    fails the case unless A = B
#   expect_match A RE WHAT  ... unless A matches the extended regular expression RE
#   fail MESSAGE          fails the case
#   no_error_box          fails the case if the serial engine's "Application Error"
#                         box is open (its text in the failure)
#   await_box WIN [MS]    waits (default 60 s) for WIN's message box, answers it
#                         with OK and prints its text, as `drv answer` does, but
#                         fails as soon as an "Application Error" box shows instead
#   one_box WIN [MS]      waits (default 20 s) for one message box, WIN's or an
#                         "Application Error" (which must be in the foreground),
#                         answers it and prints "CAPTION: TEXT";
#                         fails if another box of either shows within 3 s
#   now_ms; idle_until MS the clock in milliseconds; sleeps until it reads MS
#   screenshot NAME [WIN] saves the screen (or window WIN) as NAME.png
#   grab                  captures the screen for the pixel reads below
#   pixel X Y             colour RRGGBB of the last grab at screen point X, Y
#   control_pixel WIN ID [DX DY]  colour inside control ID (default its centre;
#                         DX, DY from its top-left corner; negative: from its right
#                         or bottom edge)
#   winpath PATH          a Unix path as Wine sees it (Z:\...)
#   track_pid PID         a process the case started itself: ended with the case
#
# Things to know:
#   - clicks, picks and commands are posted, as a person's input is: the command
#     returns at once, so wait for what it causes (waittext, box, answer, wait);
#   - a pick selects the entry and then sends the dialog CBN_SELCHANGE, as a pick in
#     the drop-down list does;
#   - `drv boxicon` tells an application's box (with the warning icon) from a dialog's
#     own (none);
#   - the screen is the Wine desktop at 0,0 of the X screen, so `drv rect` gives X
#     screen coordinates; `hover` moves the pointer as mouse input and waits for the
#     program to take it (about half a second: mouse-leave tracking is slow);
#   - a device-sim that the program never sent a byte to ends by itself when the
#     program closes the port (status 2, "ended by: the tool closed the line before
#     its first byte"), and the port's link goes with it: start a new one before the
#     program opens that port again; `sim_stop COMn 2` collects it.
#
# The environment (set by run.sh): WINE, HARNESS_BUILD (the Windows build),
# HARNESS_NATIVE (the native build with bin/device-sim), HARNESS_OUT,
# SUITE_WINE_PORT_DIR (COMn is linked there as comN: a pseudo-terminal of the relay
# tests/wine/ptypair.c, or device-sim's own line while a case has one there).

set -uo pipefail

: "${WINE:?run the cases with tests/wine/run.sh}"
: "${HARNESS_BUILD:?}" "${HARNESS_NATIVE:?}" "${HARNESS_OUT:?}" "${SUITE_WINE_PORT_DIR:?}"

HARNESS_DESKTOP=suite
HARNESS_DESKTOP_SIZE=800x600
harness_file=$(basename "$0" .sh)
harness_failed=()
harness_passed=0
harness_only=("$@")   # case names to run (default: all)
mkdir -p "$HARNESS_OUT/screenshots"

winpath() { # PATH: the path under Wine's drive Z:
  local p
  p=$(cd "$(dirname "$1")" 2>/dev/null && pwd)/$(basename "$1") || p=$1
  printf 'Z:%s' "$p" | tr / '\\'
}

# Ends the case, also from inside a command substitution ($(drv ...)).
harness_case_pid=
fail() {
  echo "    FAIL: $*" >&2
  [ -n "$harness_case_pid" ] && [ "$BASHPID" != "$harness_case_pid" ] && kill -TERM "$harness_case_pid"
  exit 1
}

expect_eq() { # actual expected what
  [ "$1" = "$2" ] || fail "$3: got \"$1\", expected \"$2\""
  echo "    ok: $3 = \"$2\""
}

expect_match() { # actual regex what
  [[ $1 =~ $2 ]] || fail "$3: got \"$1\", expected a match of /$2/"
  echo "    ok: $3 ~ /$2/"
}

# --- the driver, a co-process per case --------------------------------------------

# Its pipes are copied to descriptors of our own: bash closes a co-process's own
# descriptors in nested subshells, and $(... $(drv ...) ...) must work too.
harness_driver_pid= harness_to_driver= harness_from_driver=
harness_start_driver() {
  coproc HARNESS_DRIVER { exec "$WINE" "$HARNESS_BUILD/harness/guidriver.exe" --desktop "$HARNESS_DESKTOP" 2>>"$case_dir/driver.err"; }
  harness_driver_pid=$HARNESS_DRIVER_PID
  exec {harness_to_driver}>&"${HARNESS_DRIVER[1]}" {harness_from_driver}<&"${HARNESS_DRIVER[0]}"
  local greeting
  IFS= read -r -t 30 greeting <&"$harness_from_driver" || fail "the driver did not start (see $case_dir/driver.err)"
  [ "${greeting%$'\r'}" = "ok ready" ] || fail "the driver: $greeting"
}

harness_quote() { # an argument as the driver reads it
  local a=${1//\\/\\\\}
  a=${a//\"/\\\"}
  printf '"%s"' "${a//$'\n'/ }"
}

# drv_try COMMAND ARGS...: prints the answer; status 1 on "fail".
drv_try() {
  local line="" arg reply
  for arg in "$@"; do line+="$(harness_quote "$arg") "; done
  echo "> $line" >>"$case_dir/driver.log"
  printf '%s\n' "$line" >&"$harness_to_driver"
  # The driver keeps to the command's own timeout; this one only guards against a hang.
  IFS= read -r -t 300 reply <&"$harness_from_driver" || fail "no answer from the driver to: $*"
  reply=${reply%$'\r'}
  echo "< $reply" >>"$case_dir/driver.log"
  case $reply in
    ok) return 0 ;;
    "ok "*) harness_unescape "${reply#ok }"; return 0 ;;
    "fail "*) harness_unescape "${reply#fail }" >&2; echo >&2; return 1 ;;
    *) fail "driver answered: $reply" ;;
  esac
}

harness_unescape() { # the driver's \n and \\ back to text
  local s=$1 out="" c
  while [ -n "$s" ]; do
    c=${s:0:1}
    if [ "$c" = '\' ]; then
      case ${s:1:1} in n) out+=$'\n' ;; *) out+=${s:1:1} ;; esac
      s=${s:2}
    else
      out+=$c
      s=${s:1}
    fi
  done
  printf '%s' "$out"
}

drv() {
  local answer
  if ! answer=$(drv_try "$@" 2>"$case_dir/drv.err"); then
    fail "drv $*: $(cat "$case_dir/drv.err")"
  fi
  printf '%s' "$answer"
}

# --- the serial engine's error box -------------------------------------------------

# A failed port call shows a box captioned so, with no owner: never a normal event.
harness_error_box="Application Error"

no_error_box() {
  local text
  text=$(drv_try nobox "$harness_error_box" 2>&1) || fail "\"$harness_error_box\" box: ${text#message box open: }"
}

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

idle_until() { # MS
  local left=$(( $1 - $(now_ms) ))
  [ "$left" -gt 0 ] && sleep "$(( left / 1000 )).$(printf '%03d' $(( left % 1000 )))"
  return 0
}

await_box() { # WIN [MS]
  local end=$(( $(now_ms) + ${2:-60000} )) text
  for (( ;; )); do
    no_error_box
    if text=$(drv_try answer "$1" 1 250 2>/dev/null); then
      printf '%s' "$text"
      return 0
    fi
    [ "$(now_ms)" -lt "$end" ] || fail "no message box \"$1\" within ${2:-60000} ms"
  done
}

one_box() { # WIN [MS]
  local end=$(( $(now_ms) + ${2:-20000} )) caption text="" found=""
  while [ -z "$found" ]; do
    for caption in "$harness_error_box" "$1"; do
      drv_try box "$caption" 100 >/dev/null 2>&1 || continue
      # The engine's box has no owner: it must come up in front of the dialog, where
      # the user sees it, not behind it.
      # (Windows also marks it topmost; Wine does not, so only the foreground counts.)
      if [ "$caption" = "$harness_error_box" ]; then
        local front="" until=$(( $(now_ms) + 2000 ))
        while front=$(drv boxfront "$caption") && [ "${front#* }" != foreground ] &&
              [ "$(now_ms)" -lt "$until" ]; do sleep 0.1; done
        expect_match "$front" " foreground$" "the error box in front" >&2
      fi
      if text=$(drv_try answer "$caption" 1 100 2>/dev/null); then found=$caption; break; fi
    done
    [ -n "$found" ] || [ "$(now_ms)" -lt "$end" ] || fail "no message box within ${2:-20000} ms"
  done
  end=$(( $(now_ms) + 3000 ))
  while [ "$(now_ms)" -lt "$end" ]; do
    for caption in "$harness_error_box" "$1"; do
      local more
      more=$(drv_try box "$caption" 100 2>/dev/null) && fail "a second box after \"$found: $text\": \"$caption: $more\""
    done
  done
  printf '%s: %s' "$found" "$text"
}

# --- programs ----------------------------------------------------------------------

harness_programs=()
app_start() { # NAME|PATH.exe [ARGS...]
  local exe=$1; shift
  case $exe in *.exe) ;; *) exe=$HARNESS_BUILD/bin/$exe.exe ;; esac
  [ -f "$exe" ] || fail "no program $exe"
  harness_programs+=("$(basename "$exe")")
  "$WINE" explorer "/desktop=$HARNESS_DESKTOP,$HARNESS_DESKTOP_SIZE" "$(winpath "$exe")" "$@" \
    >>"$case_dir/programs.log" 2>&1 &
}

# --- device-sim on a COM port --------------------------------------------------------

declare -A harness_sim_pid=()
harness_ports=()

harness_port_link() { # COMn -> the link the registry maps COMn to
  local n=${1#COM}
  printf '%s/com%s' "$SUITE_WINE_PORT_DIR" "$n"
}

sim_start() { # COMn ARGS...
  local port=$1; shift
  local link
  link=$(harness_port_link "$port")
  harness_ports+=("$port")
  rm -f "$link"
  "$HARNESS_NATIVE/bin/device-sim" --link "$link" "$@" >"$case_dir/$port.report" 2>"$case_dir/$port.err" &
  harness_sim_pid[$port]=$!
  local _
  for _ in $(seq 200); do [ -L "$link" ] && return 0; sleep 0.02; done
  fail "device-sim on $port did not start: $(cat "$case_dir/$port.err")"
}

sim_wait() { # COMn [SECONDS]
  local pid=${harness_sim_pid[$1]:-} _
  [ -n "$pid" ] || fail "no device-sim on $1"
  for _ in $(seq $(( ${2:-30} * 20 ))); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  fail "device-sim on $1 still running after ${2:-30} s"
}

sim_stop() { # COMn [EXPECTED-STATUS]
  local pid=${harness_sim_pid[$1]:-} status=0
  [ -n "$pid" ] || fail "no device-sim on $1"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" || status=$?
  unset "harness_sim_pid[$1]"
  [ "$status" -eq "${2:-0}" ] || fail "device-sim on $1 ended with status $status: $(grep -E '^(result|error)' "$case_dir/$1.report" | tr '\n' ';')"
}

sim_field() { # COMn KEY
  sed -n "s/^$2: //p" "$case_dir/$1.report" | head -n 1
}

port_missing() { # COMn
  harness_ports+=("$1")
  rm -f "$(harness_port_link "$1")"
}

# Gives COMn a fresh line of the relay again.
harness_restore_port() {
  local name
  name=com${1#COM}
  local done_file=$SUITE_WINE_PORT_DIR/control.done before
  before=$(cat "$done_file")
  echo "hangup $name" >"$SUITE_WINE_PORT_DIR/control"
  local _
  for _ in $(seq 100); do [ "$(cat "$done_file")" != "$before" ] && break; sleep 0.02; done
}

# --- screen -------------------------------------------------------------------------

screenshot() { # NAME [WIN]
  local file=$HARNESS_OUT/screenshots/$1.png crop=()
  if [ $# -ge 2 ]; then
    local x y w h
    read -r x y w h <<<"$(drv rect "$2" 0)"
    crop=(-crop "${w}x${h}+$x+$y")
  fi
  import -window root "${crop[@]}" "$file" 2>>"$case_dir/import.err" || fail "screenshot $1 failed"
  cp "$file" "$case_dir/"
  echo "    screenshot: $file"
}

grab() {
  import -window root "$case_dir/grab.ppm" 2>>"$case_dir/import.err" || fail "screen grab failed"
}

pixel() { # X Y: RRGGBB of the last grab
  convert "$case_dir/grab.ppm" -crop "1x1+$1+$2" -depth 8 -format '%[hex:p{0,0}]' info:- 2>>"$case_dir/import.err"
}

control_pixel() { # WIN ID [DX DY]
  local x y w h px py
  read -r x y w h <<<"$(drv rect "$1" "$2")"
  if [ $# -ge 4 ]; then
    px=$(( $3 < 0 ? x + w + $3 : x + $3 ))
    py=$(( $4 < 0 ? y + h + $4 : y + $4 ))
  else
    px=$(( x + w / 2 )) py=$(( y + h / 2 ))
  fi
  pixel "$px" "$py"
}

# --- cases --------------------------------------------------------------------------

# Native processes a case started itself (a console program under Wine, say), ended
# with it if they are still running.
harness_pids=()
track_pid() { # PID
  harness_pids+=("$1")
}

harness_cleanup() {
  local program port pid
  for pid in "${harness_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  if [ -n "$harness_driver_pid" ]; then
    # The pointer to the desktop's far corner, so that the next case starts with no
    # control under it (the desktop keeps it from case to case).
    drv_try pointer 799 599 >/dev/null 2>&1
    for program in "${harness_programs[@]}"; do drv_try killexe "$program" >/dev/null 2>&1; done
    printf 'quit\n' >&"$harness_to_driver" 2>/dev/null
    wait "$harness_driver_pid" 2>/dev/null
  fi
  for port in "${!harness_sim_pid[@]}"; do
    kill -TERM "${harness_sim_pid[$port]}" 2>/dev/null
    wait "${harness_sim_pid[$port]}" 2>/dev/null
  done
  for port in "${harness_ports[@]}"; do harness_restore_port "$port"; done
}

gui_case() { # NAME FUNCTION
  harness_case "$1" "$2" driver
}

# A case of programs that need no window (the console tools): no driver is started,
# and app_start and drv are not for it; the rest is as for gui_case.
console_case() { # NAME FUNCTION
  harness_case "$1" "$2" ""
}

harness_case() { # NAME FUNCTION [driver]
  local name=$1 fn=$2 driver=${3:-}
  if [ ${#harness_only[@]} -gt 0 ] && ! printf '%s\n' "${harness_only[@]}" | grep -qxF -- "$name"; then
    return 0
  fi
  echo "--- $harness_file: $name"
  local dir
  dir=$HARNESS_OUT/$harness_file/$(echo "$name" | tr -c 'A-Za-z0-9_.\n-' '_')
  rm -rf "$dir"
  mkdir -p "$dir"
  local start=$SECONDS
  if (
    case_dir=$dir
    harness_case_pid=$BASHPID
    trap harness_cleanup EXIT
    trap 'exit 1' TERM
    [ -z "$driver" ] || harness_start_driver
    "$fn"
  ); then
    echo "--- passed ($(( SECONDS - start )) s)"
    harness_passed=$(( harness_passed + 1 ))
  else
    echo "--- FAILED: $name (output in $dir)"
    harness_failed+=("$name")
  fi
}

gui_done() {
  if [ ${#harness_failed[@]} -gt 0 ]; then
    echo "$harness_file: ${#harness_failed[@]} failed: ${harness_failed[*]}"
    exit 1
  fi
  echo "$harness_file: $harness_passed passed"
}
