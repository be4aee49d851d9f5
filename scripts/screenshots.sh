#!/usr/bin/env bash
# Screenshots of the main window, a finished run before and after Tidy, and the About dialog, taken under
# Xvfb, into docs/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KIRIHA_BUILD_DIR:-build}
cmake --build "$build" --target kiriha_screenshots
xvfb-run -a -s "-screen 0 1024x768x24" "$build/tools/kiriha_screenshots" docs
echo "docs/main-window.png docs/finished-run.png docs/finished-run-tidied.png docs/about-dialog.png"
