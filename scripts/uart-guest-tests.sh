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
# PCI cards in slots 5 and 7, the port to unplug on the card in slot 6, the line to QEMU's monitor
# on the card in slot 8; the USB converters by the serial numbers QEMU gives them.
ports_of() {
    local tty names=()
    for tty in "/sys/bus/pci/devices/$1/tty/"ttyS*; do
        [ -e "$tty" ] && names+=("/dev/${tty##*/}")
    done
    echo "${names[*]}"
}
usb_converter() {
    local tty serial
    for tty in /sys/class/tty/ttyUSB*; do
        [ -e "$tty" ] || continue
        serial=$(<"$tty/device/../../serial")
        [ "$serial" = "$1" ] && echo "/dev/${tty##*/}"
    done
}
# The converters are still being found on the USB bus as the guest starts: waited for, in steps
# of a tenth of a second that start no program (a read of a pipe that never brings anything).
usb_converters() {
    local tries
    coproc SILENT { read -r; }
    for ((tries = 0; tries < 200; ++tries)); do
        usb_pair=($(usb_converter VXPAIRA1) $(usb_converter VXPAIRB1))
        [ ${#usb_pair[@]} -eq 2 ] && [ -n "$(usb_converter VXMETER1)" ] && break
        read -r -t 0.1 -u "${SILENT[0]}"
    done
    kill "$SILENT_PID"
    [ ${#usb_pair[@]} -eq 2 ]
}
pair=($(ports_of 0000:00:05.0))
other_pair=($(ports_of 0000:00:07.0))
export VEXORA_UART_LOOP=/dev/ttyS1
export VEXORA_UART_GONE=$(ports_of 0000:00:06.0)
export VEXORA_UART_MONITOR=$(ports_of 0000:00:08.0)
export QT_QPA_PLATFORM=offscreen
# As the sanitizer presets run their tests, for a build of theirs.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "guest: loop plug $VEXORA_UART_LOOP, null modems ${pair[*]} and ${other_pair[*]}, to unplug $VEXORA_UART_GONE"
[ ${#pair[@]} -eq 2 ] && [ ${#other_pair[@]} -eq 2 ] && [ -n "$VEXORA_UART_GONE" ] && [ -n "$VEXORA_UART_MONITOR" ] ||
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
usb_operations=$build/tests/app/app_usb_test
[ -x "$usb_operations" ] || usb_operations=

# Three groups at once, on ports of their own; the operations spend most of their time on fixed
# waits. The first: Read, Write and Reset at 2400 baud (the Write goes on with a Read at 9600)
# against the simulator on the far end of a null modem.
group_log=/tmp/uart-guest-group.log
(
    [ -n "$operations" ] || exit 0
    VEXORA_UART_PAIR="${pair[*]}" VEXORA_UART_BAUD=2400 run "operations at 2400 baud" "$operations" \
        --gtest_filter='Operations.ReadFills*:Operations.WriteChanges*:Operations.ResetClears*'
) >"$group_log" 2>&1 &
first=$!
# The USB converters: the port core across the pair, then the platform and the COM numbers as
# converters are pulled out and plugged back in, then the tool, vexora-cli and the port box with
# the meter simulator on the host. Only this group pulls converters, one test at a time.
usb_log=/tmp/uart-guest-usb.log
(
    usb_converters || { echo "guest: the USB converters did not come"; exit 1; }
    echo "guest: USB null modem ${usb_pair[*]}, to the meter $(usb_converter VXMETER1), monitor $VEXORA_UART_MONITOR"
    status=0
    VEXORA_UART_PAIR="${usb_pair[*]}" run "usb serial" "$build/tests/uart/uart_serial_test" \
        --gtest_filter='UartCore.*' || status=1
    run "usb platform" "$build/tests/uart/uart_usb_test" || status=1
    if [ -n "$usb_operations" ]; then
        run "usb operations" "$usb_operations" || status=1
    fi
    exit $status
) >"$usb_log" 2>&1 &
usb=$!
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
wait $usb || status=1
echo "$(<"$usb_log")"

if [ $status -ne 0 ]; then
    echo "=== guest: FAILED"
    exit 1
fi
echo "=== guest: all passed"
