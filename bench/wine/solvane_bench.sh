#!/usr/bin/env bash
# Solvane.exe under Wine against device-sim, the line emulated at 19200 baud, with a
# full 14,336-byte image (112 blocks): prints the time of the exchange against the
# physical limit (every byte both ways at 10 bits a byte, plus the 20 ms before the
# length frame). Run it in the Wine environment of the tests:
#   tests/wine/run.sh build-win64 bench/wine/solvane_bench.sh
# Prints figures; fails only when the update itself fails.
. "$(dirname "$0")/../../tests/wine/gui/harness.sh"
iap_program=Solvane
. "$(dirname "$0")/../../tests/wine/gui/iap_cases.sh"

bench_solvane() {
  local image=$case_dir/image.bin
  iap_image "$image" 14336
  iap_start "Open serial success!"
  iap_load "$image"
  sim_start COM2 --loader solvane --baud 19200 --expect "$image" --max-time 300
  drv pick Solvane 1002 COM2
  expect_eq "$(drv answer Solvane 1 120000)" "Update Complete!" "completion box"
  sim_wait COM2 10
  sim_stop COM2
  local elapsed answer
  elapsed=$(sim_field COM2 elapsed | sed 's/ s$//')
  answer=$(sim_field COM2 'mean answer time')
  # Start reply, length frame (the command frame's 6 bytes fit in the 20 ms before
  # it), the receive reply, then 112 frames of 262 bytes, each answered with 6 bytes.
  awk -v m="$elapsed" -v a="$answer" -v i="$(sim_field COM2 'wire bytes in')" -v o="$(sim_field COM2 'wire bytes out')" \
      -v row="$HARNESS_OUT/solvane_bench.txt" 'BEGIN {
    limit = (6 + 6 + 6 + 112 * (262 + 6)) * 10 / 19200 + 0.020
    printf "    Solvane.exe under Wine, 14336 bytes at 19200 baud: measured %.3f s, limit %.3f s, ratio %.4f (target 0.98)\n", m, limit, limit / m
    printf "    (wire bytes: %s in, %s out; mean answer time %s)\n", i, o, a
    # The row of the table of bench/wine/flash_tools_bench.sh, for console_bench.sh.
    sub(/ ms$/, "", a)
    printf "%-12s %7d %12.3f %12.3f %8.4f %7.2f %12.3f\n", "Solvane.exe", 19200, m, limit, limit / m, 0.98, a > row }'
}

gui_case "Solvane.exe, 14336 bytes at 19200 baud" bench_solvane
gui_done
