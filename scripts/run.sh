#!/usr/bin/env bash
# Builds the configuration tool and starts it. Installs what is missing first.
#
#   ./scripts/run.sh [simulator flags]   the tool against the meter simulator, registered as COM 1
#                                        in a private port directory; the simulator stops when
#                                        the tool ends (flags: see vexora-meter-sim --help)
#   ./scripts/run.sh --real              the tool on the machine's own serial ports only
set -euo pipefail
cd "$(dirname "$0")/.."

real=0
if [ "${1:-}" = "--real" ]; then
    real=1
    shift
    if [ $# -gt 0 ]; then
        echo "run.sh: --real takes no other arguments" >&2
        exit 2
    fi
fi

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vexora vexora-meter-sim

tool=build/default/app/vexora
simulator=build/default/sim/vexora-meter-sim

# A private port directory: the tool sees the simulator's COM 1 there and nothing a simulator
# started elsewhere has registered.
ports=$(mktemp -d "${TMPDIR:-/tmp}/vexora-run-XXXXXX")
simulator_pid=
cleanup() {
    if [ -n "$simulator_pid" ]; then
        kill -TERM "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    rm -rf "$ports"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "$real" -eq 1 ]; then
    env -u VEXORA_MACHINE_PORTS VEXORA_PORT_DIR="$ports" "$tool"
    exit $?
fi

VEXORA_PORT_DIR="$ports" "$simulator" --com 1 "$@" >"$ports/simulator.out" &
simulator_pid=$!
# The simulator says so once COM 1 is registered; give it ten seconds.
for _ in $(seq 200); do
    if grep -q '^vexora-meter-sim: COM1 ' "$ports/simulator.out" 2>/dev/null; then
        break
    fi
    if ! kill -0 "$simulator_pid" 2>/dev/null; then
        wait "$simulator_pid" || true
        simulator_pid=
        echo "run.sh: the meter simulator did not start" >&2
        exit 1
    fi
    sleep 0.05
done
if ! grep -q '^vexora-meter-sim: COM1 ' "$ports/simulator.out"; then
    echo "run.sh: the meter simulator did not register COM 1" >&2
    exit 1
fi
cat "$ports/simulator.out"

VEXORA_PORT_DIR="$ports" VEXORA_MACHINE_PORTS=0 "$tool"
