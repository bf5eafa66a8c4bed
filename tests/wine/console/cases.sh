#!/usr/bin/env bash
# The Windows console programs (BUILD/bin/dunmere-cli.exe, solvane-cli.exe,
# tirell-cli.exe, quarrow-cli.exe) under Wine, run as a technician or a production line
# runs them from cmd.exe, against device-sim on the COM ports of tests/wine/run.sh:
#   tests/wine/run.sh build-win64 tests/wine/console/cases.sh [-- CASE-NAME...]
# What they print, their exit statuses and their --json lines are those of the Linux
# tools (tests/e2e/ConsoleToolsTest.cpp, StationsTest.cpp) for the same situation, in
# the system's words where the system speaks (a port's failure). Lines are compared
# without the carriage return that Windows' text output puts before each line end.
. "$(dirname "$0")/../gui/harness.sh"
harness_file=console
. "$(dirname "$0")/console_steps.sh"

# --- whole runs -------------------------------------------------------------------------

whole_run() { # TOOL
  local tool=$1 image
  image=$(tool_image "$tool" "$case_dir/image.bin")
  tool_sim COM1 "$tool" "$image"
  cli run "$tool" --port COM1 --timeout 20 ${image:+"$(winpath "$image")"}
  expect_status 0 run
  # The success text alone on standard output, everything else on standard error.
  expect_eq "$(cat "$case_dir/run.stdout")" "${SUCCESS[$tool]}" "standard output"
  expect_eq "$(wc -l <"$case_dir/run.stdout")" 1 "lines on standard output"
  expect_contains "$case_dir/run.stderr" "${OPENED[$tool]}" "standard error"
  expect_contains "$case_dir/run.stderr" "$tool: done in " "standard error"
  expect_contains "$case_dir/run.stderr" ": $(tool_units "$tool") ${UNIT[$tool]}, " "the summary line"
  expect_lacks "$case_dir/run.stderr" "${SUCCESS[$tool]}" "standard error"
  expect_complete COM1
  expect_flash COM1 "$tool" "$image"
}

json_run() { # TOOL
  local tool=$1 image
  image=$(tool_image "$tool" "$case_dir/image.bin")
  tool_sim COM1 "$tool" "$image"
  cli json "$tool" --port COM1 --timeout 20 --json ${image:+"$(winpath "$image")"}
  expect_status 0 json
  local out=$case_dir/json.stdout
  expect_eq "$(json "$out" 0 event)" progress "first object"
  local objects progress
  objects=$(json_count "$out")
  progress=$(json_count "$out" progress)
  expect_eq "$progress" $(( objects - 1 )) "progress objects before the one result"
  expect_eq "$(json "$out" 0 port)|$(json "$out" -1 port)" "COM1|COM1" "port of the first and last objects"
  local result
  result=$(printf '%s|' "$(json "$out" -1 event)" "$(json "$out" -1 tool)" "$(json "$out" -1 status)" \
    "$(json "$out" -1 result)" "$(json "$out" -1 exit)" "$(json "$out" -1 error)" "$(json "$out" -1 message)")
  expect_eq "$result" "result|$tool|success|success|0|null|${SUCCESS[$tool]}|" \
    "result (event|tool|status|result|exit|error|message)"
  expect_eq "$(json "$out" -1 board)|$(json "$out" -1 try)" "1|1" "board and try"
  expect_match "$(json "$out" -1 seconds)" '^[0-9]+\.[0-9]+$' "seconds"
  expect_complete COM1
  # Frames, blocks or pages and bytes: what the device counted.
  local units
  case $tool in
    dunmere) units=$(sim_field COM1 'frames received') ;;
    quarrow) units=$(( $(sim_field COM1 'bytes written') / 2112 )) ;;
    *) units=$(( $(sim_field COM1 'bytes written') / 128 )) ;;
  esac
  expect_eq "$(json "$out" -1 "${UNIT[$tool]}")" "$units" "result's ${UNIT[$tool]} (device: $units)"
  expect_eq "$(json "$out" -1 total)" "$(tool_units "$tool")" "result's total"
  expect_eq "$(json "$out" -1 bytes)" "$(sim_field COM1 'bytes written')" "result's bytes = device's bytes written"
  expect_eq "$(json "$out" -1 identity.device)" "COM1" "identity's device"
  expect_flash COM1 "$tool" "$image"
}

for tool in "${TOOLS[@]}"; do
  eval "case_whole_$tool() { whole_run $tool; }"
  eval "case_json_$tool() { json_run $tool; }"
done

# --- port failures --------------------------------------------------------------------

