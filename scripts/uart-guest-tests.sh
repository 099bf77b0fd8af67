#!/usr/bin/env bash
# Runs inside the guest that scripts/test-uart.sh boots, as its root user: names the guest's UARTs
# to the tests and runs them. The variables VEXORA_UART_* are the switch that lets a test open a
# real serial device; tests/TestEnvironment.cpp honours them only in this guest.
#
# usage: uart-guest-tests.sh BUILD_DIR (relative to the checkout)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: uart-guest-tests.sh BUILD_DIR}

# The ports by where they sit: the plug on the second on-board UART, the null-modem pair on the
# PCI card in slot 5, the port to unplug on the card in slot 6.
ports_of() {
    local tty
    for tty in /sys/class/tty/ttyS*; do
        [ "$(basename "$(readlink -f "$tty/device")")" = "$1" ] && echo "/dev/${tty##*/}"
    done | sort -V
}
pair=($(ports_of 0000:00:05.0))
export VEXORA_UART_LOOP=/dev/ttyS1
export VEXORA_UART_PAIR="${pair[*]}"
export VEXORA_UART_GONE=$(ports_of 0000:00:06.0)
export QT_QPA_PLATFORM=offscreen
# As the sanitizer presets run their tests, for a build of theirs.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "guest: loop plug $VEXORA_UART_LOOP, null modem $VEXORA_UART_PAIR, to unplug $VEXORA_UART_GONE"
[ ${#pair[@]} -eq 2 ] && [ -n "$VEXORA_UART_GONE" ] || { echo "guest: the ports are not wired as expected"; exit 1; }

failed=()
run() {
    local name=$1; shift
    local started=$(date +%s)
    echo "=== guest: $name"
    "$@" || failed+=("$name")
    echo "=== guest: $name took $(($(date +%s) - started)) s"
}
run platform "$build/tests/uart/uart_platform_test"
run serial "$build/tests/uart/uart_serial_test"
# The tool's operations against the simulator on the far end of the null modem: Read, Write and
# Reset at 2400 baud (the Write goes on with a Read at 9600), Write and Reset at 9600.
operations=$build/tests/app/test_app_operations
if [ -x "$operations" ]; then
    run "operations at 2400 baud" env VEXORA_UART_BAUD=2400 "$operations" \
        --gtest_filter='Operations.ReadFills*:Operations.WriteChanges*:Operations.ResetClears*'
    run "operations at 9600 baud" env VEXORA_UART_BAUD=9600 "$operations" \
        --gtest_filter='Operations.WriteChanges*:Operations.ResetClears*'
fi

if [ ${#failed[@]} -ne 0 ]; then
    echo "=== guest: FAILED: ${failed[*]}"
    exit 1
fi
echo "=== guest: all passed"
