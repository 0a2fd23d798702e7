#!/usr/bin/env bash
# Runs a bench and fails unless it succeeds and prints each NAME as "NAME: value" with a value
# above zero (the benches print 0 for a measurement that failed). Never judges a time.
#   expect-figures.sh NAME... -- COMMAND [ARG...]
names=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  names+=("$1")
  shift
done
[ "${1:-}" = "--" ] && [ $# -ge 2 ] || { echo "usage: expect-figures.sh NAME... -- COMMAND..." >&2; exit 2; }
shift
out=$("$@") || { echo "$out"; echo "expect-figures: $1 failed" >&2; exit 1; }
echo "$out"
status=0
for name in "${names[@]}"; do
  if ! awk -v n="$name:" '$1 == n && $2 + 0 > 0 { found = 1 } END { exit !found }' <<<"$out"; then
    echo "expect-figures: no positive '$name'" >&2
    status=1
  fi
done
exit $status
