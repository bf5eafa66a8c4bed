#!/usr/bin/env bash
# Builds the four console tools and runs each against the built-in simulated device
# (a pseudo-terminal; no hardware needed): Dunmere erases, Solvane and Tirell update
# the firmware, Quarrow writes a whole-flash image. Each run shows its progress and
# ends with the tool's success text. On a fresh Debian 12 machine, run as root (the
# first step installs the build tools with apt-get).
#   JOBS=n     parallel build jobs (default: the number of processors)
#   BUILD=dir  build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native

build=${BUILD:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target dunmere solvane tirell quarrow

status=0
run() {
  echo
  echo "==> $*"
  "$build/bin/$@" || { echo "!! $1 failed (exit status $?)"; status=1; }
}
run dunmere --simulate
run solvane --simulate
run tirell --simulate
run quarrow --simulate

echo
if [ $status -eq 0 ]; then
  echo "All four tools finished against the simulated device."
else
  echo "At least one tool failed; see above."
fi
exit $status
