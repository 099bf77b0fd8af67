#!/usr/bin/env bash
# Takes the README's screenshot of the main window after a "Read": ./scripts/run.sh (the tool
# against the meter simulator, set to values other than the window's own) on a virtual X display
# (Xvfb), "Read" clicked with xdotool, and the filled window captured with ImageMagick's `import`.
# Writes docs/screenshot.png, or the file given.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshot.png}")

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vexora vexora-meter-sim

capture() {
    local out=$1
    ./scripts/run.sh --flow-scale 2 --q4ma 120 --q20ma 3600 --imp-out 2.5 --empty-tube --pulse-width 12 >/dev/null &
    local run=$!
    # The tool and the simulator are run.sh's children; run.sh cleans up once the tool ends.
    trap 'pkill -TERM -P "$run" 2>/dev/null || true; wait "$run" 2>/dev/null || true' RETURN
    # The window has its title once it is mapped; give a loaded machine time to get there.
    local id=
    for _ in $(seq 1 300); do
        id=$(xdotool search --name '^VEXORA$' 2>/dev/null | head -n 1) && [ -n "$id" ] && break
        sleep 0.2
    done
    if [ -z "$id" ]; then
        echo "the main window did not appear" >&2
        return 1
    fi
    sleep 1 # let the first paint settle
    # "Read" sits at (272, 272), 75 x 25, in the window.
    xdotool mousemove --window "$id" 309 284 click 1
    # The status window ("Caption") shows while the read runs and hides at its end.
    local seen=0
    for _ in $(seq 1 150); do
        if xdotool search --onlyvisible --name '^Caption$' >/dev/null 2>&1; then
            seen=1
        elif [ "$seen" -eq 1 ]; then
            break
        fi
        sleep 0.1
    done
    if [ "$seen" -eq 0 ]; then
        echo "the read did not start" >&2
        return 1
    fi
    sleep 1
    timeout 30 import -window "$id" "$out"
}

xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" bash -c "$(declare -f capture); capture '$out'"
echo "wrote $out"
