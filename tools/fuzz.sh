#!/bin/bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build/fuzz and runs
# each for the given number of seconds (default 30), one after the other.
# New inputs go to build/fuzz/corpus/<target>; the seeds in fuzz/corpus stay
# as they are. A finding stops the script with the fuzzer's report, and the
# input that caused it is left in build/fuzz/findings/.
#
#   tools/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(http_response_fuzzer reply_fields_fuzzer printer_list_fuzzer poll_cycle_fuzzer)

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DWEBPRINT_SANITIZE=ON -DWEBPRINT_FUZZ=ON \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target "${targets[@]}" -j2

mkdir -p "$build/findings"
for target in "${targets[@]}"; do
    echo "== $target: ${seconds}s"
    mkdir -p "$build/corpus/$target"
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target-" \
        "$build/corpus/$target" "fuzz/corpus/$target" 2>"$build/$target.log" || {
        tail -n 60 "$build/$target.log"
        echo "$target: finding, input in $build/findings/" >&2
        exit 1
    }
    awk -v target="$target" '/^stat::number_of_executed_units/ {runs = $2} /^stat::peak_rss_mb/ {rss = $2}
        END {printf "%s: %d runs, no finding (peak RSS %d MB)\n", target, runs, rss}' "$build/$target.log"
done
