#!/usr/bin/env bash
# Builds the configuration tool and starts it. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vexora
exec build/default/app/vexora "$@"
