#!/usr/bin/env bash
# A production line in small: N stations at once, each writing to its own simulated
# device (device-sim on a pseudo-terminal, the line emulated at the tool's rate), run
# two ways: as N tool processes, one a port, and as one tool process given --port N
# times. Prints, for every station, the ratio of the line's physical limit to the time
# the exchange took (1.0 = as fast as the wire allows) and the CPU time the tools and
# the simulated devices used, then the mean and the worst ratio of each way.
#
# Usage: bench/stations.sh [--build DIR] [--tool TOOL] [--pages N] [--only processes|one] N...
#   --build DIR  build directory holding bin/device-sim and the tools (default: build)
#   --tool TOOL  quarrow (default), solvane, tirell or dunmere
#   --pages N    pages of Quarrow's image (default 16)
#   --only WAY   run only N processes, or only one process (default: both)
#   N...         station counts to run, one after the other (default: 1 4 8 16)
#
# The limit and the measured time are as in bench/tools_bench.sh: device-sim's own
# measure from the first byte of the exchange to the last byte of the final reply,
# against the wire time of every byte both ways (10 bits a byte) plus the protocol's
# fixed waits. The figures are printed, never judged: the exit status is 0 when every
# station's run succeeded, 1 otherwise.
set -euo pipefail

build=build
tool=quarrow
pages=16
ways="processes one"
counts=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --tool) tool=$2; shift 2 ;;
    --pages) pages=$2; shift 2 ;;
    --only) ways=$2; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *[!0-9]*|'') echo "stations.sh: unknown argument $1" >&2; exit 2 ;;
    *) counts+=("$1"); shift ;;
  esac
done
[ ${#counts[@]} -gt 0 ] || counts=(1 4 8 16)
case $tool in
  dunmere) loader=erase baud=115200 ;;
  solvane|tirell) loader=$tool baud=19200 ;;
  quarrow) loader=quarrow baud=115200 ;;
  *) echo "stations.sh: unknown tool $tool" >&2; exit 2 ;;
esac
case $pages in ''|*[!0-9]*) echo "stations.sh: --pages needs a number" >&2; exit 2 ;; esac

bin=$build/bin
for program in device-sim "$tool"; do
  [ -x "$bin/$program" ] || { echo "stations.sh: $bin/$program not built" >&2; exit 2; }
done

work=$(mktemp -d)
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The image and the line's limit for it.
image=
case $tool in
  dunmere)
    bytes=$(( 1008 * (7 + 5) )); fixed=0 ;;
  solvane|tirell)
    image=$work/image.bin
    head -c 14336 /dev/urandom > "$image"
    bytes=$(( 6 + 6 + 6 + 112 * (262 + 6) )); fixed=0.020 ;;
  quarrow)
    image=$work/image.bin
    head -c $(( pages * 2112 )) /dev/urandom > "$image"
    printf '\x5a' | dd of="$image" bs=1 seek=$(( pages * 2112 - 1 )) conv=notrunc status=none
    bytes=$(( 17 * (7 + 5) + pages * (141 + 5 + 15 * (137 + 5)) )); fixed=0 ;;
esac
limit=$(awk -v b="$baud" -v n="$bytes" -v f="$fixed" 'BEGIN { printf "%.6f", n * 10 / b + f }')

field() { # report-file key
  sed -n "s/^$2: //p" "$1" | head -n 1
}

# User + system seconds of the children, from the second line of bash's `times`.
cpu_of() { # times-file
  awk 'NR == 2 {
    split($1, u, /[ms]/); split($2, s, /[ms]/)
    printf "%.3f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$1"
}

