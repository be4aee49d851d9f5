#!/usr/bin/env bash
# Sets up a fresh Debian machine for 霧葉, builds, and then starts the program (run) or runs the tests (test).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-run}
build=${KIRIHA_BUILD_DIR:-build}

packages=(g++ cmake ninja-build pkg-config libgtest-dev libcurl4-openssl-dev tinyproxy
    qt6-base-dev qt6-base-private-dev fonts-ipafont-gothic fonts-ipafont-mincho xvfb xauth)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"

case "$mode" in
    build) ;;
    test)
        ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
        ;;
    run)
        if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
            exec "$build/ui/kiriha"
        else
            echo "No display: starting under Xvfb."
            exec xvfb-run -a -s "-screen 0 1024x768x24" "$build/ui/kiriha"
        fi
        ;;
    *)
        echo "usage: $0 [run|test|build]" >&2
        exit 2
        ;;
esac
