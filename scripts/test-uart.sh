#!/usr/bin/env bash
# The tests on real UARTs: boots a Linux guest under QEMU (TCG, no KVM needed) whose 8250 driver
# runs emulated 16550 ports and whose ftdi_sio driver runs emulated USB converters, and runs the
# guest tests there (scripts/uart-guest-tests.sh). The guest runs the project's own binaries from
# the host's root, shared read-only; nothing is installed into it.
#
# Wiring of the guest's ports:
#   ttyS0  console (this script's output)
#   ttyS1  on-board UART with a loopback plug (tests/uart/UartLoopPlug.cpp, loaded into QEMU):
#          transmit to receive, RTS to CTS, DTR to DSR, DCD and RI, a break back as a break
#   two PCI cards of two ports each, each card's ports joined like a null-modem cable (bytes
#          only: no modem lines, breaks or settings cross), so that two groups of tests run at once
#   a PCI card of its own, which a test unplugs
#   a PCI card whose port is the guest's line to QEMU's monitor (the plug plays it): a test sends
#          QMP commands there, to pull a USB adapter out and plug it back in
#   three emulated FTDI USB adapters (QEMU's usb-serial, the kernel's ftdi_sio) on an xHCI
#          controller: one whose far end is the meter simulator on this host, on a pseudo-terminal
#          of its own, and two joined with each other like a null-modem cable (bytes only)
#
# The kernel is Debian's, fetched once with apt-get download and kept with the initramfs in
# build/uart-guest. Exit status: that of the guest tests, 1 when the guest could not run them.
#
# usage: scripts/test-uart.sh [--preset NAME]    test binaries of build/NAME (default: default)
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

preset=default
while [ $# -gt 0 ]; do
    case $1 in
    --preset) preset=${2:?--preset wants a name}; shift 2 ;;
    *) echo "usage: $0 [--preset NAME]" >&2; exit 2 ;;
    esac
done
case $repo in
*[[:space:]]*) echo "test-uart: the checkout's path must not contain blanks: $repo" >&2; exit 1 ;;
esac

cache=$repo/build/uart-guest
mkdir -p "$cache"
fail() { echo "test-uart: $*" >&2; exit 1; }

# ---- what the guest runs: the preset's test binaries, and the plug from the release build
bash scripts/install-deps.sh || fail "cannot install the packages"
build_targets() {
    local name=$1; shift
    [ -f "build/$name/CMakeCache.txt" ] || cmake --preset "$name" >/dev/null || return 1
    local output
    output=$(cmake --build --preset "$name" --target "$@" 2>&1) || { echo "$output" | tail -40 >&2; return 1; }
}
targets=(uart_platform_test uart_serial_test uart_usb_test)
[ "$preset" = tsan ] || targets+=(app_operations_test app_usb_test vexora-cli)
build_targets "$preset" "${targets[@]}" || fail "cannot build ${targets[*]} ($preset)"
build_targets default vexora_uart_plug vexora-meter-sim || fail "cannot build the loopback plug and the simulator"
plug=$repo/build/default/tests/uart/libvexora_uart_plug.so

# ---- the kernel: Debian's current image package, unpacked once
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
refresh_lists() {
    local sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
}
package=$(kernel_package)
[ -n "$package" ] || { refresh_lists; package=$(kernel_package); }
[ -n "$package" ] || fail "no kernel image package is known to apt"
kernel_dir=$cache/$package
# A kernel that Debian has replaced since is not kept.
find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -name "$package" -exec rm -rf {} +
# The modules the guest loads, in load order: for the host's shared root (virtio, 9p), then for
# the USB adapters.
modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet
    9pnet_virtio 9p usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
