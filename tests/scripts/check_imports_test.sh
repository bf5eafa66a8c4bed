#!/usr/bin/env bash
# scripts/check_imports.sh against small programs built for the purpose, 32-bit and
# 64-bit: one that starts on Windows XP passes; functions of later versions, a
# non-system DLL and a subsystem version above XP's each fail with a line that names
# the program and the culprit.
#   tests/scripts/check_imports_test.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
check=$PWD/scripts/check_imports.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# build ARCH BUILD_DIR NAME [gcc options...] < C source: BUILD_DIR/bin/NAME.exe.
build() {
  local arch=$1 dir=$2 name=$3; shift 3
  mkdir -p "$dir/bin"
  "$arch-w64-mingw32-gcc" -x c - -o "$dir/bin/$name.exe" "$@"
}

# expect_line OUTPUT PATTERN WHAT: OUTPUT has a line matching the extended regex PATTERN.
expect_line() {
  grep -Eq -- "$2" <<<"$1" || fail "$3: no line matching '$2' in:"$'\n'"$1"
}

xp_program='
#include <windows.h>
int main(void) {
  HANDLE file = CreateFileA("NUL", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  CancelIo(file);
  CloseHandle(file);
  return (int)(GetTickCount() & 1);
}'
# Functions of Vista (GetTickCount64, CancelIoEx), 7 (SetWaitableTimerEx) and 8
# (CreateFile2; GetSystemTimePreciseAsFileTime, which the headers don't guard), built
# at the newest level.
later_program='
#include <windows.h>
int main(int argc, char **argv) {
  FILETIME now;
  LARGE_INTEGER due = {{0}};
  (void)argv;
  if (argc > 5) {
    CancelIoEx(GetStdHandle(STD_INPUT_HANDLE), NULL);
    SetWaitableTimerEx(NULL, &due, 0, NULL, NULL, NULL, 0);
    CreateFile2(L"NUL", GENERIC_READ, 0, OPEN_EXISTING, NULL);
    GetSystemTimePreciseAsFileTime(&now);
  }
  return (int)(GetTickCount64() & 1);
}'
later_flags=(-static -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00)

for arch in i686 x86_64; do
  # A program for XP passes, and the summary counts what the headers judged.
  build $arch "$work/$arch-xp" clean "${later_flags[@]}" <<<"$xp_program"
  if out=$("$check" "$work/$arch-xp" 2>&1); then
    expect_line "$out" "^$work/$arch-xp/bin/clean.exe: .*KERNEL32.dll .*[1-9][0-9]* declared for Windows XP" \
      "$arch: summary of a program for XP"
  else
    fail "$arch: a program for XP fails the check:"$'\n'"$out"
  fi

  # Later functions: each named, with the version its declaration starts at.
  dir=$work/$arch-later
  build $arch "$dir" later "${later_flags[@]}" <<<"$later_program"
  if out=$("$check" "$dir" 2>&1); then
    fail "$arch: a program with functions of Vista and later passes:"$'\n'"$out"
  fi
  exe=$dir/bin/later.exe
  expect_line "$out" "^$exe imports GetTickCount64 \(KERNEL32.dll\), .* 0x0600 \(Windows Vista\)" "$arch: GetTickCount64"
  expect_line "$out" "^$exe imports CancelIoEx \(KERNEL32.dll\), .* 0x0600 \(Windows Vista\)" "$arch: CancelIoEx"
  expect_line "$out" "^$exe imports SetWaitableTimerEx .* 0x0601 \(Windows 7\)" "$arch: a Windows 7 function"
  expect_line "$out" "^$exe imports CreateFile2 .* 0x0602 \(Windows 8\)" "$arch: a Windows 8 function"
  expect_line "$out" "^$exe imports GetSystemTimePreciseAsFileTime \(KERNEL32.dll\), a function of _WIN32_WINNT 0x0602 \(Windows 8\)" \
    "$arch: a later function the headers don't guard"
  grep -q 'imports GetTickCount \|imports GetStdHandle ' <<<"$out" && fail "$arch: XP's functions reported:"$'\n'"$out"

  # A DLL that doesn't come with Windows: the thread library linked dynamically.
  build $arch "$work/$arch-dll" threads -pthread <<<'
#include <pthread.h>
int main(void) { return (int)pthread_self() & 0; }'
  if out=$("$check" "$work/$arch-dll" 2>&1); then
    fail "$arch: a program that needs a mingw DLL passes:"$'\n'"$out"
  fi
  expect_line "$out" "threads.exe imports non-system DLLs: libwinpthread-1.dll" "$arch: non-system DLL"

  # A PE header that asks for Vista's subsystem.
  build $arch "$work/$arch-subsystem" vista_header -static -Wl,--subsystem,console:6.0 <<<"$xp_program"
  if out=$("$check" "$work/$arch-subsystem" 2>&1); then
    fail "$arch: a program for subsystem 6.0 passes:"$'\n'"$out"
  fi
  expect_line "$out" "vista_header.exe asks for subsystem version 6.0" "$arch: subsystem version"
done

# Several builds at once: the failing one fails the run, the clean one still reports.
if out=$("$check" "$work/x86_64-xp" "$work/i686-later" 2>&1); then
  fail "two builds, one failing: the run passes"
fi
expect_line "$out" "x86_64-xp/bin/clean.exe: " "two builds: the clean one's summary"
expect_line "$out" "i686-later/bin/later.exe imports GetTickCount64" "two builds: the failing one's line"

# An empty build: nothing to check is a failure, not a pass.
mkdir -p "$work/empty/bin"
"$check" "$work/empty" >/dev/null 2>&1 && fail "a build without programs passes"

if [ $failures -gt 0 ]; then
  echo "check_imports_test: $failures failed" >&2
  exit 1
fi
echo "check_imports_test: all passed"