# A port that fails is one line on standard error, prefixed with the program's name,
# and exit status 1; with --json the result object carries the same text.
expect_port_failure() { # NAME TOOL PORT REGEX
  expect_status 1 "$1"
  expect_eq "$(cat "$case_dir/$1.stdout")" "" "$1 standard output"
  expect_eq "$(wc -l <"$case_dir/$1.stderr")" 1 "$1 lines on standard error"
  expect_match "$(cat "$case_dir/$1.stderr")" "^$2: $3: $4\$" "$1 standard error"
}

MISSING_TEXT='.+ \(is the adapter plugged in\? --list-ports lists the serial ports present\)'

case_missing_port() {
  local tool image
  for tool in "${TOOLS[@]}"; do
    image=$(tool_image "$tool" "$case_dir/image.bin")
    # COM9: mapped to a device that is not there; COM30: no such port at all.
    cli "$tool-com9" "$tool" --port COM9 --timeout 5 ${image:+"$(winpath "$image")"}
    expect_port_failure "$tool-com9" "$tool" COM9 "$MISSING_TEXT"
    cli "$tool-com30" "$tool" --port COM30 --timeout 5 ${image:+"$(winpath "$image")"}
    expect_port_failure "$tool-com30" "$tool" COM30 "$MISSING_TEXT"
  done
  cli json quarrow --port COM9 --timeout 5 --json "$(winpath "$case_dir/image.bin")"
  expect_status 1 json
  expect_eq "$(json_count "$case_dir/json.stdout")" 1 "objects"
  expect_eq "$(json "$case_dir/json.stdout" 0 event)|$(json "$case_dir/json.stdout" 0 status)|$(json "$case_dir/json.stdout" 0 exit)" \
    "result|failure|1" "result (event|status|exit)"
  expect_match "$(json "$case_dir/json.stdout" 0 error)" "^quarrow: COM9: $MISSING_TEXT\$" "result's error"
}

BUSY_TEXT='.*(in use by another program|another program has the port open).*'

# Another console program holds the port: the second one is refused at once.
case_busy_port_console() {
  local tool image
  for tool in "${TOOLS[@]}"; do
    image=$(tool_image "$tool" "$case_dir/image.bin")
    # The first one waits on COM2's line, where nobody answers, until it is ended.
    cli_start holder "$tool" --port COM2 --timeout 60 ${image:+"$(winpath "$image")"}
    local holder=$cli_pid
    await_line "$case_dir/holder.err" "${OPENED[$tool]}|no reply" 30 "the holder's standard error"
    cli "$tool-busy" "$tool" --port COM2 --timeout 5 ${image:+"$(winpath "$image")"}
    expect_port_failure "$tool-busy" "$tool" COM2 "$BUSY_TEXT"
    kill -TERM "$holder"
    cli_wait holder "$holder" 20
    # Once the holder has gone the port is free again.
    cli "$tool-free" "$tool" --port COM2 --timeout 1 ${image:+"$(winpath "$image")"}
    expect_status 3 "$tool-free"
    expect_contains "$case_dir/$tool-free.stderr" "no reply from the device for 1 s (--timeout)" "$tool-free"
  done
}

# The dialog program opens COM1 when it starts and keeps it: the console tool is
# refused.
case_busy_port_dialog() {
  sim_start COM1 --loader quarrow --baud 0
  app_start Quarrow
  drv waittext Quarrow 1006 "Open serial port success!"
  make_image "$case_dir/image.bin" 2112
  cli busy quarrow --port COM1 --timeout 5 "$(winpath "$case_dir/image.bin")"
  expect_port_failure busy quarrow COM1 "$BUSY_TEXT"
  drv close Quarrow
  drv gone Quarrow
  sim_wait COM1 10
  sim_stop COM1 2
}

# --- stations -------------------------------------------------------------------------