module_file() { find "$kernel_dir/lib/modules" -name "$1.ko" 2>/dev/null | head -1; }
# A kernel unpacked before the USB adapters came lacks their modules: unpacked anew.
[ -f "$kernel_dir/vmlinux" ] && [ -n "$(module_file ftdi_sio)" ] || rm -rf "$kernel_dir"
if [ ! -f "$kernel_dir/vmlinux" ]; then
    echo "=== uart guest: fetching $package"
    rm -rf "$kernel_dir" && mkdir -p "$kernel_dir/deb"
    download() { (cd "$kernel_dir/deb" && apt-get download -q "$package" >/dev/null 2>&1); }
    download || { refresh_lists && download; } || fail "cannot download $package"
    # Only the kernel and the modules for the host's shared root (virtio, 9p) and the USB adapters
    # are taken out.
    dpkg-deb --fsys-tarfile "$kernel_dir"/deb/*.deb |
        tar -x -C "$kernel_dir" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/virtio/*' \
            './lib/modules/*/kernel/net/9p/*' './lib/modules/*/kernel/fs/*' \
            './lib/modules/*/kernel/drivers/usb/common/*' './lib/modules/*/kernel/drivers/usb/core/*' \
            './lib/modules/*/kernel/drivers/usb/host/*' './lib/modules/*/kernel/drivers/usb/serial/*' ||
        fail "cannot unpack $package"
    # The compressed image boots some seconds slower under TCG than the ELF image inside it.
    image=$(echo "$kernel_dir"/boot/vmlinuz-*)
    offset=$(grep -abo $'\xfd7zXZ' "$image" | head -1 | cut -d: -f1)
    [ -n "$offset" ] || fail "no xz stream in $image"
    tail -c "+$((offset + 1))" "$image" | xz -dc >"$kernel_dir/vmlinux.part" 2>/dev/null
    [ "$(head -c 4 "$kernel_dir/vmlinux.part" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
        fail "the kernel image holds no ELF kernel"
    mv "$kernel_dir/vmlinux.part" "$kernel_dir/vmlinux"
    rm -rf "$kernel_dir/deb"
fi

# ---- the initramfs: busybox, the modules in load order, and /init
root=$cache/initramfs
rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,host,modules}
cp /bin/busybox "$root/bin/busybox"
for module in "${modules[@]}"; do
    file=$(module_file "$module")
    [ -n "$file" ] || fail "module $module is missing from $package"
    cp "$file" "$root/modules/"
done
echo "${modules[*]}" >"$root/modules/order"
cat >"$root/init" <<'INIT'
#!/bin/busybox sh
# The guest's first process: mounts the host's root read-only and runs the guest tests in it.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do insmod "/modules/$module.ko" || echo "insmod $module failed"; done
option() { tr ' ' '\n' </proc/cmdline | sed -n "s/^vexora\.$1=//p"; }
repo=$(option repo)
share="trans=virtio,version=9p2000.L,msize=262144"
mount -t 9p -o "$share,ro,cache=loose" host /host || echo "cannot mount the host's root"
mount -t tmpfs tmp /host/tmp
# A checkout under /tmp is covered by the guest's own /tmp; it is shared on its own as well.
mkdir -p "/host$repo" && mount -t 9p -o "$share,ro,cache=loose" repo "/host$repo"
mkdir -p /dev/pts /dev/shm
mount -o bind /dev /host/dev
mount -t devpts devpts /host/dev/pts
mount -t tmpfs shm /host/dev/shm
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
chroot /host /usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp LANG=C.UTF-8 \
    /bin/bash "$repo/scripts/uart-guest-tests.sh" "$(option build)"
echo "vexora-guest-status: $?"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$cache/initramfs.cpio.gz") ||
    fail "cannot pack the initramfs"

# ---- the meter on the far end of the first USB adapter: the simulator on a pseudo-terminal of its
# own, with values other than the window's design values (tests/uart/UartGuest.h names them)
run=$cache/run
rm -rf "$run" && mkdir -p "$run/ports"
log=$run/console.log
: >"$log"
VEXORA_PORT_DIR=$run/ports VEXORA_MACHINE_PORTS=0 build/default/sim/vexora-meter-sim --com 1 \
    --flow-scale 1 --pulse-scale 2 --q4ma 250 --q20ma 4500 --imp-out 2.5 --empty-tube --pulse-width 20 \
    --log "$run/usb-meter.log" >"$run/usb-meter.out" 2>&1 &
meter=$!
trap 'kill $meter 2>/dev/null' EXIT
meter_line=
for _ in $(seq 100); do
    meter_line=$(sed -n 's/^vexora-meter-sim: COM1 = \([^,]*\),.*/\1/p' "$run/usb-meter.out")
    [ -n "$meter_line" ] && break
    kill -0 $meter 2>/dev/null || break
    sleep 0.1
