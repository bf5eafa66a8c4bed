#!/usr/bin/env bash
# Checks that each Windows program of a build imports only DLLs that come with
# Windows, so that the single .exe runs on a clean machine (no mingw runtime DLLs).
#   scripts/check_imports.sh BUILD_DIR...
set -euo pipefail
# Windows' own DLLs that the programs may use.
allowed='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|winmm|msvcrt|ole32|oleaut32|shlwapi|uxtheme|ntdll)\.dll$'
status=0
for build in "$@"; do
  shopt -s nullglob
  programs=("$build"/bin/*.exe)
  shopt -u nullglob
  [ ${#programs[@]} -gt 0 ] || { echo "no programs in $build/bin" >&2; status=1; continue; }
  for exe in "${programs[@]}"; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    bad=$(grep -Ev "$allowed" <<<"$dlls" || true)
    if [ -n "$bad" ]; then
      echo "$exe imports non-system DLLs: $(tr '\n' ' ' <<<"$bad")" >&2
      status=1
    else
      echo "$exe: $(tr '\n' ' ' <<<"$dlls")"
    fi
  done
done
exit $status