case_two_stations() {
  local image=$case_dir/image.bin
  make_image "$image" $(( 3 * 2112 ))
  tool_sim COM1 quarrow "$image"
  tool_sim COM2 quarrow "$image"
  cli run quarrow --port COM1 --port COM2 --timeout 20 "$(winpath "$image")"
  expect_status 0 run
  local out=$case_dir/run.stdout
  expect_match "$(sed -n 1p "$out")" '^station +identity +result +boards +time +bytes$' "table header"
  expect_match "$(sed -n 2p "$out")" '^COM1 +[^ ]+ +success +1 +[0-9.]+ s +6,336$' "COM1's row"
  expect_match "$(sed -n 3p "$out")" '^COM2 +[^ ]+ +success +1 +[0-9.]+ s +6,336$' "COM2's row"
  expect_match "$(tail -n 1 "$out")" '^quarrow: 2 boards: 2 done, 0 failed, mean time [0-9.]+ s$' "count line"
  # Every station's line on standard error starts with its port.
  expect_contains "$case_dir/run.stderr" "COM1: Updata success!" "standard error"
  expect_contains "$case_dir/run.stderr" "COM2: Updata success!" "standard error"
  local unnamed
  unnamed=$(grep -vE '^COM[12]: ' "$case_dir/run.stderr" | head -n 3)
  expect_eq "$unnamed" "" "lines on standard error without their station"
  expect_complete COM1
  expect_complete COM2
  expect_flash COM1 quarrow "$image"
  expect_flash COM2 quarrow "$image"

  # The same with --json: a result a station and the summary.
  tool_sim COM1 quarrow "$image"
  tool_sim COM2 quarrow "$image"
  cli json quarrow --port COM1 --port COM2 --timeout 20 --json "$(winpath "$image")"
  expect_status 0 json
  out=$case_dir/json.stdout
  local port
  for port in COM1 COM2; do
    expect_eq "$(json "$out" "result:$port" status)|$(json "$out" "result:$port" pages)" "success|3" "$port's result"
  done
  expect_eq "$(json "$out" -1 event)" summary "last object"
  expect_eq "$(json "$out" summary boards)|$(json "$out" summary succeeded)|$(json "$out" summary failed)|$(json "$out" summary exit)|$(json "$out" summary interrupted)" \
    "2|2|0|0|false" "summary (boards|succeeded|failed|exit|interrupted)"
  expect_eq "$(json "$out" summary stations.0.port)|$(json "$out" summary stations.1.port)" "COM1|COM2" "summary's stations"
  expect_complete COM1
  expect_complete COM2
  expect_flash COM1 quarrow "$image"
  expect_flash COM2 quarrow "$image"
}

# One station's port is missing: the other writes its board, the run fails.
case_station_with_a_missing_port() {
  local image=$case_dir/image.bin
  make_image "$image" 1000
  tool_sim COM1 solvane "$image"
  cli run solvane --port COM1 --port COM9 --timeout 20 "$(winpath "$image")"
  expect_status 1 run
  local out=$case_dir/run.stdout
  expect_match "$(grep '^COM1 ' "$out")" ' success ' "COM1's row"
  expect_match "$(grep '^COM9 ' "$out")" ' failure ' "COM9's row"
  expect_match "$(tail -n 1 "$out")" '^solvane: 2 boards: 1 done, 1 failed' "count line"
  expect_match "$(grep '^COM9: ' "$case_dir/run.stderr" | head -n 1)" "^COM9: solvane: COM9: $MISSING_TEXT\$" "COM9's failure"
  expect_complete COM1
  expect_flash COM1 solvane "$image"
}

# --- ports and the simulated device -------------------------------------------------------

case_list_ports() {
  cli list quarrow --list-ports
  expect_status 0 list
  local n
  for n in 1 2 3 4 5 6 7 8; do
    grep -qE "^COM$n( |$)" "$case_dir/list.stdout" || fail "COM$n not listed: $(tr '\n' '|' <"$case_dir/list.stdout")"
  done
  echo "    ok: COM1..COM8 listed"
  cli json dunmere --list-ports --json
  expect_status 0 json
  local paths
  paths=$(tr -d '\r' <"$case_dir/json.stdout" | jq -r -s 'map(.path) | join(" ")') ||
    fail "--list-ports --json does not parse"
  for n in 1 2 3 4 5 6 7 8; do
    [[ " $paths " == *" COM$n "* ]] || fail "COM$n not in --list-ports --json: $paths"
  done
  echo "    ok: COM1..COM8 in --list-ports --json"
}

case_simulate() {
  local tool
  for tool in "${TOOLS[@]}"; do
    cli "$tool" "$tool" --simulate
    expect_status 0 "$tool"
    expect_eq "$(tail -n 1 "$case_dir/$tool.stdout")" "${SUCCESS[$tool]}" "$tool's last line"
    expect_contains "$case_dir/$tool.stderr" "Simulated device on COM" "$tool's standard error"
    expect_contains "$case_dir/$tool.stderr" "(in this process)" "$tool's standard error"
    expect_contains "$case_dir/$tool.stderr" "Simulated device: " "$tool's standard error"
    expect_contains "$case_dir/$tool.stderr" " 0 errors" "$tool's standard error"
  done
}

# --- Ctrl-C -------------------------------------------------------------------------------

