#!/usr/bin/env bash
# Set-up, build, the demo database and session, then the program: its window
# when a display is there, otherwise the headless server (log lines on the
# terminal). Ctrl+C ends either cleanly; --headless forces the server alone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
scripts/demo.sh build/ZelWireless.ini
exec build/ZelWireless "$@"
