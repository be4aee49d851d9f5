#!/usr/bin/env bash
# Builds the Debian package kiriha_<version>_<arch>.deb into build-package/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIRIHA_TESTS=OFF >/dev/null
cmake --build "$build"
(cd "$build" && cpack >/dev/null)
ls "$build"/kiriha_*.deb
