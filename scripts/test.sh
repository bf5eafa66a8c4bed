#!/usr/bin/env bash
# Installs what it needs, checks the sources' layout, builds everything and runs
# every test:
#   0. scripts/check_format.sh: every source follows .clang-format
#   1. native build, all tests
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build, all tests
#   3. ThreadSanitizer build, the serial engine's tests
#   4. libFuzzer targets (clang, ASan + UBSan), each for FUZZ_SECONDS
#   5. Windows cross-builds (x86_64, and i686 with warnings as errors, both with
#      their tests), then under Wine each build's tests and the Wine benchmarks
#   6. the release (tests/release/run.sh): built twice and compared byte for byte,
#      the .deb in a fresh Debian 12 root, the zips in fresh Wine prefixes (about
#      7 minutes on 2 cores: one release from scratch, one incremental; the first
#      run builds both from scratch and runs debootstrap, about 10 minutes more)
# Environment: JOBS (default: number of cores), FUZZ_SECONDS (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-30}

scripts/deps.sh all

step() { printf '\n=== %s ===\n' "$*"; }

configure_build() { # dir, cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

step "source layout"
scripts/check_format.sh

step "native build and tests"
configure_build build
ctest --test-dir build --output-on-failure -j "$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer"
configure_build build-asan -DCMAKE_BUILD_TYPE=Debug -DSUITE_SANITIZE=address,undefined
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

step "ThreadSanitizer: serial engine"
configure_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DSUITE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -L engine

step "fuzzers (${fuzz_seconds}s each)"
configure_build build-fuzz -DCMAKE_BUILD_TYPE=Debug -DSUITE_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
mkdir -p build-fuzz/corpus
for f in build-fuzz/bin/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  mkdir -p "build-fuzz/corpus/$name"
  echo "--- $name"
  log=build-fuzz/$name.log
  if ! "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "build-fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "$name failed (full log: $log)" >&2
    exit 1
  fi
  grep -E 'stat::number_of_executed_units' "$log" || true
done

step "Windows cross-builds"
configure_build build-win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
# The users' computers are 32-bit Windows: that build must be free of warnings, and
# its tests run too.
configure_build build-win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror -DBUILD_TESTING=ON
# Each program is one .exe that needs only Windows' own DLLs.
scripts/check_imports.sh build-win64 build-win32

# Each run has its own Xvfb and a Wine prefix under BUILD_DIR/wine (32-bit for
# build-win32), COM1..COM8 on pseudo-terminals.
timed() { # what, command...
  local what=$1 start=$SECONDS; shift
  "$@"
  echo "--- $what: $(( SECONDS - start )) s"
}
for dir in build-win64 build-win32; do
  step "Windows tests under Wine: $dir"
  timed "Wine tests of $dir" tests/wine/run.sh "$dir"
done

for dir in build-win64 build-win32; do
  step "Windows benchmarks under Wine: $dir (figures only)"
  timed "Solvane bench of $dir" tests/wine/run.sh "$dir" bench/wine/solvane_bench.sh
  timed "flash tools bench of $dir" tests/wine/run.sh "$dir" bench/wine/flash_tools_bench.sh
  timed "console programs bench of $dir" tests/wine/run.sh "$dir" bench/wine/console_bench.sh
done

step "release: reproducible, the .deb in Debian 12, the zips under Wine"
timed "release tests" tests/release/run.sh --wine-build64 build-win64 --wine-build32 build-win32

step "all tests passed"
