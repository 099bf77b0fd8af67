#!/usr/bin/env bash
# Usage: CheckConsumer.sh BUILD_DIR SOURCE_DIR SIMULATOR CXX "CXX_FLAGS" "LINKER_FLAGS"
# Uses the serial component as a project outside this tree would:
# 1. installs BUILD_DIR's component SerialDev into an empty temporary prefix;
# 2. compiles every installed header on its own (twice in one unit, so a missing include guard
#    shows too), with nothing on the include path but the prefix's and Qt's: a public header that
#    reaches a header that is not installed fails here; and makes sure that with _GLIBCXX_DEBUG
#    (containers of another layout than the libraries') they refuse to compile, saying why;
# 3. builds the installed examples with CMake through find_package(VexoraSerial) (they set no C++
#    standard: the targets bring it), and again with bare CXX commands through pkg-config, beside
#    SOURCE_DIR/PkgConfigProgram.cpp (qApp, the version, -Wconversion), which it runs;
# 4. runs both terminals against the meter simulator on a pseudo-terminal: a telegram goes out
#    through standard input and the meter's answer must come back on standard output, once by
#    COM number in hex, once by device path as raw bytes.
# CXX_FLAGS and LINKER_FLAGS are the build's own (a sanitizer's), so that its libraries link.
set -euo pipefail
build=$1
source=$2
simulator=$3
cxx=$4
cxxflags=$5
ldflags=$6

simulator_pid=
cleanup() {
    if [ -n "$simulator_pid" ]; then
        kill -TERM "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    rm -rf "${scratch:-}"
}
trap cleanup EXIT
# shellcheck source=InstalledDev.sh
source "$(dirname "$0")/InstalledDev.sh" "$build"
examples=$prefix/share/doc/libvexora-serial-dev/examples
pcdir=$(dirname "$(find "$prefix" -name vexora-serial-core.pc)")
[ -d "$examples" ] || fail "no examples under $examples"

# ---- 2. every installed header on its own
if grep -rl '^// Inside the comm platform:' "$prefix/include"; then
    fail "headers of the platform's inside were installed (above)"
fi
qt_flags=$(pkg-config --cflags Qt6Widgets | sed 's/-I/-isystem /g')
mkdir "$scratch/headers"
(cd "$prefix/include" && find vexora -name '*.h' | sort) >"$scratch/headers.txt"
[ "$(wc -l <"$scratch/headers.txt")" -gt 0 ] || fail "no headers installed"
while read -r header; do
    unit=$scratch/headers/$(echo "$header" | tr / _).cpp
    printf '#include <%s>\n#include <%s>\n' "$header" "$header" >"$unit"
    echo "$unit"
done <"$scratch/headers.txt" |
    xargs -P 2 -I{} sh -c "$cxx -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror \
        -I'$prefix/include' $qt_flags {} 2>{}.log || { cat {}.log >&2; echo 'FAIL: {}' >&2; exit 1; }" ||
    fail "an installed header does not compile on its own (above)"
echo "ok: $(wc -l <"$scratch/headers.txt") installed headers compile on their own (${SECONDS} s so far)"
# libstdc++'s debug mode gives the containers another layout than the libraries': refused at once.
echo '#include <vexora/serial/AfComPort.h>' >"$scratch/debugmode.cpp"
# shellcheck disable=SC2086 # flags are words
if $cxx -std=c++20 -fsyntax-only -D_GLIBCXX_DEBUG -I"$prefix/include" $qt_flags "$scratch/debugmode.cpp" \
    >"$scratch/debugmode.log" 2>&1 || ! grep -q 'cannot be used with _GLIBCXX_DEBUG' "$scratch/debugmode.log"; then
    cat "$scratch/debugmode.log" >&2
    fail "the headers compile with _GLIBCXX_DEBUG, or fail without saying why"
fi

# ---- 3. the examples, with find_package and with pkg-config
quiet cmake -S "$examples" -B "$scratch/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
found=$(sed -n 's/^VexoraSerial_DIR:PATH=//p' "$scratch/cmake/CMakeCache.txt")
[ "$found" = "$(dirname "$pcdir")/cmake/VexoraSerial" ] || fail "find_package took $found"
quiet cmake --build "$scratch/cmake" -j 2
for program in vexora-term vexora-linelog vexora-portwindow; do
    [ -x "$scratch/cmake/$program" ] || fail "find_package build made no $program"
