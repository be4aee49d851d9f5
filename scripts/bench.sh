#!/usr/bin/env bash
# Builds in Release and prints the benchmark figures, then one line of name=value pairs for scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/dev.sh build >/dev/null
build=build-release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target engine_bench ui_bench >/dev/null

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/{print $2}') GiB"
echo
echo "== engine (127.0.0.1 only) =="
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/engine_bench" 1000 >"$out"
head -n -1 "$out"
engine=$(tail -n 1 "$out")
echo
echo "== list editors (Qt offscreen) =="
QT_QPA_PLATFORM=offscreen "$build/bench/ui_bench" 2>/dev/null >"$out"
head -n -1 "$out"
ui=$(tail -n 1 "$out")
echo
echo "$engine $ui"
