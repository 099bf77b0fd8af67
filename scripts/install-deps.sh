#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Vexora need, when missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev llvm clang-format
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-serialport-dev libboost-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth x11-apps x11-utils xdotool imagemagick fonts-dejavu-core fonts-liberation2
    procps strace ser2net
    libncurses-dev libx11-dev
    dpkg-dev desktop-file-utils lintian
    doxygen
    qemu-system-x86 busybox-static xz-utils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

# The tests run ser2net themselves, as a gateway on pseudo-terminals of their own. Debian's package
# also starts it as a service that offers the machine's serial ports on localhost: a fresh install
# leaves that service off.
for p in "${missing[@]}"; do
    if [ "$p" = ser2net ] && command -v systemctl >/dev/null; then
        "${sudo_cmd[@]}" systemctl disable --now ser2net.service >/dev/null 2>&1 || true
    fi
done