# SIGINT to Wine's process of the program is a console Ctrl-C event to it: the run ends
# where it is, with status 130, a line that says where, the result "interrupted" and
# the board's record.
case_ctrl_c_quarrow() {
  local image=$case_dir/image.bin log=$case_dir/boards.jsonl
  make_image "$image" $(( 16 * 2112 ))
  tool_sim COM1 quarrow "$image" --baud 115200
  cli_start run quarrow --port COM1 --json --log "$(winpath "$log")" "$(winpath "$image")"
  local pid=$cli_pid
  await_line "$case_dir/run.out" '"phase":"writing"' 60 "the run's standard output"
  sleep 0.3
  kill -INT "$pid"
  cli_wait run "$pid" 20
  expect_status 130 run
  expect_match "$(grep 'interrupted' "$case_dir/run.stderr" | head -n 1)" \
    '^quarrow: interrupted at page [0-9]+ of 16, write frame [0-9]+ of 16; the device holds a partial image$' "interruption line"
  expect_eq "$(json "$case_dir/run.stdout" -1 event)|$(json "$case_dir/run.stdout" -1 status)|$(json "$case_dir/run.stdout" -1 result)|$(json "$case_dir/run.stdout" -1 exit)" \
    "result|interrupted|interrupted|130" "result (event|status|result|exit)"
  [ -f "$log" ] || fail "no record file"
  expect_eq "$(json_count "$log")" 1 "records"
  expect_eq "$(json "$log" 0 result)|$(json "$log" 0 tool)|$(json "$log" 0 port)" "interrupted|quarrow|COM1" "record (result|tool|port)"
  expect_match "$(json "$log" 0 error)" '^quarrow: interrupted at page ' "record's error"
  sim_wait COM1 10
  sim_stop COM1 2
  expect_eq "$(sim_field COM1 result)" incomplete "device's run"
}

case_ctrl_c_dunmere() {
  tool_sim COM1 dunmere "" --baud 115200
  cli_start run dunmere --port COM1
  local pid=$cli_pid
  await_line "$case_dir/run.err" '^erasing: [1-9]' 60 "the run's standard error"
  kill -INT "$pid"
  cli_wait run "$pid" 20
  expect_status 130 run
  expect_eq "$(cat "$case_dir/run.stdout")" "" "standard output"
  expect_match "$(grep 'interrupted' "$case_dir/run.stderr" | head -n 1)" \
    "^dunmere: interrupted at erase frame [0-9]+ of 1008 \(address 0x[0-9A-F]{4}\); the device's flash is partly erased\$" \
    "interruption line"
  expect_match "$(grep 'stopped after' "$case_dir/run.stderr")" '^dunmere: stopped after [0-9.]+ s: [0-9]+ of 1008 frames' "summary"
  sim_wait COM1 10
  sim_stop COM1 2
}

# --- file names ---------------------------------------------------------------------------

# An image in a folder whose name is outside the code pages of most systems, and a
# record file beside it: the path arrives whole, and the record names it as given.
case_utf8_path() {
  mkdir -p "$case_dir/固件 测试"
  local image="$case_dir/固件 测试/镜像.bin" log="$case_dir/固件 测试/记录.jsonl"
  make_image "$image" $(( 2 * 2112 ))
  tool_sim COM1 quarrow "$image"
  cli run quarrow --port COM1 --timeout 20 --log "$(winpath "$log")" "$(winpath "$image")"
  expect_status 0 run
  expect_eq "$(cat "$case_dir/run.stdout")" "Updata success!" "standard output"
  expect_complete COM1
  expect_flash COM1 quarrow "$image"
  [ -f "$log" ] || fail "no record file $log"
  expect_eq "$(json "$log" 0 image.file)" "$(winpath "$image")" "record's image file"
  expect_eq "$(json "$log" 0 image.sha256)" "$(sha256sum "$image" | cut -d' ' -f1)" "record's image digest"

  # Solvane too, and a name of a missing file in Chinese comes back whole.
  local iap="$case_dir/固件 测试/固件.bin"
  make_image "$iap" 1000
  tool_sim COM1 solvane "$iap"
  cli iap solvane --port COM1 --timeout 20 "$(winpath "$iap")"
  expect_status 0 iap
  expect_complete COM1
  expect_flash COM1 solvane "$iap"
  cli none tirell --port COM1 --timeout 5 "$(winpath "$case_dir/固件 测试/没有.bin")"
  expect_status 1 none
  expect_match "$(cat "$case_dir/none.stderr")" "^tirell: $(winpath "$case_dir/固件 测试/没有.bin" | sed 's/[\\.]/\\&/g'): " \
    "missing image's name"
}

for tool in "${TOOLS[@]}"; do
  console_case "$tool: a whole run" "case_whole_$tool"
  console_case "$tool: --json matches the device's report" "case_json_$tool"
done
console_case "a missing port" case_missing_port
console_case "a port held by another console program" case_busy_port_console
gui_case "a port held by the dialog program" case_busy_port_dialog
console_case "two stations at once" case_two_stations
console_case "a station whose port is missing" case_station_with_a_missing_port
console_case "--list-ports" case_list_ports
console_case "--simulate" case_simulate
console_case "Ctrl-C in a Quarrow write" case_ctrl_c_quarrow
console_case "Ctrl-C in a Dunmere erase" case_ctrl_c_dunmere
console_case "a UTF-8 image path" case_utf8_path
gui_done
