#!/usr/bin/env bash
# Set-up, build, the demo database and session, then the server (headless:
# log lines on the terminal, Ctrl+C ends it cleanly).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
scripts/demo.sh build/ZelWireless.ini
exec build/ZelWireless --headless "$@"
