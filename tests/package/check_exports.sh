#!/usr/bin/env bash
# check_exports.sh LIBRARY LIST [--update]
#
# Compares the dynamic symbols that LIBRARY defines with LIST, one symbol a
# line as "MANGLED<TAB>DEMANGLED" (a C name twice), sorted. Any difference
# fails and is printed, so that an export added by accident (a private
# helper, a standard-library instantiation) and an export that went missing
# are both seen. --update rewrites LIST from the library instead, for a
# change of the interface made on purpose.
set -euo pipefail
lib=$1 list=$2
current=$(mktemp)
trap 'rm -f "$current"' EXIT

names=$(nm -D --defined-only "$lib" | awk 'NF == 3 { print $3 }' | sed 's/@.*//' | LC_ALL=C sort -u)
paste <(printf '%s\n' "$names") <(printf '%s\n' "$names" | c++filt) >"$current"

if [ "${3:-}" != --update ]; then
  # Standard-library symbols are never part of the interface, whatever else
  # the build does.
  if grep -P '\t(typeinfo (name )?for |vtable for |guard variable for )?(std::|__gnu_cxx::)' "$current"; then
    echo "$lib exports standard-library symbols" >&2
    exit 1
  fi
  # What depends on how the build was made, not on the interface: the
  # sanitizers' bookkeeping, and the type information and virtual tables
  # of an interface class that only inline code uses, which an unoptimised
  # build emits and an optimised one leaves out.
  filtered=$(mktemp)
  trap 'rm -f "$current" "$filtered"' EXIT
  grep -v '^__odr_asan\.' "$current" | while IFS= read -r line; do
    if [[ $line == _ZT[ISV]* ]] && ! grep -qxF "$line" "$list"; then continue; fi
    printf '%s\n' "$line"
  done >"$filtered"
  cp "$filtered" "$current"
fi

if [ "${3:-}" = --update ]; then
  cp "$current" "$list"
  echo "$list: $(wc -l <"$list") symbols"
  exit 0
fi

status=0
# The list itself must not carry what never belongs to the interface.
if grep -nP '\t(typeinfo (name )?for |vtable for |guard variable for )?(std::|__gnu_cxx::)' "$list"; then
  echo "$list names standard-library symbols: the library must not export them" >&2
  status=1
fi
if ! diff -u --label "$list (expected)" --label "$lib (exported)" "$list" "$current"; then
  echo "The library's exports differ from $list: lines with '+' are exported but not" >&2
  echo "listed, lines with '-' are listed but not exported. Fix the export (TM_API," >&2
  echo "TM_LOCAL) or, for an interface change made on purpose, run:" >&2
  echo "  $0 $lib $list --update" >&2
  status=1
fi
exit $status
