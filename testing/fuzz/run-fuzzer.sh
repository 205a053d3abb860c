#!/usr/bin/env bash
# Runs one fuzz target for <seconds>, starting from the seed corpus (every
# seed is run first) and from what earlier runs kept in <work>/corpus. New
# inputs go to <work>/corpus, a crashing or hanging input to
# <work>/artifacts/. Exits non-zero when an input fails.
#
# usage: run-fuzzer.sh <binary> <seconds> <work> <seeds> [libFuzzer flags...]
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: $0 <binary> <seconds> <work> <seeds> [flags...]" >&2
  exit 2
fi
binary=$1 seconds=$2 work=$3 seeds=$4
shift 4

mkdir -p "$work/corpus" "$work/artifacts"
corpora=("$work/corpus")
if [ -d "$seeds" ]; then corpora+=("$seeds"); fi
echo "== searching for ${seconds}s from ${corpora[*]}"
exec "$binary" -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
  -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" "${corpora[@]}"
