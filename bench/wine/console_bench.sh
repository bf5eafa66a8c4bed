#!/usr/bin/env bash
# Benchmark of the Windows console programs (dunmere-cli.exe, solvane-cli.exe,
# tirell-cli.exe, quarrow-cli.exe) under Wine against device-sim, with the images and
# line rates of the dialog programs' benchmarks: Dunmere's 1,008 erase frames and
# Quarrow's image of QUARROW_PAGES pages (default 64) at 115200 baud, a full 14,336-byte
# image for Solvane and Tirell at 19200 baud. Run it through the Wine test set-up:
#
#   tests/wine/run.sh build-win64 bench/wine/console_bench.sh [-- dunmere|solvane|tirell|quarrow]
#
# Measured time: device-sim's own measure, from the first byte of the exchange to the
# last byte of the device's last acknowledgement; the physical limit: the wire time of
# every byte both ways (10 bits a byte), plus the 20 ms before Solvane's and Tirell's
# length frame. Prints the ratio limit / measured beside the dialog programs' figures of
# the last runs of bench/wine/flash_tools_bench.sh and solvane_bench.sh on this build
# (their results files, when there), and the program's wall time (Wine's start-up
# included). The targets shown are the dialog programs'; nothing is asserted about
# them: the run fails only when a program or the device fails.
. "$(dirname "$0")/../../tests/wine/gui/harness.sh"
. "$(dirname "$0")/../../tests/wine/console/console_steps.sh"

pages=${QUARROW_PAGES:-64}
results=$HARNESS_OUT/console_bench.txt
: >"$results"
# A whole Quarrow write takes minutes at a slow pace.
export CLI_TIME_LIMIT=900

limit_of() { # baud bytes fixed-seconds
  awk -v b="$1" -v n="$2" -v f="$3" 'BEGIN { printf "%.6f", n * 10 / b + f }'
}

# One run of TOOL against device-sim on COM1 at BAUD, and its row of the table.
bench_tool() { # tool baud limit-seconds target [image]
  local tool=$1 baud=$2 limit=$3 target=$4 image=${5:-}
  tool_sim COM1 "$tool" "$image" --baud "$baud" --max-time 900
  local start end
  start=$(date +%s.%N)
  cli run "$tool" --port COM1 --timeout 20 ${image:+"$(winpath "$image")"}
  end=$(date +%s.%N)
  expect_status 0 run
  expect_eq "$(tail -n 1 "$case_dir/run.stdout")" "${SUCCESS[$tool]}" "last line"
  expect_complete COM1
  local measured answer
  measured=$(sim_field COM1 elapsed | sed 's/ s$//')
  answer=$(sim_field COM1 'mean answer time' | sed 's/ ms$//')
  awk -v t="$tool-cli.exe" -v b="$baud" -v m="$measured" -v l="$limit" -v g="$target" -v a="$answer" \
    -v s="$start" -v e="$end" 'BEGIN {
      printf "%-16s %7d %12.3f %12.3f %8.4f %7.2f %12.3f %10.2f\n", t, b, m, l, l / m, g, a, e - s }' >>"$results"
  echo "    $tool-cli.exe: measured $measured s, limit $limit s, wire bytes $(sim_field COM1 'wire bytes in') in, $(sim_field COM1 'wire bytes out') out"
}

bench_dunmere() {
  # 1,008 erase frames of 7 bytes, each answered by a 5-byte acknowledgement.
  bench_tool dunmere 115200 "$(limit_of 115200 $(( 1008 * (7 + 5) )) 0)" 0.85
}

bench_iap() { # tool
  local image=$case_dir/image.bin
  make_image "$image" 14336
  # Start reply, length frame (the command frame's 6 bytes fit in the 20 ms before
  # it), the receive reply, then 112 frames of 262 bytes, each answered with 6 bytes.
  bench_tool "$1" 19200 "$(limit_of 19200 $(( 6 + 6 + 6 + 112 * (262 + 6) )) 0.020)" 0.98 "$image"
}
bench_solvane() { bench_iap solvane; }
bench_tirell() { bench_iap tirell; }

bench_quarrow() {
  local image=$case_dir/image.bin
  make_image "$image" $(( pages * 2112 ))
  # 17 erase frames of 7 bytes, then per page a 141-byte page-start frame and 15
  # continuation frames of 137 bytes; every frame answered with 5 bytes.
  bench_tool quarrow 115200 "$(limit_of 115200 $(( 17 * (7 + 5) + pages * (141 + 5 + 15 * (137 + 5)) )) 0)" 0.93 "$image"
}

console_case dunmere bench_dunmere
console_case solvane bench_solvane
console_case tirell bench_tirell
console_case quarrow bench_quarrow

echo
echo "=== Console programs under Wine ($pages Quarrow pages), line emulated by device-sim"
printf '%-16s %7s %12s %12s %8s %7s %12s %10s\n' tool baud measured/s limit/s ratio target answer/ms wall/s
cat "$results"
# The dialog programs' rows, from their benchmarks' last runs on this build.
dialogs=$HARNESS_OUT/flash_tools_bench.txt
solvane=$HARNESS_OUT/solvane_bench.txt
if [ -s "$dialogs" ] || [ -s "$solvane" ]; then
  echo "--- the dialog programs (and the native console tools) under the same set-up, from their benchmarks' last runs:"
  for file in "$solvane" "$dialogs"; do
    [ -s "$file" ] || continue
    # Their rows in this table's columns (a tool's name may have a blank in it).
    awk '{ name = $1; for (i = 2; i <= NF - 6; i++) name = name " " $i
           printf "%-16s %7s %12s %12s %8s %7s %12s\n", name, $(NF-5), $(NF-4), $(NF-3), $(NF-2), $(NF-1), $NF }' "$file"
    echo "    (${file#"$HARNESS_OUT"/}, $(date -u -r "$file" '+%Y-%m-%d %H:%M UTC'))"
  done
fi
gui_done
