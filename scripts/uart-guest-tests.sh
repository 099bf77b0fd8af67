#!/usr/bin/env bash
# Runs inside the guest that scripts/test-uart.sh boots, as its root user: names the guest's UARTs
# to the tests and runs them. The variables VEXORA_UART_* are the switch that lets a test open a
# real serial device; tests/TestEnvironment.cpp honours them only in this guest.
#
# Every program started here is read from the host over 9p and loaded under TCG, about half a
# second each: the script keeps to bash's own commands.
#
# usage: uart-guest-tests.sh BUILD_DIR (relative to the checkout)
set -uo pipefail
cd "${0%/scripts/*}"
build=${1:?usage: uart-guest-tests.sh BUILD_DIR}

# The ports by where they sit: the plug on the second on-board UART, the null-modem pairs on the
# PCI cards in slots 5 and 7, the port to unplug on the card in slot 6.
ports_of() {
    local tty names=()
    for tty in "/sys/bus/pci/devices/$1/tty/"ttyS*; do
        [ -e "$tty" ] && names+=("/dev/${tty##*/}")
    done
    echo "${names[*]}"
}
pair=($(ports_of 0000:00:05.0))
other_pair=($(ports_of 0000:00:07.0))
export VEXORA_UART_LOOP=/dev/ttyS1
export VEXORA_UART_GONE=$(ports_of 0000:00:06.0)
export QT_QPA_PLATFORM=offscreen
# As the sanitizer presets run their tests, for a build of theirs.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "guest: loop plug $VEXORA_UART_LOOP, null modems ${pair[*]} and ${other_pair[*]}, to unplug $VEXORA_UART_GONE"
[ ${#pair[@]} -eq 2 ] && [ ${#other_pair[@]} -eq 2 ] && [ -n "$VEXORA_UART_GONE" ] ||
    { echo "guest: the ports are not wired as expected"; exit 1; }

run() {
    local name=$1 started=$SECONDS
    shift
    echo "=== guest: $name"
    "$@" || { echo "=== guest: $name FAILED"; return 1; }
    echo "=== guest: $name took $((SECONDS - started)) s"
}
operations=$build/tests/app/app_operations_test
[ -x "$operations" ] || operations=

# Two groups at once, on ports of their own; the operations spend most of their time on fixed
# waits. The first: Read, Write and Reset at 2400 baud (the Write goes on with a Read at 9600)
# against the simulator on the far end of a null modem.
group_log=/tmp/uart-guest-group.log
(
    [ -n "$operations" ] || exit 0
    VEXORA_UART_PAIR="${pair[*]}" VEXORA_UART_BAUD=2400 run "operations at 2400 baud" "$operations" \
        --gtest_filter='Operations.ReadFills*:Operations.WriteChanges*:Operations.ResetClears*'
) >"$group_log" 2>&1 &
first=$!
# The second: the platform, the core and the component, then Write and Reset at 9600 baud.
status=0
export VEXORA_UART_PAIR="${other_pair[*]}"
run platform "$build/tests/uart/uart_platform_test" || status=1
run serial "$build/tests/uart/uart_serial_test" || status=1
if [ -n "$operations" ]; then
    VEXORA_UART_BAUD=9600 run "operations at 9600 baud" "$operations" \
        --gtest_filter='Operations.WriteChanges*:Operations.ResetClears*' || status=1
fi
wait $first || status=1
echo "$(<"$group_log")"

if [ $status -ne 0 ]; then
    echo "=== guest: FAILED"
    exit 1
fi
echo "=== guest: all passed"
