#!/usr/bin/env bash
# Checks each Windows program of a build (BUILD_DIR/bin/*.exe) for what would keep it
# from starting on a clean Windows XP SP3 or later, 32-bit or 64-bit:
#   - a DLL that doesn't come with Windows (such as a mingw runtime DLL);
#   - an imported function that the Windows headers (mingw-w64's) declare only for a
#     version after XP;
#   - a subsystem version in the PE header above XP's (5.1; 5.2 for 64-bit XP).
# The headers answer the second question. A generated C file (the probe) takes the
# address of every function the build's programs import, and is compiled at XP's API
# level (_WIN32_WINNT=0x0501) and at the newest level the headers know. A name the
# compiler knows only at the newest level is a function of a later Windows; for
# those, further compiles name the first version that declares it. A short table
# adds the later functions that the headers declare without a version guard. Names
# declared at neither level are not judged by the probe and are listed, as are the
# C runtime's functions: msvcrt.dll is not versioned by the Windows headers, so its
# imports are never probed.
#   scripts/check_imports.sh BUILD_DIR...
set -euo pipefail
objdump=x86_64-w64-mingw32-objdump  # reads 32-bit and 64-bit programs alike
# Windows' own DLLs that the programs may use.
allowed='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|winmm|msvcrt|ole32|oleaut32|shlwapi|uxtheme|ntdll|setupapi)\.dll$'
# The headers that declare the functions of those DLLs.
headers=(windows.h commctrl.h commdlg.h shellapi.h mmsystem.h shlwapi.h uxtheme.h objbase.h oleauto.h winternl.h setupapi.h
         cfgmgr32.h)
xp_level=0x0501
# Later API levels, oldest first, to name the first version that declares a function
# (one not declared at the last but one is declared at the last, the newest).
later_levels=(0x0502 0x0600 0x0601 0x0602 0x0603 0x0A00)
probed_levels=("${later_levels[@]:0:${#later_levels[@]}-1}")
declare -A level_name=([0x0502]="Windows Server 2003" [0x0600]="Windows Vista" [0x0601]="Windows 7"
                       [0x0602]="Windows 8" [0x0603]="Windows 8.1" [0x0A00]="Windows 10")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Functions of a later Windows that mingw-w64's headers declare at every level, and
# the level each came with: the probe can't see these, so they are named here.
cat >"$work/unguarded" <<'EOF'
AddVectoredContinueHandler	0x0502
GetCurrentProcessorNumber	0x0502
GetProcessIdOfThread	0x0502
GetThreadId	0x0502
RegGetValueA	0x0502
RegGetValueW	0x0502
RemoveVectoredContinueHandler	0x0502
SetThreadStackGuarantee	0x0502
GetOverlappedResultEx	0x0602
GetSystemTimePreciseAsFileTime	0x0602
WaitOnAddress	0x0602
WakeByAddressAll	0x0602
WakeByAddressSingle	0x0602
EOF

# imports DUMP: "FORMAT pei-..." then one "DLL<TAB>FUNCTION" line per import
# ("#ORDINAL" for a function imported by ordinal), from objdump -p's import tables.
imports() {
  awk '
    / file format / { print "FORMAT\t" $NF }
    /^The Import Tables/ { tables = 1; next }
    tables && /^[^ \t]/ { tables = 0 }
    tables && /^\tDLL Name: / { dll = $3; next }
    tables && dll != "" && /^\t[0-9a-f]+\t/ {
      name = (NF >= 3 && $3 != "<none>") ? $3 : "#" $2
      print dll "\t" name
    }' "$1"
}

# subsystem_version DUMP: "MAJOR.MINOR" of the PE header's subsystem version.
subsystem_version() {
  awk '/^MajorSubsystemVersion/ { major = $2 } /^MinorSubsystemVersion/ { minor = $2 }
       END { print major "." minor }' "$1"
}

