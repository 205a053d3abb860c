#!/usr/bin/env bash
# A deeper search than ctest's: builds the fuzz preset, then runs each fuzz
# target in turn (one core) for [seconds] (default 300), keeping what it
# finds in build/fuzz/testing/fuzz/work/<target>/ (corpus/ grows from run to
# run; artifacts/ holds any failing input). Prints each target's executions
# and exits non-zero if any target failed.
#
# usage: testing/fuzz/run-long.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-300}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_table_status fuzz_redact fuzz_header fuzz_properties
           fuzz_table_roundtrip)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

out=build/fuzz/testing/fuzz
failed=()
summary=()
for t in "${targets[@]}"; do
  log=$out/work/$t/long.log
  mkdir -p "$out/work/$t"
  echo "==== $t: ${seconds}s (log $log)"
  if testing/fuzz/run-fuzzer.sh "$out/$t" "$seconds" "$out/work/$t" \
      testing/fuzz/corpus/"$t" testing/fuzz/regressions/"$t" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    failed+=("$t")
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  corpus=$(find "$out/work/$t/corpus" -type f | wc -l)
  summary+=("$(printf '%-22s %-7s %12s execs  %6s corpus files' \
    "$t" "$result" "${execs:-?}" "$corpus")")
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]} (see their long.log and artifacts/)" >&2
  exit 1
fi
