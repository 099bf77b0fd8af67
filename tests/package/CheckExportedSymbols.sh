#!/usr/bin/env bash
# Usage: CheckExportedSymbols.sh BUILD_DIR CXX
# Embeds the serial component in a shared library as a user would: installs BUILD_DIR's component
# SerialDev into an empty temporary prefix, links every installed archive whole into a shared
# library, and reads that library's dynamic symbol table. Every symbol it exports must be the
# component's public API:
# - a name in vexora::serial (or its platform namespace), or the vtable, typeinfo or thunk of
#   one, whose first name below the namespace is declared in an installed header;
# - or a weak instantiation of a template of the standard library, which keeps the visibility its
#   own headers give it;
# - unmangled, only what the linker itself defines (_init, _fini, _edata, _end, __bss_start).
# Nothing in an anonymous namespace, nothing global of the component's.
set -euo pipefail
build=$1
cxx=$2

trap 'rm -rf "${scratch:-}"' EXIT
# shellcheck source=InstalledDev.sh
source "$(dirname "$0")/InstalledDev.sh" "$build"
libdir=$(dirname "$(find "$prefix" -name libvexora-serial-core.a)")
archives=()
for layer in widgets component core channel platform; do
    # The widgets only where the build has them.
    [ -f "$libdir/libvexora-serial-$layer.a" ] && archives+=("$libdir/libvexora-serial-$layer.a")
done
[ ${#archives[@]} -ge 5 ] || [ ! -f "$libdir/libvexora-serial-widgets.a" ] || fail "archives missing: ${archives[*]}"
# shellcheck disable=SC2046 # flags are words
"$cxx" -shared -o "$scratch/libuser.so" -Wl,--whole-archive "${archives[@]}" -Wl,--no-whole-archive \
    $(pkg-config --libs Qt6Widgets) -pthread 2>"$scratch/link.log" || { cat "$scratch/link.log" >&2; fail "link"; }

# The installed headers' code lines, for the look-up of declared names.
find "$prefix/include" -name '*.h' -exec cat {} + | sed 's|//.*||' >"$scratch/declarations"

# Each line: the symbol's kind, its name and its demangled name.
nm -D --defined-only "$scratch/libuser.so" | awk '{print $2 "\t" $3}' >"$scratch/raw"
cut -f2 "$scratch/raw" | c++filt | paste "$scratch/raw" - >"$scratch/symbols"
total=0
bad=()
while IFS=$'\t' read -r kind symbol name; do
    total=$((total + 1))
    case $symbol in
    _init | _fini | _edata | _end | __bss_start) continue ;;
    _Z*) ;;
    *)
        bad+=("$symbol (unmangled)")
        continue
        ;;
    esac
    if [[ $name == *"(anonymous namespace)"* ]]; then
        bad+=("$name (anonymous namespace)")
        continue
    fi
    # What the symbol is of: the vtable, typeinfo or thunk of a class, or the entity itself.
    entity=$(sed -E 's/^(vtable|VTT|typeinfo|typeinfo name|construction vtable|(non-)?virtual thunk|covariant return thunk|guard variable) (for|to) //' <<<"$name")
    entity=${entity#"void "}
    if [[ $entity == vexora::serial::* ]]; then
        first=${entity#vexora::serial::}
        first=${first#platform::}
        first=${first%%[^A-Za-z0-9_]*}
        grep -qw -- "$first" "$scratch/declarations" || bad+=("$name ($first is declared in no installed header)")
    elif [[ $entity == *std::* || $entity == *__gnu_cxx::* ]] && [[ $kind == [WVu] ]]; then
        continue
    else
        bad+=("$name (not the component's)")
    fi
done <"$scratch/symbols"

if [ ${#bad[@]} -ne 0 ]; then
    printf '  %s\n' "${bad[@]}" | head -50 >&2
    fail "${#bad[@]} of the $total exported symbols are not the component's public API (above, 50 at most)"
fi
echo "ok: the $total exported symbols of a shared library with the whole archives are the public API"
