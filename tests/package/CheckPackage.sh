#!/usr/bin/env bash
# Usage: CheckPackage.sh BUILD_DIR FILE...
# Packs BUILD_DIR into a .deb with CPack in a scratch folder and checks it: it holds exactly the
# FILEs (as dpkg-deb -c lists them, ./usr/...) besides folders, the control fields name the
# package, this machine's architecture and its dependencies, and the desktop entry is valid and
# starts a packaged program with a packaged icon.
set -euo pipefail
build=$1
shift
expected=$(printf '%s\n' "$@" | sort)

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
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one package, got: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Contents: the expected files and nothing else.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
if [ "$files" != "$expected" ]; then
    fail "package files differ from the expected ones:"
    diff <(echo "$expected") <(echo "$files") >&2 || true
fi

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vexora ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
for needed in libqt6widgets6 libqt6gui6 libqt6core6 fonts-liberation2; do
    grep -qw "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

# The desktop entry: valid, and pointing at what the package installs.
dpkg-deb -x "$deb" "$scratch/root"
entry="$scratch/root/usr/share/applications/vexora.desktop"
if [ -f "$entry" ]; then
    desktop-file-validate "$entry" || fail "desktop entry does not validate"
    exec_line=$(sed -n 's/^Exec=//p' "$entry")
    program=${exec_line%% *}
    [ -x "$scratch/root/usr/bin/$program" ] || fail "Exec=$exec_line starts no packaged program"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    compgen -G "$scratch/root/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null ||
        fail "Icon=$icon has no packaged icon"
    grep -q '^Categories=.*;' "$entry" || fail "desktop entry has no menu category"
else
    fail "no desktop entry"
fi

[ "$failures" -eq 0 ] || exit 1
echo "package checks passed"
