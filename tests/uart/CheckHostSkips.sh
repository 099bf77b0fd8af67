#!/usr/bin/env bash
# The host's self-check of the guest tests: run with the guest's variables set (naming a device
# that no machine has) but outside the guest, each executable must drop the variables
# (tests/TestEnvironment.cpp) and skip every test, passing none and failing none.
#
# usage: CheckHostSkips.sh <guest test executable>...
set -uo pipefail
export VEXORA_UART_LOOP=/dev/tty-vexora-uart-check VEXORA_UART_GONE=/dev/tty-vexora-uart-check
export VEXORA_UART_PAIR="/dev/tty-vexora-uart-check /dev/tty-vexora-uart-check"
export VEXORA_UART_MONITOR=/dev/tty-vexora-uart-check
status=0
for test in "$@"; do
    output=$("$test" 2>&1)
    if [ $? -ne 0 ] || ! grep -q 'VEXORA_UART_\* ignored' <<<"$output" ||
        grep -qE '^\[ +(OK|FAILED) +\] [A-Za-z]' <<<"$output" || ! grep -q '^\[  SKIPPED \]' <<<"$output"; then
        echo "FAIL: $test ran guest tests on the host:" >&2
        echo "$output" >&2
        status=1
    else
        echo "ok: $test skipped every test on the host"
    fi
done
exit $status
