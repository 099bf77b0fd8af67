#!/usr/bin/env bash
# Usage: CheckPackage.sh BUILD_DIR TOOL_FILE... -- DEV_FILE...
# Packs BUILD_DIR with CPack in a scratch folder and checks the two packages it makes:
# - both: their version is the project's with a Debian revision, and lintian reports no error;
# - vexora: it holds exactly the TOOL_FILEs (as dpkg-deb -c lists them, ./usr/...) besides
#   folders (a FILE that ends in /* stands for any files under its folder, at least one), the
#   control fields name the package, this machine's architecture and its dependencies, and the
#   desktop entry is valid and starts a packaged program with a packaged icon;
# - libvexora-serial-dev: it holds exactly the DEV_FILEs, its control fields are those of a
#   Debian library development package, and where it is unpacked its CMake package is found (at
#   its own version; not for another minor version, nor with an unknown component, which fails
#   with its reason) and its pkg-config files resolve.
set -euo pipefail
build=$1
shift
tool_files=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    tool_files+=("$1")
    shift
done
shift
dev_files=("$@")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    exit 1
fi
arch=$(dpkg --print-architecture)
tool=$(compgen -G "$scratch/out/vexora_*_$arch.deb") || { echo "FAIL: no vexora package:" "$scratch"/out/*.deb >&2; exit 1; }
dev=$(compgen -G "$scratch/out/libvexora-serial-dev_*_$arch.deb") ||
    { echo "FAIL: no libvexora-serial-dev package:" "$scratch"/out/*.deb >&2; exit 1; }
[ "$(compgen -G "$scratch/out/*.deb" | wc -l)" -eq 2 ] || fail "more packages than two:" "$scratch"/out/*.deb
echo "packages: $(basename "$tool") $(basename "$dev")"

# Contents: the expected files and nothing else.
check_files() { # DEB FILE...
    local deb=$1 expected files folder
    shift
    expected=$(printf '%s\n' "$@" | sort)
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
    # A folder of generated files (FOLDER/*): any files there, once the ones named are there too.
    while read -r folder; do
        grep -qF "$folder" <<<"$files" || fail "$(basename "$deb"): nothing under $folder"
        while read -r named; do
            grep -qxF "$named" <<<"$files" || fail "$(basename "$deb"): no $named"
        done < <(grep -F "$folder" <<<"$expected" | grep -v '/\*$' || true)
        expected=$(grep -vF "$folder" <<<"$expected" || true)
        files=$(grep -vF "$folder" <<<"$files" || true)
    done < <(grep '/\*$' <<<"$expected" | sed 's/\*$//')
    if [ "$files" != "$expected" ]; then
        fail "$(basename "$deb"): files differ from the expected ones (< expected, > packaged):"
        diff <(echo "$expected") <(echo "$files") >&2 || true
    fi
}
check_files "$tool" "${tool_files[@]}"
check_files "$dev" "${dev_files[@]}"

# Control fields.
check_control() { # DEB PACKAGE SECTION DEPENDENCY...
    local deb=$1 package=$2 section=$3 needed depends
    shift 3
    [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "Package is '$(dpkg-deb -f "$deb" Package)'"
    [ "$(dpkg-deb -f "$deb" Section)" = "$section" ] || fail "$package: Section is '$(dpkg-deb -f "$deb" Section)'"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] ||
        fail "$package: Architecture is '$(dpkg-deb -f "$deb" Architecture)'"
    depends=$(dpkg-deb -f "$deb" Depends)
    for needed in "$@"; do
        grep -qw "$needed" <<<"$depends" || fail "$package: Depends lacks $needed: $depends"
    done
}
check_control "$tool" vexora electronics libqt6widgets6 libqt6gui6 libqt6core6 fonts-liberation2
check_control "$dev" libvexora-serial-dev libdevel qt6-base-dev
[ "$(dpkg-deb -f "$tool" Version)" = "$(dpkg-deb -f "$dev" Version)" ] || fail "the two packages' versions differ"
[[ $(dpkg-deb -f "$dev" Version) =~ ^[0-9.]+-[0-9]+$ ]] ||
    fail "the version has no Debian revision: $(dpkg-deb -f "$dev" Version)"

# lintian's errors (its warnings and notes are left to the packager).
if command -v lintian >/dev/null; then
    if ! lintian --fail-on error -L '>=error' --tag-display-limit 0 "$tool" "$dev" >"$scratch/lintian.log" 2>&1; then
        grep -v 'running with root privileges' "$scratch/lintian.log" >&2 || true
        fail "lintian reports errors (above)"
    fi
else
    fail "lintian is missing (bash scripts/install-deps.sh installs it)"
fi

# The desktop entry: valid, and pointing at what the package installs.
dpkg-deb -x "$tool" "$scratch/tool"
entry="$scratch/tool/usr/share/applications/vexora.desktop"
if [ -f "$entry" ]; then
    desktop-file-validate "$entry" || fail "desktop entry does not validate"
    exec_line=$(sed -n 's/^Exec=//p' "$entry")
    program=${exec_line%% *}
    [ -x "$scratch/tool/usr/bin/$program" ] || fail "Exec=$exec_line starts no packaged program"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    compgen -G "$scratch/tool/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null ||
        fail "Icon=$icon has no packaged icon"
    grep -q '^Categories=.*;' "$entry" || fail "desktop entry has no menu category"
else
    fail "no desktop entry"
fi

# The -dev package unpacked: its CMake package gives the three targets, refuses another minor
# version, and its pkg-config files resolve from where they lie; the archives keep their symbols.
dpkg-deb -x "$dev" "$scratch/dev"
version=$(dpkg-deb -f "$dev" Version)
version=${version%-*} # the project's version, without the Debian revision
mkdir "$scratch/user"
cat >"$scratch/user/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(user LANGUAGES CXX)
find_package(VexoraSerial ${version%%.*}.$((${version#*.} + 1)) CONFIG QUIET)
if(VexoraSerial_FOUND)
    message(FATAL_ERROR "another minor version was accepted")
endif()
find_package(VexoraSerial $version CONFIG COMPONENTS Component Serial)
if(VexoraSerial_FOUND)
    message(FATAL_ERROR "an unknown component was accepted")
endif()
find_package(VexoraSerial $version CONFIG REQUIRED COMPONENTS Core Component Widgets)
foreach(target Vexora::SerialCore Vexora::SerialComponent Vexora::SerialWidgets)
    if(NOT TARGET \${target})
        message(FATAL_ERROR "no \${target}")
    endif()
endforeach()
EOF
if ! cmake -S "$scratch/user" -B "$scratch/user/build" -DCMAKE_PREFIX_PATH="$scratch/dev/usr" >"$scratch/user.log" 2>&1; then
    cat "$scratch/user.log" >&2
    fail "the -dev package's CMake package is not found where it is unpacked"
fi
grep -q 'VexoraSerial has no component Serial' "$scratch/user.log" ||
    { cat "$scratch/user.log" >&2; fail "an unknown component fails without its reason"; }
pcdir=$(dirname "$(find "$scratch/dev" -name vexora-serial-core.pc)")
libs=$(PKG_CONFIG_PATH=$pcdir pkg-config --libs vexora-serial-widgets) || fail "pkg-config does not resolve vexora-serial-widgets"
for library in widgets component core channel platform; do
    [[ $libs == *-lvexora-serial-$library* ]] || fail "pkg-config --libs vexora-serial-widgets lacks $library: $libs"
done
nm -C "$pcdir/../libvexora-serial-core.a" >"$scratch/symbols" 2>&1 || true
grep -q ' T vexora::serial::TAfComPortCore::Open' "$scratch/symbols" || fail "libvexora-serial-core.a lacks its symbols"

[ "$failures" -eq 0 ] || exit 1
echo "package checks passed"
