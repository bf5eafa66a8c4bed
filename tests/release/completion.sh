#!/usr/bin/env bash
# The bash completion of the installed package, in the Debian root: the options come
# from the program's --help, the port names from --list-ports of a copy of sysfs with
# one FTDI adapter (SUITE_SYSTEM_ROOT), what follows a colon is completed as bash
# replaces it. Prints "ok: ..." lines; status 1 on the first wrong answer.
#   completion.sh COMPLETION-FILE SCRATCH-DIR
set -uo pipefail
. "$1"
fake=$2/system
rm -rf "$fake"
usb=$fake/sys/devices/pci0000:00/usb1/1-1/1-1.4
tty=$usb/1-1.4:1.0/ttyUSB0/tty/ttyUSB0
mkdir -p "$tty" "$fake/sys/class/tty" "$fake/dev"
echo 0403 >"$usb/idVendor"
echo 6001 >"$usb/idProduct"
echo FTDI >"$usb/manufacturer"
echo A1B2C3 >"$usb/serial"
ln -s ../../devices/pci0000:00/usb1/1-1/1-1.4/1-1.4:1.0/ttyUSB0/tty/ttyUSB0 "$fake/sys/class/tty/ttyUSB0"
ln -s ../../../ttyUSB0 "$tty/device"
export SUITE_SYSTEM_ROOT=$fake

expect() { # line, expected replies
  COMP_LINE=$1 COMP_POINT=${#1} COMP_WORDS=("${1%% *}") COMP_CWORD=0
  _serial_service_suite
  local got="${COMPREPLY[*]}"
  [ "$got" = "$2" ] || { echo "completion of \"$1\": \"$got\", expected \"$2\""; exit 1; }
  echo "ok: \"$1\" completes to \"$2\""
}
expect "quarrow --max" "--max-rejects"
expect "solvane --sim" "--simulate"
expect "quarrow --port " "$fake/dev/ttyUSB0 usb-path:1-1.4 usb:0403:6001:A1B2C3"
expect "dunmere --port usb:" "0403:6001:A1B2C3"
expect "tirell --port usb-path:1" "1-1.4"
expect "device-sim --loader q" "quarrow"
