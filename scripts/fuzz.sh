#!/usr/bin/env bash
# Runs the libFuzzer targets of the `fuzz` build, each for SECONDS (default 60), from the
# committed seed corpus. The repository is only read: inputs the fuzzer finds go to
# build/fuzz/corpus/<target> (kept for the next run), a crashing input to
# build/fuzz/artifacts/. Fails on the first target that finds a fault.
# Usage: scripts/fuzz.sh [SECONDS [TARGET...]]   (targets: csv spec candidate_id)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(csv spec candidate_id)
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t"
  log="build/fuzz/$t.log"
  echo "fuzz: $t for ${seconds}s (log: $log)"
  if ! "build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 \
      -artifact_prefix="build/fuzz/artifacts/$t-" "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" \
      >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $t found a fault; the input is in build/fuzz/artifacts/" >&2
    exit 1
  fi
  grep '^Done' "$log" || true
done
