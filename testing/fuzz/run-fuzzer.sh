#!/usr/bin/env bash
# Runs one fuzz target: first replays every input kept under <regressions>
# (each must pass), then searches for <seconds> starting from the seed corpus
# and from what earlier runs kept in <work>/corpus. New inputs go to
# <work>/corpus, a crashing or hanging input to <work>/artifacts/. Exits
# non-zero when an input fails.
#
# usage: run-fuzzer.sh <binary> <seconds> <work> <seeds> [<regressions>]
#                      [libFuzzer flags...]
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: $0 <binary> <seconds> <work> <seeds> [<regressions>] [flags...]" >&2
  exit 2
fi
binary=$1 seconds=$2 work=$3 seeds=$4
regressions=${5:-}
shift $(($# < 5 ? $# : 5))

limits=(-timeout=10 -rss_limit_mb=2048)
mkdir -p "$work/corpus" "$work/artifacts"

if [ -n "$regressions" ] && [ -d "$regressions" ]; then
  mapfile -t inputs < <(find "$regressions" -type f | sort)
  if [ ${#inputs[@]} -gt 0 ]; then
    echo "== replaying ${#inputs[@]} regression input(s) from $regressions"
    "$binary" "${limits[@]}" "${inputs[@]}"
  fi
fi

corpora=("$work/corpus")
if [ -d "$seeds" ]; then corpora+=("$seeds"); fi
echo "== searching for ${seconds}s from ${corpora[*]}"
exec "$binary" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$@" "${corpora[@]}"
