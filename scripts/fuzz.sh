#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a bounded time from the seed corpus in fuzz/corpus. New inputs go to a scratch corpus,
# never into the tree. A crash, a hang (one input over 10 s) or a leak fails the run and leaves
# the input in build/fuzz/artifacts.
#   scripts/fuzz.sh [SECONDS_EACH]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

./scripts/setup.sh
cmake --preset fuzz -DQUARVO_WERROR="${QUARVO_WERROR:-OFF}" >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
passed=0
for side in host device; do
  mkdir -p "$scratch/$side"
  echo "fuzzing the $side side for ${seconds} s"
  if build/fuzz/fuzz/quarvo_${side}_fuzzer -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$side-" \
       "$scratch/$side" "fuzz/corpus/$side" > "$scratch/$side.log" 2>&1; then
    tail -n 12 "$scratch/$side.log" | grep -E '^(stat::number_of_executed_units|Done)' || true
    passed=$((passed + 1))
  else
    echo "the $side fuzzer found a fault:"
    tail -n 60 "$scratch/$side.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
