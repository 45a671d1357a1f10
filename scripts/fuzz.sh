#!/usr/bin/env bash
# Builds the libFuzzer harnesses (fuzz preset: clang, AddressSanitizer, UBSan) and runs each
# for its share of SECONDS in total (default 60), starting from the committed seed corpus.
# Stops at the first fault: the harness's report and the input that caused it are kept
# under build/fuzz/artifacts/, and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
if ! [[ $total =~ ^[0-9]+$ ]] || ((total < 3)); then
  echo "usage: scripts/fuzz.sh [SECONDS, at least 3]" >&2
  exit 2
fi
scripts/deps.sh clang libclang-rt-14-dev

harnesses=(fuzz_c_interface fuzz_text_parsers fuzz_audio_host)
# The C interface is the slowest per input and has the most state to reach: half the time.
shares=(2 1 1)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${harnesses[@]}"

build=build/fuzz
mkdir -p "$build/artifacts"
weights=0
for s in "${shares[@]}"; do weights=$((weights + s)); done
summary=()
for i in "${!harnesses[@]}"; do
  name=${harnesses[$i]}
  short=${name#fuzz_}
  seconds=$((total * shares[i] / weights))
  ((seconds >= 1)) || seconds=1
  work="$build/corpus/$short"
  mkdir -p "$work"
  log="$build/artifacts/$short.log"
  options=(-max_total_time="$seconds" -timeout=20 -print_final_stats=1
           -artifact_prefix="$build/artifacts/$short-")
  # The library's one-line diagnostics would drown the report; the harness keeps its own
  # copy of standard error for its findings.
  [[ $name == fuzz_c_interface ]] && options+=(-close_fd_mask=2)
  echo "== $name: ${seconds}s"
  status=0
  "$build/fuzz/$name" "${options[@]}" "$work" "fuzz/corpus/$short" >"$log" 2>&1 || status=$?
  if ((status != 0)); then
    grep -m1 '^INFO: Seed:' "$log" || true
    tail -n 60 "$log"
    echo "$name found a fault (exit $status); log and input under $build/artifacts/" >&2
    exit 1
  fi
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  summary+=("$name: $runs inputs, $rate exec/s")
done
printf '%s\n' "${summary[@]}"