done
[ -n "$meter_line" ] || fail "the meter simulator did not start: $(cat "$run/usb-meter.out")"

# ---- boot
echo "=== uart guest: booting $package, test binaries of build/$preset"
start=$(date +%s)
# -nodefaults: no network card, display or default serial port; the machine's ports are the ones
# named here. The guard is generous: the guest's run takes well under two minutes.
timeout 600 env VEXORA_UART_PLUG="$run/loop-tty" VEXORA_UART_PLUG_QMP="$run/qmp.sock" \
    VEXORA_UART_PLUG_CHARDEV=loop VEXORA_UART_MONITOR_LINE="$run/monitor-tty" LD_PRELOAD="$plug" \
    qemu-system-x86_64 -nodefaults -accel tcg -m 1536 -smp 2 -display none -no-reboot \
    -kernel "$kernel_dir/vmlinux" -initrd "$cache/initramfs.cpio.gz" \
    -append "console=ttyS0 8250.nr_uarts=10 quiet panic=-1 vexora.uart_guest=1 vexora.repo=$repo vexora.build=build/$preset" \
    -serial "file:$log" \
    -chardev "serial,id=loop,path=$run/loop-tty" -serial chardev:loop \
    -chardev "socket,id=pair0,path=$run/pair.sock,server=on,wait=off" \
    -chardev "socket,id=pair1,path=$run/pair.sock" \
    -device pci-serial-2x,chardev1=pair0,chardev2=pair1,addr=5 \
    -chardev "socket,id=pair2,path=$run/pair2.sock,server=on,wait=off" \
    -chardev "socket,id=pair3,path=$run/pair2.sock" \
    -device pci-serial-2x,chardev1=pair2,chardev2=pair3,addr=7 \
    -chardev null,id=gone -device pci-serial,chardev=gone,addr=6 \
    -chardev "serial,id=monitor,path=$run/monitor-tty" -device pci-serial,chardev=monitor,addr=8 \
    -device qemu-xhci,id=xhci,addr=9 \
    -chardev "serial,id=usbmeter,path=$meter_line" \
    -device usb-serial,id=usbmeter,chardev=usbmeter,serial=VXMETER1,bus=xhci.0,port=1 \
    -chardev "socket,id=usbpair0,path=$run/usbpair.sock,server=on,wait=off" \
    -chardev "socket,id=usbpair1,path=$run/usbpair.sock" \
    -device usb-serial,id=usba,chardev=usbpair0,serial=VXPAIRA1,bus=xhci.0,port=2 \
    -device usb-serial,id=usbb,chardev=usbpair1,serial=VXPAIRB1,bus=xhci.0,port=3 \
    -qmp "unix:$run/qmp.sock,server=on,wait=off" \
    -virtfs "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$repo,mount_tag=repo,security_model=none,readonly=on" &
qemu=$!
tail -n +1 -f --pid=$qemu "$log" | tr -d '\r'
wait $qemu
qemu_status=$?
status=$(sed -n 's/^vexora-guest-status: \([0-9]*\).*/\1/p' "$log" | tail -1)
echo "=== uart guest: $(($(date +%s) - start)) s"
if [ -z "$status" ]; then
    [ $qemu_status -eq 124 ] && echo "test-uart: the guest did not finish in time" >&2
    fail "the guest ended without a result (QEMU exit status $qemu_status)"
fi
exit "$status"
