#!/usr/bin/env bash
# Builds Vexora and runs every test: the whole suite in a release build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded serial code under
# ThreadSanitizer. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

run_preset() {
    local preset=$1
    echo "=== ${preset}: configure and build ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "=== ${preset}: test ==="
    ctest --preset "$preset"
}

run_preset default
run_preset asan
run_preset tsan
