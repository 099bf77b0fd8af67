#!/usr/bin/env bash
# Builds the serial component's reference from its public headers with Doxygen, as HTML under
# build/docs/html (or under the folder given as the first argument). Any Doxygen warning fails
# the run: an undocumented public member, a broken reference, a malformed comment. With
# --warnings-pass as second argument (the build's copy for the -dev package) warnings are shown
# but fail nothing once the reference is made: the test docs.reference is the check.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build/docs}
warnings_pass=${2:-}
if ! command -v doxygen >/dev/null; then
    echo "docs.sh: doxygen is missing (bash scripts/install-deps.sh installs it)" >&2
    exit 1
fi
version=$(sed -n 's/^project(Vexora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p "$out"
# Pages of members that are gone must not stay behind.
rm -rf "$out/html"
# The version header is made at configure time; the reference takes it made the same way.
IFS=. read -r major minor patch <<<"$version"
mkdir -p "$out/generated/core"
sed -e "s/@VEXORA_SERIAL_VERSION_MAJOR@/${major:-0}/g" -e "s/@VEXORA_SERIAL_VERSION_MINOR@/${minor:-0}/g" \
    -e "s/@VEXORA_SERIAL_VERSION_PATCH@/${patch:-0}/g" serial/core/AfVersion.h.in >"$out/generated/core/AfVersion.h"
log="$out/doxygen-warnings.log"
rm -f "$log"

start=$(date +%s%N)
status=0
{
    cat docs/Doxyfile
    echo "INPUT += $out/generated/core/AfVersion.h"
    echo "STRIP_FROM_PATH += $out/generated"
    echo "OUTPUT_DIRECTORY = $out"
    echo "PROJECT_NUMBER = $version"
    echo "WARN_LOGFILE = $log"
} | doxygen - || status=$?
end=$(date +%s%N)

if [ "$status" -ne 0 ] || [ -s "$log" ]; then
    cat "$log" >&2 || true
    echo "docs.sh: doxygen reported $(wc -l <"$log" 2>/dev/null || echo ?) warning line(s)" >&2
    if [ "$warnings_pass" = --warnings-pass ] && [ -f "$out/html/index.html" ]; then
        exit 0
    fi
    exit 1
fi
echo "docs.sh: $out/html/index.html, no warnings, $(((end - start) / 1000000)) ms"
