#!/usr/bin/env bash
# Checks packaging/udev/60-serial-service-suite.rules without a running udev: every
# rule line is a list of KEY{attr}OP"value" pairs (udev ignores a rule it cannot read,
# silently), FTDI adapters get latency 1 ms, and every adapter the rule names is
# ignored by ModemManager and given to group dialout.
#   tests/scripts/udev_rule_test.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
rules=$root/packaging/udev/60-serial-service-suite.rules
[ -f "$rules" ] || { echo "no $rules"; exit 1; }
bad=0
pair='[A-Z_]+(\{[A-Za-z_]+\})?(==|!=|=|\+=|:=)"[^"]*"'
while IFS= read -r line; do
  case $line in '' | '#'*) continue ;; esac
  if ! printf '%s\n' "$line" | grep -qE "^$pair(, $pair)*\$"; then
    echo "not a rule udev can read: $line"
    bad=1
  fi
  if [[ $line == *'ATTRS{idVendor}'* ]]; then
    for want in 'ENV{ID_MM_DEVICE_IGNORE}="1"' 'GROUP="dialout"'; do
      [[ $line == *"$want"* ]] || { echo "adapter rule without $want: $line"; bad=1; }
    done
  fi
done < "$rules"
grep -qE '^ACTION=="add\|change", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR\{latency_timer\}="1"$' "$rules" ||
  { echo "no rule sets FTDI adapters' latency timer to 1 ms"; bad=1; }
for id in '"0403"' '"1a86"' '"10c4"'; do
  grep -q "ATTRS{idVendor}==$id" "$rules" || { echo "no rule for vendor $id"; bad=1; }
done
[ "$bad" -eq 0 ] && echo "udev rule: ok"
exit "$bad"