failed=0
echo "$tool at $baud baud, line limit $limit s per run$([ "$tool" = quarrow ] && echo ", $pages pages")"
summary=()
for n in "${counts[@]}"; do
  for way in $ways; do
    case $way in processes|one) ;; *) echo "stations.sh: --only takes processes or one" >&2; exit 2 ;; esac
    echo
    echo "== $n station(s) at once, $([ "$way" = one ] && echo "one tool process" || echo "$n tool processes")"
    dir=$work/n$n-$way
    mkdir -p "$dir"
    # The devices first, each on its own line; then the tools.
    for i in $(seq "$n"); do
      expect=()
      [ -n "$image" ] && expect=(--expect "$image")
      ( "$bin/device-sim" --loader "$loader" --baud "$baud" --link "$dir/line$i" "${expect[@]}" \
          --max-time 900 > "$dir/report$i" 2> "$dir/sim$i.err"; echo $? > "$dir/sim$i.status"
        times > "$dir/sim$i.times" ) &
    done
    for i in $(seq "$n"); do
      for _ in $(seq 500); do [ -L "$dir/line$i" ] && break; sleep 0.01; done
    done
    args=()
    [ -n "$image" ] && args=("$image")
    if [ "$way" = one ]; then
      ports=()
      for i in $(seq "$n"); do ports+=(--port "$dir/line$i"); done
      ( "$bin/$tool" "${ports[@]}" --timeout 10 "${args[@]}" > "$dir/tool.out" 2> "$dir/tool.err"
        echo $? > "$dir/tool.status"
        times > "$dir/tool.times" ) &
    else
      for i in $(seq "$n"); do
        ( "$bin/$tool" --port "$dir/line$i" --timeout 10 "${args[@]}" > "$dir/tool$i.out" 2> "$dir/tool$i.err"
          echo $? > "$dir/tool$i.status"
          times > "$dir/tool$i.times" ) &
      done
    fi
    wait
    printf '%-8s %10s %10s %8s %10s %10s\n' station measured/s limit/s ratio tool-cpu/s sim-cpu/s
    ratios=()
    tool_cpu=0 sim_cpu=0
    for i in $(seq "$n"); do
      if [ "$way" = one ]; then status=$(cat "$dir/tool.status"); else status=$(cat "$dir/tool$i.status"); fi
      sim_status=$(cat "$dir/sim$i.status")
      if [ "$status" != 0 ] || [ "$sim_status" != 0 ]; then
        printf '%-8s failed (tool exit %s, device-sim exit %s)\n' "$i" "$status" "$sim_status"
        tail -n 3 "$dir/tool$([ "$way" = one ] || echo "$i").err" | sed 's/^/    /'
        failed=1
        [ "$sim_status" = 0 ] || continue
      fi
      measured=$(field "$dir/report$i" elapsed | sed 's/ s$//')
      ratio=$(awk -v l="$limit" -v m="$measured" 'BEGIN { printf "%.4f", l / m }')
      ratios+=("$ratio")
      station_cpu=-
      if [ "$way" = processes ]; then
        station_cpu=$(cpu_of "$dir/tool$i.times")
        tool_cpu=$(awk -v a="$tool_cpu" -v b="$station_cpu" 'BEGIN { printf "%.3f", a + b }')
      fi
      this_sim=$(cpu_of "$dir/sim$i.times")
      sim_cpu=$(awk -v a="$sim_cpu" -v b="$this_sim" 'BEGIN { printf "%.3f", a + b }')
      printf '%-8s %10.3f %10.3f %8s %10s %10s\n' "$i" "$measured" "$limit" "$ratio" "$station_cpu" "$this_sim"
    done
    [ "$way" = one ] && tool_cpu=$(cpu_of "$dir/tool.times")
    if [ ${#ratios[@]} -gt 0 ]; then
      line=$(printf '%s\n' "${ratios[@]}" | awk -v n="$n" -v w="$way" -v t="$tool_cpu" -v s="$sim_cpu" '
        { sum += $1; if (min == "" || $1 < min) min = $1 }
        END { printf "N=%-3d %-10s mean ratio %.4f, worst %.4f; tools %.2f s CPU, devices %.2f s CPU", n, w, sum / NR, min, t, s }')
      echo "$line"
      summary+=("$line")
    fi
  done
done
echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
