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
  sim_wait COM1 10
  sim_stop COM1
  expect_eq "$(sim_field COM1 result)" complete "device's chain"
  expect_eq "$(sim_field COM1 errors)" 0 "device's errors"
  expect_eq "$(sim_field COM1 'frames received')" 1008 "erase frames"
  # Every address from 1,024 to 65,472 in steps of 64, in order, once.
  local expected
  expected=$(for (( a = 1024; a <= 65472; a += 64 )); do printf 'E %04X\n' "$a"; done)
  [ "$(cat "$case_dir/erase.log")" = "$expected" ] || fail "erase addresses differ from 0400, 0440, .., FFC0"
  echo "    ok: addresses 0400 .. FFC0 in order"
}

gui_case "ports, About box and screenshots" case_ports
gui_case "a chain of 1,008 erase frames" case_chain
gui_done
