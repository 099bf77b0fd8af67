# shellcheck shell=bash
# Sourced by the checks that work on the installed -dev component: a scratch folder ($scratch,
# removed at exit by the check's own trap), fail (ends the check), quiet (runs a step, showing its
# output only when it fails), and the component installed from build folder $1 into
# $prefix=$scratch/prefix.
scratch=$(mktemp -d)
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
quiet() {
    if ! "$@" >"$scratch/step.log" 2>&1; then
        cat "$scratch/step.log" >&2
        fail "$*"
    fi
}
prefix=$scratch/prefix
quiet cmake --install "$1" --prefix "$prefix" --component SerialDev