# write_probe FILE NAMES_FILE: a C file that takes the address of each name, one a line;
# `line_of_first_name` is the line of the first one.
line_of_first_name=0
write_probe() {
  {
    for h in "${headers[@]}"; do echo "#include <$h>"; done
    echo "void probe(void) {"
    echo "  const void *volatile p;"
    sed 's/.*/  p = (const void *)\&&;/' "$2"
    echo "  (void)p;"
    echo "}"
  } >"$1"
  line_of_first_name=$(( ${#headers[@]} + 3 ))
}

# undeclared CC PROBE NAMES_FILE OUT DEFINES...: writes to OUT the names of NAMES_FILE
# whose line of PROBE doesn't compile with the given definitions. Any other error
# (a header that doesn't compile) ends the check: the probe would prove nothing.
undeclared() {
  local cc=$1 probe=$2 names=$3 out=$4; shift 4
  LC_ALL=C "$cc" -fsyntax-only -w -fmax-errors=0 "$@" "$probe" >"$out.log" 2>&1 || true
  sed -n "s|^${probe}:\([0-9]*\):[0-9]*: error: .*|\1|p" "$out.log" | sort -un |
    awk -v first="$line_of_first_name" -v last=$((line_of_first_name + $(wc -l <"$names") - 1)) \
      'NR == FNR { name[NR + first - 1] = $0; next }
       $1 >= first && $1 <= last { print name[$1]; next }
       { print "line " $1 > "/dev/stderr"; bad = 1 } END { exit bad }' "$names" - >"$out.lines" 2>"$out.other" ||
    { echo "the probe $probe ($*) fails outside the imported names:" >&2; grep -E 'error' "$out.log" | head -n 20 >&2
      exit 1; }
  sort -u "$out.lines" >"$out"
}

# first_level ARCH NAME: the first later API level at which NAME is declared.
first_level() {
  local level
  for level in "${probed_levels[@]}"; do
    if grep -qxF "$2" "$work/declared-$1-$level"; then echo "$level"; return; fi
  done
  echo "${later_levels[-1]}"
}

status=0
for build in "$@"; do
  shopt -s nullglob
  programs=("$build"/bin/*.exe)
  shopt -u nullglob
  [ ${#programs[@]} -gt 0 ] || { echo "no programs in $build/bin" >&2; status=1; continue; }

  # Every program's imports; one probe per processor the build's programs are for.
  declare -A arch_of=() dump_of=()
  : >"$work/all"
  for exe in "${programs[@]}"; do
    dump_of[$exe]=$work/dump-${#dump_of[@]}
    "$objdump" -p "$exe" >"${dump_of[$exe]}"
    imports "${dump_of[$exe]}" >"$work/raw"
    format=$(sed -n 's/^FORMAT\t//p' "$work/raw")
    case $format in
      pei-i386) arch=i686 ;;
      pei-x86-64) arch=x86_64 ;;
      *) echo "$exe: not a Windows program for i686 or x86_64 ($format)" >&2; status=1; continue ;;
    esac
    arch_of[$exe]=$arch
    grep -v '^FORMAT' "$work/raw" | sed "s|^|$arch\t$exe\t|" >>"$work/all" || true
  done

  for arch in $(printf '%s\n' "${arch_of[@]}" | sort -u); do
    cc=$arch-w64-mingw32-gcc
    command -v "$cc" >/dev/null || { echo "$cc not found (scripts/deps.sh all installs it)" >&2; exit 1; }
    # Names to probe: every imported function but the C runtime's and those by ordinal.
    awk -F'\t' -v a="$arch" '$1 == a && tolower($3) != "msvcrt.dll" && $4 !~ /^#/ { print $4 }' "$work/all" |
      sort -u >"$work/names-$arch"
    write_probe "$work/probe-$arch.c" "$work/names-$arch"
    newest=$(printf '#include <sdkddkver.h>\nWDK_NTDDI_VERSION\n' | "$cc" -E -P -x c - | tail -n 1 | tr -d ' ')
    newest_winnt=${newest:0:6}
    # The two compiles side by side.
    undeclared "$cc" "$work/probe-$arch.c" "$work/names-$arch" "$work/xp-$arch" \
      -D_WIN32_WINNT=$xp_level -DWINVER=$xp_level & xp_job=$!
    undeclared "$cc" "$work/probe-$arch.c" "$work/names-$arch" "$work/newest-$arch" \
      -D_WIN32_WINNT="$newest_winnt" -DWINVER="$newest_winnt" -DNTDDI_VERSION="$newest" & newest_job=$!
    wait $xp_job && wait $newest_job || exit 1
    # Declared for a later Windows only: undeclared at XP's level, declared at the newest.
    comm -23 "$work/xp-$arch" "$work/newest-$arch" >"$work/later-$arch"
    # Declared at neither level: not judged.
    comm -12 "$work/xp-$arch" "$work/newest-$arch" >"$work/unjudged-$arch"
    if [ -s "$work/later-$arch" ]; then
      # Which version brought each: one more compile per later level, of those names
      # only, all at once.
      write_probe "$work/later-$arch.c" "$work/later-$arch"
      level_jobs=()
      for level in "${probed_levels[@]}"; do
        undeclared "$cc" "$work/later-$arch.c" "$work/later-$arch" "$work/undeclared-$arch-$level" \
          -D_WIN32_WINNT=$level -DWINVER=$level & level_jobs+=($!)
      done
      for job in "${level_jobs[@]}"; do wait "$job" || exit 1; done
      for level in "${probed_levels[@]}"; do
        comm -23 "$work/later-$arch" "$work/undeclared-$arch-$level" >"$work/declared-$arch-$level"
      done
    fi
  done

  for exe in "${programs[@]}"; do
    [ -n "${arch_of[$exe]:-}" ] || continue
    arch=${arch_of[$exe]}
    awk -F'\t' -v e="$exe" '$2 == e { print $3 "\t" $4 }' "$work/all" >"$work/mine"
    dlls=$(cut -f1 "$work/mine" | sort -u)
    bad_dlls=$(tr 'A-Z' 'a-z' <<<"$dlls" | grep -Ev "$allowed" || true)
    failed=0
    if [ -n "$bad_dlls" ]; then
      echo "$exe imports non-system DLLs: $(tr '\n' ' ' <<<"$bad_dlls")" >&2
      failed=1
    fi
    awk -F'\t' 'NR == FNR { later[$0]; next } ($2 in later)' "$work/later-$arch" "$work/mine" >"$work/mine-later"
    while IFS=$'\t' read -r dll name; do
      level=$(first_level "$arch" "$name")
      echo "$exe imports $name ($dll), which the Windows headers declare only from" \
        "_WIN32_WINNT $level (${level_name[$level]:-a later Windows}) on: the program would not start on Windows XP" >&2
      failed=1
    done <"$work/mine-later"
    awk -F'\t' 'NR == FNR { level[$1] = $2; next } ($2 in level) { print $1 "\t" $2 "\t" level[$2] }' \
      "$work/unguarded" "$work/mine" >"$work/mine-unguarded"
    while IFS=$'\t' read -r dll name level; do
      echo "$exe imports $name ($dll), a function of _WIN32_WINNT $level (${level_name[$level]}) on that the" \
        "Windows headers declare for every version: the program would not start on Windows XP" >&2
      failed=1
    done <"$work/mine-unguarded"
    subsystem=$(subsystem_version "${dump_of[$exe]}")
    limit=5.1
    [ "$arch" = x86_64 ] && limit=5.2
    if [ "$(printf '%s\n%s\n' "$subsystem" "$limit" | sort -V | tail -n 1)" != "$limit" ]; then
      echo "$exe asks for subsystem version $subsystem; Windows XP runs $limit and below" >&2
      failed=1
    fi
    total=$(wc -l <"$work/mine")
    crt=$(awk -F'\t' 'tolower($1) == "msvcrt.dll"' "$work/mine" | wc -l)
    unjudged=$(awk -F'\t' 'NR == FNR { skip[$0]; next } ($2 in skip)' "$work/unjudged-$arch" "$work/mine" | wc -l)
    ordinals=$(cut -f2 "$work/mine" | grep -c '^#' || true)
    if [ $failed -eq 0 ]; then
      echo "$exe: $(tr '\n' ' ' <<<"$dlls")- $total functions: $((total - crt - unjudged - ordinals)) declared for" \
        "Windows XP, not judged: $crt of the C runtime, $unjudged undeclared, $ordinals by ordinal; subsystem $subsystem"
    else
      status=1
    fi
  done

  # What the headers could not judge, once for the build.
  for arch in $(printf '%s\n' "${arch_of[@]}" | sort -u); do
    crt_names=$(awk -F'\t' -v a="$arch" '$1 == a && tolower($3) == "msvcrt.dll" { print $4 }' "$work/all" | sort -u)
    echo "$build ($arch): not judged by the Windows headers:"
    echo "  C runtime (msvcrt.dll): $(tr '\n' ' ' <<<"$crt_names")"
    if [ -s "$work/unjudged-$arch" ]; then
      echo "  declared at neither level: $(tr '\n' ' ' <"$work/unjudged-$arch")"
    fi
    ordinal_names=$(awk -F'\t' -v a="$arch" '$1 == a && $4 ~ /^#/ { print $3 " " $4 }' "$work/all" | sort -u)
    if [ -n "$ordinal_names" ]; then
      echo "  by ordinal: $(tr '\n' ' ' <<<"$ordinal_names")"
    fi
  done
  unset arch_of dump_of
done
exit $status
