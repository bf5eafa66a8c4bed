# Steps for the cases and benchmarks of the Windows console programs under Wine
# (tests/wine/console/cases.sh, bench/wine/console_bench.sh); sourced after
# tests/wine/gui/harness.sh, whose console_case, sim_start and expect_* they use.
#
#   cli NAME TOOL ARGS...        runs BUILD/bin/TOOL-cli.exe to its end, output in
#                                $case_dir/NAME.stdout, NAME.stderr, status $cli_status
#   cli_start NAME TOOL ARGS...  the same in the background ($cli_pid); cli_wait NAME PID
#   json FILE SELECT KEY         a field of the program's JSON lines
#   tool_sim PORT TOOL [IMAGE]   device-sim for the tool on PORT
#   expect_complete PORT, expect_flash PORT TOOL [IMAGE]: device-sim's view of the run

# The tools' own facts: device-sim's loader, the success text (the last line on
# standard output), the port's status line, and the unit the result counts.
declare -A LOADER=([dunmere]=erase [solvane]=solvane [tirell]=tirell [quarrow]=quarrow)
declare -A SUCCESS=([dunmere]="Finish" [solvane]="Update Complete!" [tirell]="Update complete!"
                    [quarrow]="Updata success!")
declare -A OPENED=([dunmere]="Serial port ready!" [solvane]="Open serial success!"
                   [tirell]="Open serial success!" [quarrow]="Open serial port success!")
declare -A UNIT=([dunmere]=frames [solvane]=blocks [tirell]=blocks [quarrow]=pages)
TOOLS=(dunmere solvane tirell quarrow)

# Wine turns the command line into the program's UTF-16 one in the locale's character
# set: a UTF-8 locale, so that a Chinese path arrives as it was typed.
export LC_ALL=C.UTF-8

# --- running a console program ------------------------------------------------------

# cli NAME TOOL ARGS...: runs TOOL-cli.exe to its end (at most $CLI_TIME_LIMIT
# seconds, default 120) with no input;
# its output in $case_dir/NAME.out and NAME.err (as written) and NAME.stdout and
# NAME.stderr (without carriage returns); its exit status in $cli_status.
cli_status=
cli() {
  local name=$1 tool=$2
  shift 2
  local exe=$HARNESS_BUILD/bin/$tool-cli.exe
  [ -f "$exe" ] || fail "no program $exe"
  cli_status=0
  local limit=${CLI_TIME_LIMIT:-120}
  timeout --kill-after=5 "$limit" "$WINE" "$exe" "$@" </dev/null >"$case_dir/$name.out" 2>"$case_dir/$name.err" ||
    cli_status=$?
  cli_texts "$name"
  [ "$cli_status" -ne 124 ] || fail "$tool-cli.exe $* did not end within $limit s"
}

cli_texts() { # NAME
  tr -d '\r' <"$case_dir/$1.out" >"$case_dir/$1.stdout"
  tr -d '\r' <"$case_dir/$1.err" >"$case_dir/$1.stderr"
}

# cli_start NAME TOOL ARGS...: the same in the background; its process id (Wine's
# process of the program, which takes the signals) in $cli_pid. SIGINT is given back
# its default action, which bash takes away from the programs it starts in the
# background.
cli_pid=
cli_start() {
  local name=$1 tool=$2
  shift 2
  local exe=$HARNESS_BUILD/bin/$tool-cli.exe
  [ -f "$exe" ] || fail "no program $exe"
  env --default-signal=INT "$WINE" "$exe" "$@" </dev/null >"$case_dir/$name.out" 2>"$case_dir/$name.err" &
  cli_pid=$!
  track_pid "$cli_pid"
}

cli_wait() { # NAME PID [SECONDS]: its exit status in $cli_status
  local _
  for _ in $(seq $(( ${3:-60} * 20 ))); do
    kill -0 "$2" 2>/dev/null || break
    sleep 0.05
  done
  kill -0 "$2" 2>/dev/null && fail "$1 still running after ${3:-60} s"
  cli_status=0
  wait "$2" || cli_status=$?
  cli_texts "$1"
}

# Waits up to SECONDS for FILE to hold a line matching the regular expression.
await_line() { # FILE REGEX [SECONDS] WHAT
  local _
  for _ in $(seq $(( ${3:-30} * 20 ))); do
    tr -d '\r' <"$1" 2>/dev/null | grep -qE -- "$2" && return 0
    sleep 0.05
  done
  fail "${4:-$1}: no line /$2/ within ${3:-30} s: $(tail -n 3 "$1" 2>/dev/null | tr '\r\n' '  ')"
}

expect_status() { # EXPECTED NAME
  [ "$cli_status" -eq "$1" ] || fail "$2: exit status $cli_status, expected $1; stderr: $(tail -n 4 "$case_dir/$2.stderr" | tr '\n' '|')"
  echo "    ok: $2 exit status = $1"
}

