#!/usr/bin/env bash
# Dunmere.exe driven as a person drives it, against device-sim's erase loader.
. "$(dirname "$0")/../harness.sh"

D=Dunmere
ERASE=1000 PORT_LIST=1001

case_ports() {
  port_missing COM1
  port_missing COM2
  app_start Dunmere
  # The application's boxes carry the warning icon, the dialog's own boxes none.
  expect_eq "$(drv boxicon $D)" icon "start-up box is the application's"
  expect_eq "$(drv answer $D)" "Can't found selected serial port!" "start-up box, COM1 missing"
  drv wait $D >/dev/null
  expect_eq "$(drv items $D $PORT_LIST)" "COM1|COM2|COM3|COM4|COM5|COM6|COM7|COM8" "port list"
  expect_eq "$(drv selected $D $PORT_LIST)" COM1 "selected port"
  drv pick $D $PORT_LIST COM2
  expect_eq "$(drv boxicon $D)" none "pick's box is the dialog's"
  expect_eq "$(drv answer $D)" "Can't found the serial port or serial port is already use!" \
    "box after picking a missing port"
  # ERASE with no port: the frame goes nowhere, nothing is shown.
  drv click $D $ERASE
  sleep 0.3
  drv nobox $D
  sim_start COM3 --loader erase --log "$case_dir/erase.log"
  drv pick $D $PORT_LIST COM3
  expect_eq "$(drv answer $D)" "Serial port is OK!" "box after picking a working port"
  drv nobox $D
  screenshot dunmere-main $D
  drv sysmenu $D 16
  drv wait "关于 Dunmere" >/dev/null
  expect_match "$(drv children "关于 Dunmere")" "Dunmere 1.0 版" "About box's version line"
  screenshot dunmere-about "关于 Dunmere"
  drv click "关于 Dunmere" 1
  drv gone "关于 Dunmere"
  # The monitor runs on the picked port: a whole chain goes through.
  drv click $D $ERASE
  expect_eq "$(drv answer $D 1 30000)" "Finish" "end of the chain on COM3"
  sim_wait COM3 10
  sim_stop COM3
  expect_eq "$(sim_field COM3 result)" complete "device's chain"
}

case_chain() {
  sim_start COM1 --loader erase --log "$case_dir/erase.log"
  app_start Dunmere
  expect_eq "$(drv answer $D)" "Serial port ready!" "start-up box"
  drv wait $D >/dev/null
  drv click $D $ERASE
  expect_eq "$(drv boxicon $D 30000)" none "Finish is the dialog's box"
  expect_eq "$(drv answer $D 1 30000)" "Finish" "end of the chain"
  drv nobox $D
  check_chain COM1
}

# Ends the device on PORT and checks its run: the whole chain, every address from
# 1,024 to 65,472 in steps of 64, in order, once ($case_dir/erase.log, or LOG).
check_chain() { # PORT [LOG]
  sim_wait "$1" 10
  sim_stop "$1"
  expect_eq "$(sim_field "$1" result)" complete "device's chain"
  expect_eq "$(sim_field "$1" errors)" 0 "device's errors"
  expect_eq "$(sim_field "$1" 'frames received')" 1008 "erase frames"
  local expected
  expected=$(for (( a = 1024; a <= 65472; a += 64 )); do printf 'E %04X\n' "$a"; done)
  [ "$(cat "${2:-$case_dir/erase.log}")" = "$expected" ] || fail "erase addresses differ from 0400, 0440, .., FFC0"
  echo "    ok: addresses 0400 .. FFC0 in order"
}

# --- on the user's time: a quiet line, a slow device, a line that hangs up ----------
# Every box is checked: an "Application Error" box of the serial engine fails the case.

# Starts Dunmere on COM1 with device-sim there (ARGS) and answers its start-up box.
start_on_com1() { # device-sim args...
  sim_start COM1 --loader erase --log "$case_dir/erase.log" "$@"
  app_start Dunmere
  expect_eq "$(await_box $D 15000)" "Serial port ready!" "start-up box"
  drv wait $D >/dev/null
}

# The port open and the line silent for 5 s before ERASE is pressed, then the chain.
case_quiet_line_then_chain() {
  start_on_com1
  idle_until $(( $(now_ms) + 5500 ))
  no_error_box
  drv nobox $D
  drv click $D $ERASE
  expect_eq "$(await_box $D 60000)" Finish "end of the chain"
  no_error_box
  check_chain COM1
}

# The device takes 3 s over one erase acknowledgement in the middle of the chain.
case_slow_erase_ack() {
  start_on_com1 --slow-reply 500:3000
  drv click $D $ERASE
  expect_eq "$(await_box $D 60000)" Finish "end of the chain"
  no_error_box
  check_chain COM1
}

# The device's line hangs up after 300 erase frames: one box; then a pick of a working
# port erases the whole chain, and the dialog closes.
case_line_hangs_up_mid_chain() {
  start_on_com1 --vanish-after 300
  drv click $D $ERASE
  echo "    ok: one box: $(one_box $D 20000 | tr '\n' ' ')"
  sim_wait COM1 10
  sim_stop COM1 2
  expect_eq "$(sim_field COM1 'device vanished')" yes "device-sim hung up"
  sim_start COM2 --loader erase --log "$case_dir/erase2.log"
  drv pick $D $PORT_LIST COM2
  expect_eq "$(await_box $D)" "Serial port is OK!" "box after picking a working port"
  drv click $D $ERASE
  expect_eq "$(await_box $D 60000)" Finish "end of the chain on COM2"
  no_error_box
  drv close $D
  drv gone $D 10000
  check_chain COM2 "$case_dir/erase2.log"
}

gui_case "ports, About box and screenshots" case_ports
gui_case "a chain of 1,008 erase frames" case_chain
gui_case "a quiet line for 5 s, then the chain" case_quiet_line_then_chain
gui_case "a slow erase acknowledgement" case_slow_erase_ack
gui_case "the line hangs up in the middle of the chain" case_line_hangs_up_mid_chain
gui_done
