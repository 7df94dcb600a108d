#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (AddressSanitizer and UndefinedBehavior-
# Sanitizer, warnings as errors) into build-fuzz/ and runs each for a minute, both at once,
# from its seed corpus in fuzz/corpus/TARGET/. What the fuzzer finds goes to a temporary
# directory, never into the checkout; a crash or broken invariant fails the check and its
# input is kept there and printed in base64, to be added to the seed corpus once mended.
# Ends with one line: the runs made, or which target failed, and the time taken.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
summary="the build failed"
trap 'status=$?; ((status == 0)) || echo "fuzz: $summary after $((SECONDS - started)) s"' EXIT

targets=(receive form pjlink)
seconds=${FUZZ_SECONDS:-60}

bash tools/setup.sh --packages-only clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMERO_WERROR=ON -DMERO_FUZZ=ON >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]/#/fuzz_}"

summary="the fuzzers did not run"
work=$(mktemp -d /tmp/mero-fuzz.XXXXXX)
pids=()
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/crashes"
  build-fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/$target/crashes/" \
    "$work/$target/corpus" "fuzz/corpus/$target" >"$work/$target.log" 2>&1 &
  pids+=($!)
done

failed=()
runs=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  status=0
  wait "${pids[$i]}" || status=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  echo "== fuzz_$target: exit status $status, ${executed:-?} runs"
  if ((status != 0)); then
    failed+=("$target")
    tail -n 60 "$work/$target.log"
    for crash in "$work/$target/crashes"/*; do
      [ -f "$crash" ] || continue
      echo "input $crash, in base64:"
      base64 -w 0 "$crash"
      echo
    done
  fi
  runs=$((runs + ${executed:-0}))
done

if ((${#failed[@]})); then
  summary="${failed[*]} failed (inputs and logs kept in $work)"
  exit 1
fi
rm -rf "$work"
echo "fuzz: ${#targets[@]} targets ran ${seconds} s each, $runs runs, no failure in $((SECONDS - started)) s"
