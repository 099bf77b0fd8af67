#!/usr/bin/env bash
# Builds the Debian packages: a release build of what they install, packed by CPack.
#   build/package/vexora_<version>-<revision>_<arch>.deb      the tool (and the meter simulator
#                                                              where the project has it)
#   build/package/libvexora-serial-dev_<version>-<revision>_<arch>.deb
#                                                              the serial component for programmers
# Prints the packages' paths. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB >/dev/null)
ls "$PWD"/build/package/vexora_*.deb "$PWD"/build/package/libvexora-serial-dev_*.deb
