#!/usr/bin/env bash
# quarrow-cli.exe of an unpacked release folder writes a two-page image to device-sim
# on COM1. Runs inside tests/wine/run.sh --exec (WINE, SUITE_WINE_PORT_DIR set).
#   wine_console.sh FOLDER DEVICE-SIM WORKDIR
set -euo pipefail
folder=$1 device_sim=$2 work=$3
: "${WINE:?run with tests/wine/run.sh BUILD --exec}" "${SUITE_WINE_PORT_DIR:?}"

image=$work/two-pages.bin
head -c $((2 * 2112 - 1)) /dev/urandom >"$image"
printf '\x5a' >>"$image"
link=$SUITE_WINE_PORT_DIR/com1
rm -f "$link"
"$device_sim" --link "$link" --loader quarrow --expect "$image" --flash "$work/flash.bin" \
  --flash-length "$(stat -c %s "$image")" --max-time 60 >"$work/device.report" 2>"$work/device.err" &
sim=$!
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { echo "device-sim did not make $link" >&2; cat "$work/device.err" >&2; exit 1; }

winimage=$(printf 'Z:%s' "$image" | tr / '\\')
status=0
(cd "$folder" && timeout 120 "$WINE" quarrow-cli.exe --port COM1 --timeout 20 "$winimage") \
  >"$work/cli.out" 2>"$work/cli.err" || status=$?
wait "$sim" || { echo "device-sim failed:" >&2; cat "$work/device.report" "$work/device.err" >&2; exit 1; }
last=$(tail -n1 "$work/cli.out" | tr -d '\r')
if [ "$status" -ne 0 ] || [ "$last" != "Updata success!" ]; then
  echo "quarrow-cli.exe: status $status, last line \"$last\"" >&2
  tail -n 20 "$work/cli.err" >&2
  exit 1
fi
cmp "$image" "$work/flash.bin" || { echo "the device's flash differs from the image" >&2; exit 1; }
grep -q '^result: complete' "$work/device.report" || { cat "$work/device.report" >&2; exit 1; }
echo "quarrow-cli.exe --port COM1 IMAGE from the unpacked folder: status 0, \"$last\", the device's flash = the image"
