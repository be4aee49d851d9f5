#!/usr/bin/env bash
# Builds in Release and prints the benchmark figures, then one line of name=value pairs for scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target engine_bench loop_bench gate_bench pool_bench ui_bench kiriha-check kiriha-gate >/dev/null

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/{print $2}') GiB"
echo
echo "== engine (127.0.0.1 only) =="
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/engine_bench" 1000 >"$out"
head -n -1 "$out"
engine=$(tail -n 1 "$out")
echo
echo "== kiriha-check on its event loops, beside a bare single-loop libcurl client (127.0.0.1 only) =="
"$build/bench/loop_bench" "$build/check/kiriha-check" >"$out"
head -n -1 "$out"
loop=$(tail -n 1 "$out")
echo
echo "== kiriha-gate beside npm's proxy-chain, the same rotation over the same upstreams (127.0.0.1 only) =="
# The anchor, installed once into a cache folder of the bench's own (the tests never need it).
chain=${XDG_CACHE_HOME:-$HOME/.cache}/kiriha-bench
if [ ! -d "$chain/node_modules/proxy-chain" ] && command -v npm >/dev/null; then
    npm install --silent --no-audit --no-fund --prefix "$chain" proxy-chain@2 >/dev/null || true
fi
# The second anchor, Debian's HAProxy in tcp mode, likewise only here.
if [ ! -x /usr/sbin/haproxy ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends haproxy </dev/null >/dev/null || true
fi
"$build/bench/gate_bench" "$build/gate/kiriha-gate" "$chain" >"$out"
head -n -1 "$out"
gate=$(tail -n 1 "$out")
echo
echo "== kiriha-gate's pool at 100,000 proxies (one thread's CPU) =="
"$build/bench/pool_bench" 100000 >"$out"
head -n -1 "$out"
pool=$(tail -n 1 "$out")
echo
echo "== list editors (Qt offscreen) =="
QT_QPA_PLATFORM=offscreen "$build/bench/ui_bench" 2>/dev/null >"$out"
head -n -1 "$out"
ui=$(tail -n 1 "$out")
echo
echo "== list editor at the line limit (a process each) =="
read -r limit bytes < <(QT_QPA_PLATFORM=offscreen "$build/bench/ui_bench" --limits 2>/dev/null)
# The longest lines the byte limit allows at that many lines: the slowest accepted list.
width=$(( bytes / limit - 2 ))
read -r _ at_ms at_mib at_what < <(QT_QPA_PLATFORM=offscreen "$build/bench/ui_bench" --load "$limit" "$width" 2>/dev/null)
read -r _ over_ms _ over_what < <(QT_QPA_PLATFORM=offscreen "$build/bench/ui_bench" --load "$bytes" 0 2>/dev/null)
printf '%-34s %s lines of %s bytes: %s ms, %s MiB (%s; target <= 5000 ms, <= 1024 MiB)\n' \
    "largest accepted list" "$limit" "$width" "$at_ms" "$at_mib" "$at_what"
printf '%-34s %s ms (%s; target < 1000 ms)\n' "$bytes bytes of line feeds" "$over_ms" "$over_what"
limits="load_limit_lines=$limit load_limit_ms=$at_ms load_limit_mib=$at_mib refuse_64mib_lf_ms=$over_ms"
echo
echo "$engine $loop $gate $pool $ui $limits"