done
echo "ok: the examples build with find_package(VexoraSerial) (${SECONDS} s so far)"

export PKG_CONFIG_PATH=$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
mkdir "$scratch/pc"
build_pc() { # PROGRAM PACKAGE, in the background
    # shellcheck disable=SC2046,SC2086 # flags are words
    $cxx -std=c++20 $cxxflags "$examples/$1.cpp" -o "$scratch/pc/$1" $ldflags $(pkg-config --cflags --libs "$2") \
        >"$scratch/pc/$1.log" 2>&1 &
}
build_pc vexora-term vexora-serial-component
build_pc vexora-linelog vexora-serial-component
build_pc vexora-portwindow vexora-serial-widgets
# A user's program with warnings on (PkgConfigProgram.cpp says what it checks).
# shellcheck disable=SC2046,SC2086 # flags are words
$cxx -std=c++20 -Wall -Wextra -Wconversion -Werror $cxxflags "$source/PkgConfigProgram.cpp" -o "$scratch/pc/program" \
    $ldflags $(pkg-config --cflags --libs vexora-serial-component) >"$scratch/pc/program.log" 2>&1 &
for _ in 1 2 3 4; do
    wait -n || { cat "$scratch"/pc/*.log >&2; fail "an example or PkgConfigProgram.cpp does not build with pkg-config"; }
done
echo "ok: the examples build with pkg-config (${SECONDS} s so far)"
program_version=$("$scratch/pc/program") || fail "PkgConfigProgram failed (above)"
package_version=$(pkg-config --modversion vexora-serial-component)
[[ $program_version == "$package_version" || $program_version == "$package_version".* ]] ||
    fail "the libraries say version $program_version, the package $package_version"
echo "ok: a program built with pkg-config and -Wconversion finds qApp and version $program_version"

# ---- 4. the terminals against the meter simulator
export VEXORA_PORT_DIR=$scratch/ports VEXORA_MACHINE_PORTS=0
"$simulator" --com 3 >"$scratch/simulator.out" 2>&1 &
simulator_pid=$!
for _ in $(seq 200); do
    grep -q '^vexora-meter-sim: COM3 = ' "$scratch/simulator.out" && break
    kill -0 "$simulator_pid" 2>/dev/null || break
    sleep 0.05
done
device=$(sed -n 's/^vexora-meter-sim: COM3 = \([^,]*\),.*/\1/p' "$scratch/simulator.out")
[ -n "$device" ] || { cat "$scratch/simulator.out" >&2; fail "the meter simulator did not register COM 3"; }

# SND_NKE to address 1 is acknowledged with E5.
answer=$(printf '10 40 01 41 16\n' |
    timeout 20 "$scratch/cmake/vexora-term" -b 2400 -f 8E1 --hex-input --hex --wait 1000 COM3) ||
    fail "vexora-term (find_package) by COM number ended with status $?"
[ "$answer" = "E5" ] || fail "vexora-term by COM number: answer '$answer', expected 'E5'"
# REQ_UD2 to address 1 gets the 48-byte user-data frame, 68 2A 2A 68 ... 16.
printf '\x10\x5B\x01\x5C\x16' |
    timeout 20 "$scratch/pc/vexora-term" --baud 2400 --frame 8E1 --wait 1000 "$device" >"$scratch/frame" ||
    fail "vexora-term (pkg-config) by device path ended with status $?"
frame=$(od -An -tx1 -v "$scratch/frame" | tr -s ' \n' ' ')
if [ "$(stat -c %s "$scratch/frame")" != 48 ] || [[ $frame != " 68 2a 2a 68 "* ]] || [[ $frame != *" 16 " ]]; then
    fail "vexora-term by device path: answer$frame, expected the 48-byte user-data frame"
fi
echo "ok: both terminals talk to the meter on a pseudo-terminal, by COM number and by device path (${SECONDS} s)"
