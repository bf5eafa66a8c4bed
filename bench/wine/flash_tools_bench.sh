#!/usr/bin/env bash
# Benchmark of the dialog programs Quarrow.exe and Dunmere.exe under Wine against
# device-sim, with the line emulated at 115200 baud, beside the console tools' figures
# from the same run (bench/tools_bench.sh). Run it through the Wine test set-up:
#
#   tests/wine/run.sh build-win64 bench/wine/flash_tools_bench.sh [-- quarrow|dunmere|console|serial]
#
# The programs are driven as a person drives them (tests/wine/gui/harness.sh): pick
# the image, press UPDATE or ERASE, wait for the closing box. Measured time: device-
# sim's own measure, from the first byte of the tool's first frame to the last byte of
# the device's last acknowledgement. Physical limit: the wire time of every byte both
# ways (10 bits a byte). Prints the ratio limit / measured; asserts nothing about it.
# QUARROW_PAGES sets Quarrow's image size (default 64 pages). Last, the serial layer on
# its own (tests/wine/gui/SerialLatency.cpp): Dunmere's exchange with the bare Win32
# calls, waiting for each reply with WaitCommEvent, with ReadFile, or with a pending
# one-byte ReadFile issued before the frame goes out (as the Win32 back end does),
# which shows how much of a dialog's time is the serial layer's.
. "$(dirname "$0")/../../tests/wine/gui/harness.sh"

pages=${QUARROW_PAGES:-64}
results=$HARNESS_OUT/flash_tools_bench.txt
: >"$results"

# The figures of one run from device-sim's report of `port`.
record() { # tool port limit-seconds target
  local measured ratio
  measured=$(sim_field "$2" elapsed | sed 's/ s$//')
  ratio=$(awk -v l="$3" -v m="$measured" 'BEGIN { printf "%.4f", l / m }')
  printf '%-12s %7d %12.3f %12.3f %8s %7s %12s\n' "$1" 115200 "$measured" "$3" "$ratio" "$4" \
    "$(sim_field "$2" 'mean answer time' | sed 's/ ms$//')" >>"$results"
  echo "    $1: measured $measured s, limit $3 s, ratio $ratio (target $4)"
}

limit_of() { # bytes
  awk -v n="$1" 'BEGIN { printf "%.6f", n * 10 / 115200 }'
}

bench_quarrow() {
  local image=$case_dir/flash.bin
  head -c $(( pages * 2112 - 1 )) /dev/urandom >"$image"
  printf '\x5a' >>"$image"
  sim_start COM1 --loader quarrow --expect "$image"
  app_start Quarrow
  drv waittext Quarrow 1006 "Open serial port success!"
  drv click Quarrow 1000
  drv openfile "选择下载的程序" "$(winpath "$image")"
  drv click Quarrow 1001
  expect_eq "$(drv answer Quarrow 1 $(( 60000 + pages * 1000 )))" "Updata success!" "success box"
  drv close Quarrow
  drv gone Quarrow
  sim_wait COM1 10
  sim_stop COM1
  expect_eq "$(sim_field COM1 result)" complete "device's run"
  # 17 erase frames of 7 bytes, then per page a 141-byte page-start frame and 15
  # continuation frames of 137 bytes; every frame answered with 5 bytes.
  record "Quarrow.exe" COM1 "$(limit_of $(( 17 * (7 + 5) + pages * (141 + 5 + 15 * (137 + 5)) )))" 0.93
}

bench_dunmere() {
  sim_start COM1 --loader erase
  app_start Dunmere
  expect_eq "$(drv answer Dunmere)" "Serial port ready!" "start-up box"
  drv wait Dunmere >/dev/null
  drv click Dunmere 1000
  expect_eq "$(drv answer Dunmere 1 60000)" "Finish" "end of the chain"
  sim_wait COM1 10
  sim_stop COM1
  expect_eq "$(sim_field COM1 result)" complete "device's chain"
  # 1,008 erase frames of 7 bytes, each answered by a 5-byte acknowledgement.
  record "Dunmere.exe" COM1 "$(limit_of $(( 1008 * (7 + 5) )))" 0.85
}

bench_console() {
  "$(dirname "$0")/../tools_bench.sh" --build "$HARNESS_NATIVE" --pages "$pages" dunmere quarrow \
    >"$case_dir/tools_bench.txt" 2>&1 || echo "    (a console tool missed its target or failed)"
  cat "$case_dir/tools_bench.txt"
  grep -E '^(dunmere|quarrow) ' "$case_dir/tools_bench.txt" |
    awk '{ printf "%-12s %7d %12.3f %12.3f %8.4f %7.2f %12.3f\n", $1 " (console)", $2, $3, $4, $5, $6, $7 }' >>"$results"
}

bench_serial() {
  local way
  for way in event read wake; do
    sim_start COM1 --loader erase
    "$WINE" "$HARNESS_BUILD/harness/serial_latency.exe" "$way" 1008 | tee -a "$case_dir/serial.txt"
    sim_stop COM1
  done
  sed 's/^/serial layer, /' "$case_dir/serial.txt" >"$case_dir/serial.lines"
}

gui_case quarrow bench_quarrow
gui_case dunmere bench_dunmere
gui_case console bench_console
gui_case serial bench_serial
echo
echo "=== Dialog programs under Wine and console tools, line emulated by device-sim"
printf '%-12s %7s %12s %12s %8s %7s %12s\n' tool baud measured/s limit/s ratio target answer/ms
cat "$results"
cat "$HARNESS_OUT/flash_tools_bench/serial/serial.lines" 2>/dev/null
gui_done
