#!/usr/bin/env bash
# Keeps the hop lists of docs/ARCHITECTURE.md true: every numbered line of the form
#   N. `path/to/file` — `Class::Function`: what happens
# must name a file that exists and a function (the last part after ::) that the file
# contains, and the class before it (if any) must be named in that file too. Prints one
# line per broken hop; exit status 1 when there is one, or when the document is missing
# or holds too few hops to be read in this form.
#   tests/scripts/architecture_doc_test.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
doc=$root/docs/ARCHITECTURE.md
[ -f "$doc" ] || { echo "no $doc" >&2; exit 1; }

hops=0 broken=0
while IFS=$'\t' read -r file function; do
  hops=$((hops + 1))
  name=${function##*::}
  owner=
  if [[ $function == *::* ]]; then
    owner=${function%::*}
    owner=${owner##*::}
  fi
  if [ ! -f "$root/$file" ]; then
    echo "hop names a missing file: $file ($function)"
    broken=$((broken + 1))
  elif ! grep -qw -- "$name" "$root/$file"; then
    echo "hop names $function, which $file does not contain"
    broken=$((broken + 1))
  elif [ -n "$owner" ] && ! grep -qw -- "$owner" "$root/$file"; then
    echo "hop names $function, but $file does not name $owner"
    broken=$((broken + 1))
  fi
done < <(sed -nE 's/^[0-9]+\. `([^`]+)` — `([^`]+)`.*/\1\t\2/p' "$doc")

if [ "$hops" -lt 10 ]; then
  echo "only $hops hops found in $doc: has the line format changed?"
  exit 1
fi
echo "$hops hops checked, $broken broken"
[ "$broken" -eq 0 ]
