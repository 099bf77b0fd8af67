#!/usr/bin/env bash
# Usage: CheckPrivateHeaders.sh SOURCE_DIR CXX INCLUDE_DIR...
# The serial component's private headers (serial/**/*_p.h) are out of reach of the code outside
# serial/: with the include folders that the tool, the command-line tool and the simulator compile
# with (INCLUDE_DIRs), the public headers are found, and no private header is, neither as its
# layer spells it ("comm/AfCommDriver_p.h"), nor by its bare name, nor through serial/ or the
# public prefix. One unit asks the compiler with __has_include, which searches as #include does.
set -euo pipefail
source_dir=$1
cxx=$2
shift 2

# The compiler's own folders (Qt names /usr/include too) stay off the command line, as CMake keeps
# them off: an -I for one of them would break the standard library's #include_next.
implicit=$("$cxx" -x c++ -E -v - </dev/null 2>&1 | sed -n '/^#include <...> search starts here:/,/^End of search list/p')
flags=()
for dir in "$@"; do
    grep -qxF " $dir" <<<"$implicit" || flags+=(-I "$dir")
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unit=$scratch/probe.cpp
{
    echo '#include <vexora/serial/AfObject.h>'
    echo '#if !__has_include(<vexora/serial/platform/AfWin.h>)'
    echo '#error "public header not found: <vexora/serial/platform/AfWin.h>"'
    echo '#endif'
    count=0
    while read -r header; do
        relative=${header#serial/} # platform/comm/AfCommDriver_p.h
        in_layer=${relative#*/}    # comm/AfCommDriver_p.h
        for spelling in "\"$in_layer\"" "\"${header##*/}\"" "\"$relative\"" "<vexora/serial/$in_layer>" \
            "<vexora/serial/$relative>"; do
            printf '#if __has_include(%s)\n#error "private header reached: %s"\n#endif\n' "$spelling" \
                "${spelling//\"/}"
            count=$((count + 1))
        done
    done < <(cd "$source_dir" && find serial -name '*_p.h' | sort)
    echo "// $count spellings"
} >"$unit"
count=$(sed -n 's|^// \([0-9]*\) spellings$|\1|p' "$unit")
[ "$count" -gt 0 ] || { echo "FAIL: no private headers found under $source_dir/serial" >&2; exit 1; }

if ! "$cxx" -std=c++20 -fsyntax-only "${flags[@]}" "$unit" 2>"$scratch/probe.log"; then
    grep 'error' "$scratch/probe.log" >&2 || cat "$scratch/probe.log" >&2
    echo "FAIL: from outside serial/, a public header is missing or a private one is reached (above)" >&2
    exit 1
fi
# The same unit with the layers' own folders on the path must reach them: else this check could
# not fail.
if "$cxx" -std=c++20 -fsyntax-only "${flags[@]}" -I "$source_dir/serial/platform" -I "$source_dir/serial/core" \
    "$unit" 2>/dev/null; then
    echo "FAIL: the check does not see private headers even on the layers' own include path" >&2
    exit 1
fi
echo "ok: $count spellings of the private headers are out of reach from outside serial/"
