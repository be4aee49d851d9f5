#!/usr/bin/env bash
# Sets up a fresh Debian machine for 霧葉, builds, and then starts the program (run) or runs the tests (test).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-run}
flag=${2:-}
build=${KIRIHA_BUILD_DIR:-build}

packages=(g++ cmake ninja-build pkg-config libgtest-dev libcurl4-openssl-dev libssl-dev ca-certificates nlohmann-json3-dev bash-completion
    qt6-base-dev qt6-base-private-dev libxcb1-dev libqt6svg6 fonts-ipafont-gothic fonts-ipafont-mincho xvfb xauth x11-utils
    desktop-file-utils appstream dpkg-dev lintian
    libmaxminddb-dev tinyproxy squid microsocks dante-server stunnel4 openssl
    busybox python3-httpbin libmaxmind-db-writer-perl
    libsystemd-dev systemd chromium curl util-linux gettext locales man-db)

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

# The commands speak Japanese under a Japanese locale: the tests need it generated.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo '# ja_JP.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    $sudo locale-gen >/dev/null
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"

case "$mode" in
    build) ;;
    test)
        if [ "$flag" = --sanitizers ]; then
            # The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, the engine and the gate under
            # ThreadSanitizer; the plain suite runs last, so the closing line counts the whole suite.
            cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIRIHA_SANITIZE=address,undefined
            cmake --build build-asan
            ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
                LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
                ctest --test-dir build-asan --output-on-failure -j "$(nproc)"
            cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIRIHA_SANITIZE=thread
            cmake --build build-tsan --target engine_tests gate_tests kiriha-gate
            TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/engine_tests --gtest_brief=1
            # The gate and its tests under ThreadSanitizer too (five thousand clients are too many for its pace).
            TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" \
                -R '^(All/)?(Gate|WaysOut|UserNames|HostileClients|ThroughEveryUpstream|Answers|StartRefusals|HandshakeTable|ConnectionLife|ConnectionToAProxy|Pool|PlainRequest)[./]' \
                -E 'FiveThousandClients'
        fi
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
        echo "usage: $0 [run|test [--sanitizers]|build]" >&2
        exit 2
        ;;
esac
