#!/usr/bin/env bash
# Takes the README's screenshot of the main window: the tool on a virtual X display (Xvfb),
# captured with ImageMagick's `import`. Writes docs/screenshot.png, or the file given.
#
# The tool sees one port, COM 1: a pseudo-terminal (held open by `script`) registered in a port
# directory of its own, with the machine's own ports switched off, so that the picture is the same
# on every machine and no real port is probed.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshot.png}")

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vexora

ports=$(mktemp -d)
script -q -c "tty > '$ports/tty'; exec sleep 600" /dev/null </dev/null >/dev/null 2>&1 &
holder=$!
trap 'kill "$holder" 2>/dev/null || true; rm -rf "$ports"' EXIT
for _ in $(seq 1 50); do
    [ -s "$ports/tty" ] && break
    sleep 0.1
done
ln -s "$(cat "$ports/tty")" "$ports/COM1"
export VEXORA_PORT_DIR=$ports VEXORA_MACHINE_PORTS=0

capture() {
    local out=$1
    build/default/app/vexora &
    local tool=$!
    trap 'kill "$tool" 2>/dev/null || true' RETURN
    # The window has its title once it is mapped; give a loaded machine time to get there.
    local id=
    for _ in $(seq 1 150); do
        id=$(xwininfo -name VEXORA 2>/dev/null | awk '/Window id:/ {print $4}') && [ -n "$id" ] && break
        sleep 0.2
    done
    if [ -n "$id" ]; then
        sleep 1 # let the first paint settle
        timeout 30 import -window "$id" "$out"
        return
    fi
    echo "the main window did not appear" >&2
    return 1
}

xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" bash -c "$(declare -f capture); capture '$out'"
echo "wrote $out"