expect_contains() { # FILE TEXT WHAT
  grep -qF -- "$2" "$1" || fail "$3: no \"$2\" in: $(tail -n 6 "$1" | tr '\n' '|')"
  echo "    ok: $3 has \"$2\""
}

expect_lacks() { # FILE TEXT WHAT
  ! grep -qF -- "$2" "$1" || fail "$3: \"$2\" in: $(grep -F -- "$2" "$1" | head -n 2 | tr '\n' '|')"
  echo "    ok: $3 without \"$2\""
}

# --- JSON lines -------------------------------------------------------------------------

# json FILE SELECT KEY: a field of one object of FILE's JSON lines, after checking that
# every line is one JSON object. SELECT: N (from 0; -1 the last), "result:PORT" (the
# last result of PORT), "summary" (the last summary); KEY: a dotted path (stations.1.
# result). Strings print as they are, anything else as JSON (null, true, 3, [...]);
# "<missing>" when there is no such object or field.
json() {
  local value
  value=$(tr -d '\r' <"$1" | jq -R -r -n --arg select "$2" --arg key "$3" '
    def field($p):
      if ($p | length) == 0 then {v: .}
      elif type == "object" and has($p[0]) then .[$p[0]] | field($p[1:])
      elif type == "array" and ($p[0] | type) == "number" and $p[0] < length then .[$p[0]] | field($p[1:])
      else null end;
    [inputs | select(length > 0) | . as $line
     | (try fromjson catch error("not JSON: " + $line[0:200]))
     | if type == "object" then . else error("not an object: " + $line[0:200]) end] as $all
    | (if ($select | startswith("result:")) then
         [$all[] | select(.event == "result" and .port == $select[7:])] | last
       elif $select == "summary" then [$all[] | select(.event == "summary")] | last
       else $all[$select | tonumber] end) as $object
    | if $object == null then "<missing>"
      else ($object | field($key | if . == "" then [] else split(".") | map(tonumber? // .) end))
           | if . == null then "<missing>" elif (.v | type) == "string" then .v else .v | tojson end
      end' 2>&1) || fail "$1: $value"
  printf '%s' "$value"
}

json_count() { # FILE [EVENT]: the number of objects (of that event)
  tr -d '\r' <"$1" | jq -R -n --arg event "${2:-}" \
    '[inputs | select(length > 0) | fromjson | select($event == "" or .event == $event)] | length'
}

# --- images and devices -----------------------------------------------------------------

# An image of `bytes` random bytes whose last byte is not 0xFF (so that every block or
# page of it is sent).
make_image() { # path bytes
  head -c $(( $2 - 1 )) /dev/urandom >"$1"
  printf '\x5a' >>"$1"
}

# device-sim for TOOL on PORT, expecting IMAGE (none for Dunmere) and writing its flash
# to $case_dir/PORT.flash, as long as the image.
tool_sim() { # PORT TOOL [IMAGE] [device-sim args...]
  local port=$1 tool=$2 image=${3:-}
  shift 2
  [ $# -gt 0 ] && shift
  local expect=()
  [ -n "$image" ] && expect=(--expect "$image" --flash-length "$(stat -c %s "$image")")
  sim_start "$port" --loader "${LOADER[$tool]}" "${expect[@]}" --flash "$case_dir/$port.flash" --max-time 120 "$@"
}

# The image each tool gets: none for Dunmere, 8 blocks for Solvane and Tirell, 2 pages
# for Quarrow.
tool_image() { # TOOL PATH: prints the path, or nothing for Dunmere
  case $1 in
    dunmere) ;;
    solvane|tirell) make_image "$2" 1000; printf '%s' "$2" ;;
    quarrow) make_image "$2" $(( 2 * 2112 )); printf '%s' "$2" ;;
  esac
}

tool_units() { # TOOL: units of tool_image's image
  case $1 in dunmere) echo 1008 ;; solvane|tirell) echo 8 ;; quarrow) echo 2 ;; esac
}

# The device's flash after a run holds what the tool sent: the image, or for Dunmere
# its erased range (0x0400 to the end) all 0xFF.
expect_flash() { # PORT TOOL [IMAGE]
  local flash=$case_dir/$1.flash
  if [ "$2" = dunmere ]; then
    cmp <(tail -c +1025 "$flash") <(head -c 64512 /dev/zero | tr '\0' '\377') >/dev/null ||
      fail "$1: the device's flash from 0x0400 on is not all erased"
    echo "    ok: $1 flash erased from 0x0400 on"
  else
    cmp "$3" "$flash" || fail "$1: the device's flash differs from the image"
    echo "    ok: $1 flash = image"
  fi
}

# device-sim's report after a whole run: complete, everything checked, no error.
expect_complete() { # PORT
  sim_wait "$1" 10
  sim_stop "$1"
  expect_eq "$(sim_field "$1" result)|$(sim_field "$1" 'all checked')|$(sim_field "$1" errors)" "complete|yes|0" \
    "$1 device's run (result|all checked|errors)"
}

