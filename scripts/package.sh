#!/usr/bin/env bash
# Builds the Debian package: a release build of what the package installs (the tool, and the
# meter simulator where the project has it), packed by CPack. Prints the package's path.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB >/dev/null)
ls "$PWD"/build/package/vexora_*.deb
