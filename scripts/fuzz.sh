#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for SECONDS (default 300),
# two at a time. New inputs go to build-fuzz/corpus/; copy the interesting ones to tests/fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${SECONDS_PER_TARGET:-300}
command -v clang++ >/dev/null || { echo "clang is needed (Debian package clang)" >&2; exit 2; }
dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "install ok installed" || {
    echo "libFuzzer's runtime is needed (Debian package libclang-rt-14-dev)" >&2
    exit 2
}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIRIHA_FUZZ=ON \
    -DKIRIHA_SANITIZE=address,undefined >/dev/null
targets=(linelist normalise tidy cp932)
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

run() {
    local t=$1
    mkdir -p "$build/corpus/$t" "$build/logs"
    if "$build/tests/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 "$build/corpus/$t" "tests/fuzz/corpus/$t" \
        >"$build/logs/$t.log" 2>&1; then
        local runs
        runs=$(grep -m1 '^stat::number_of_executed_units' "$build/logs/$t.log" | awk '{print $2}')
        echo "$t: no finding, $runs runs in ${seconds}s, $((runs / seconds)) exec/s"
    else
        echo "$t: FINDING, see $build/logs/$t.log"
        return 1
    fi
}
status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    run "${targets[i]}" &
    a=$!
    run "${targets[i + 1]}" &
    b=$!
    wait $a || status=1
    wait $b || status=1
done
exit $status
