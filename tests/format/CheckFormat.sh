#!/usr/bin/env bash
# Usage: CheckFormat.sh SOURCE_DIR CLANG_FORMAT
# Every tracked C++ source of SOURCE_DIR is laid out as the repository's .clang-format says
# (clang-format --dry-run -Werror). Outside a git checkout (an unpacked source tree) there is no
# list of tracked files: the check skips (exit 77). To fix a file: clang-format -i FILE.
set -euo pipefail
source_dir=$1
clang_format=$2

if ! git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "skipped: $source_dir is not a git checkout"
    exit 77
fi
cd "$source_dir"
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
[ ${#files[@]} -gt 0 ] || { echo "FAIL: no tracked C++ sources" >&2; exit 1; }
if ! printf '%s\0' "${files[@]}" | xargs -0 -n 16 -P 2 "$clang_format" --dry-run -Werror; then
    echo "FAIL: files above differ from .clang-format's layout (clang-format -i FILE fixes one)" >&2
    exit 1
fi
echo "ok: ${#files[@]} tracked C++ sources as .clang-format lays them out ($("$clang_format" --version))"
