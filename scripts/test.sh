#!/usr/bin/env bash
# Builds Vexora and runs every test: the whole suite in a release build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded serial code under
# ThreadSanitizer, and the guest tests on real UARTs (scripts/test-uart.sh). Installs what is
# missing first.
#
# Every preset runs even when an earlier one fails to build or to pass; the failures are listed
# at the end and make the exit status non-zero.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit

failed=()

run_preset() {
    local preset=$1
    echo "=== ${preset}: configure and build ==="
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
        failed+=("${preset}: build")
        return
    fi
    echo "=== ${preset}: test ==="
    ctest --preset "$preset" || failed+=("${preset}: tests")
}

for preset in default asan tsan; do
    run_preset "$preset"
done

# The serial layer and the tool on real UARTs, in a guest under QEMU, with the release build.
echo "=== uart: guest tests ==="
bash scripts/test-uart.sh || failed+=("uart: guest tests")

if [ ${#failed[@]} -ne 0 ]; then
    echo "=== FAILED:" >&2
    printf '    %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "=== all presets passed"
