#!/usr/bin/env bash
# Usage: CheckForeignHeaders.sh BUILD_DIR SOURCE_DIR CXX
# Installs BUILD_DIR's component SerialDev into an empty temporary prefix and compiles
# ForeignHeaders.cpp against it twice, with the component's headers before and after those of
# curses, X11, Qt Serial Port, Qt Widgets and Boost.Asio: none of them may clash with the
# component's names, and the component's names may not be global.
set -euo pipefail
build=$1
source=$2
cxx=$3

trap 'rm -rf "${scratch:-}"' EXIT
# shellcheck source=InstalledDev.sh
source "$(dirname "$0")/InstalledDev.sh" "$build"
(cd "$prefix/include" && find vexora -name '*.h' ! -name AfGlobalNames.h | sort) |
    sed 's/.*/#include <&>/' >"$scratch/vexora_headers.h"
[ -s "$scratch/vexora_headers.h" ] || fail "no headers installed"

# Qt and Boost as system headers: their own warnings are not ours.
qt_flags=$(pkg-config --cflags Qt6SerialPort Qt6Widgets | sed 's/-I/-isystem /g')
for first in 1 0; do
    # shellcheck disable=SC2086 # flags are words
    if ! $cxx -std=c++20 -fsyntax-only -fPIC -Wall -Wextra -Wpedantic -Werror -DVEXORA_HEADERS_FIRST=$first \
        -I"$scratch" -I"$prefix/include" $qt_flags "$source/ForeignHeaders.cpp" 2>"$scratch/unit.log"; then
        cat "$scratch/unit.log" >&2
        fail "the component's headers $([ $first = 1 ] && echo before || echo after) the others' (above)"
    fi
done
echo "ok: $(wc -l <"$scratch/vexora_headers.h") headers beside curses, X11, Qt Serial Port and Boost.Asio, in both orders"
