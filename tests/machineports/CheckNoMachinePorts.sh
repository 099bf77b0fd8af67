#!/usr/bin/env bash
# Runs test executables under strace and fails when one of them opened, or tried to open, a
# serial device of the machine (/dev/tty*), or listed /dev in search of one. The pseudo-terminals
# that tests register (/dev/ptmx, /dev/pts/N) are allowed. The executables run without
# VEXORA_MACHINE_PORTS: each must switch the machine's ports off itself (tests/TestEnvironment.cpp).
#
# usage: CheckNoMachinePorts.sh <test executable>...
set -uo pipefail

command -v strace >/dev/null || { echo "strace is missing; scripts/install-deps.sh installs it" >&2; exit 1; }
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
# LeakSanitizer cannot run under a tracer; leaks are the sanitizer presets' own tests' business.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

traced() {
    env -u VEXORA_MACHINE_PORTS strace -f --seccomp-bpf -qq -e trace=open,openat,openat2 -e signal=none \
        -o "$trace" "$@"
}
machine_opens() {
    grep -oE '"/dev/tty[^"]*"|"/dev/?"' "$trace"
}

# The check itself first: an attempt to open a device under /dev/tty* must show in the trace. The
# name is one no machine has, so the attempt fails without touching anything.
traced sh -c ': < /dev/tty-vexora-self-check' 2>/dev/null
if ! machine_opens >/dev/null; then
    echo "the trace does not show opens of /dev/tty*: the check cannot work here" >&2
    exit 1
fi

status=0
for test in "$@"; do
    if ! traced "$test" >/dev/null 2>&1; then
        echo "FAIL: $test failed under strace (run it on its own to see why)" >&2
        status=1
    elif machine_opens >/dev/null; then
        echo "FAIL: $test reached the machine's devices (opens per path):" >&2
        machine_opens | sort | uniq -c >&2
        status=1
    else
        echo "ok: $test opened no device of the machine"
    fi
done
exit $status
