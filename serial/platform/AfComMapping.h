/// \file
/// COM numbers on this machine: COM n is the entry `COM<n>` of the port directory, else the serial
/// device of the machine that holds number n (USB adapters, then real on-board UARTs, numbered in
/// that order as they are first seen).
///
/// A program can also assign a device to a COM number itself (AssignComPort); such an assignment
/// comes before the port directory and the machine's devices, in this process only.
///
/// A COM number may also name a network port: `rfc2217://HOST:PORT`, a serial port behind a gateway
/// that speaks the Telnet COM Port Control option (RFC 2217), which carries line settings, purges,
/// modem lines and breaks to the far port; or `tcp://HOST:PORT`, raw bytes to a gateway that keeps
/// its own line settings. An entry of the port directory names one as a symbolic link whose target
/// is the address (`COM5 -> rfc2217://192.168.1.20:2217`); AssignComPort takes the address as the
/// device. Such a port opens a TCP connection to that address and nowhere else.
///
/// VEXORA_MACHINE_PORTS=0 in the environment switches the machine's own devices off: COM n is then
/// only what the port directory names (or the program assigned). Tests, and the tool run against
/// the meter simulator, set it so that nothing opens or probes a real port of the machine.
///
/// Every call reads the environment and looks at the folders again, so an adapter plugged in later
/// is found. A number stays with the machine's device that got it, for the life of the process:
/// the process remembers each device it has seen by what tells it apart (a USB adapter by its
/// serial number, or by the socket it sits in when it reports none; a UART by its name). A device
/// seen for the first time takes the lowest number no device seen so far holds, a device pulled
/// out leaves its number empty, and one that comes back gets its number again, whatever name the
/// kernel gives it now. Any thread; nothing raises (beyond std::bad_alloc); no device is opened.
#pragma once

#include <string>
#include <vector>

#include <vexora/serial/AfExport.h>

namespace vexora::serial::platform {

/// The port directory: $VEXORA_PORT_DIR, else $XDG_RUNTIME_DIR/vexora-ports, else
/// `/tmp/vexora-ports-<uid>`. It need not exist.
VEXORA_SERIAL_API std::string ComPortDirectory();

/// Why the port directory `dir` may not name devices, or an empty string when it may: whoever can
/// put an entry in it decides what COM n opens, and a folder in a shared /tmp can be made by
/// anyone first. It counts only as a real directory (not a symbolic link) of this user that nobody
/// else may write to. A directory that does not exist names nothing and is no problem.
VEXORA_SERIAL_API std::string AfPortDirectoryProblem(const std::string& dir);

/// Makes COM `number` open `devicePath` (a path such as /dev/ttyUSB0, or a network port's address
/// such as rfc2217://192.168.1.20:2217) in this process, whatever the port directory or the
/// machine's devices say; an empty path takes the assignment back.
/// Returns false, assigning nothing, for a number below 1. Any thread may call it; a port that is
/// open keeps its device, the next open takes the new one.
VEXORA_SERIAL_API bool AssignComPort(int number, const std::string& devicePath);

/// The device path of COM `number`, or an empty string when there is none (also for 0 and below):
/// the program's assignment, else the entry `COM<n>` of the port directory (a symbolic link gives
/// its target; a network port's address as it is written), else the machine's device that holds
/// the number (see the file's description). A port directory with a problem is left out (the
/// machine's devices still count), and said so once per directory on standard error. Costs a look
/// at the directory and, without an entry there, a scan of /dev and a few small sysfs reads per
/// device.
VEXORA_SERIAL_API std::string ComPortDevicePath(int number);

/// Whether `device` names a network port: it begins with `rfc2217://` or `tcp://` (in any letter
/// case). Whether the rest is a valid address is for the open to find out (a malformed one is not
/// found).
VEXORA_SERIAL_API bool AfIsNetworkPort(const std::string& device);

/// False when VEXORA_MACHINE_PORTS is "0".
VEXORA_SERIAL_API bool MachinePortsEnabled();

/// The machine's own serial devices in the order in which new ones get their COM numbers:
/// `/dev/ttyUSB<n>`, then `/dev/ttyACM<n>`, each by number, then the `/dev/ttyS<n>` whose driver
/// reports a real UART (not the port directory's entries); none while the machine's ports are
/// switched off.
VEXORA_SERIAL_API std::vector<std::string> MachineSerialDevices();

// ---- what a COM number is, for a technician who must tell the ports apart

/// The device behind a COM number as the machine describes it.
struct AfComPortInfo {
    int Number = 0;     ///< The COM number.
    std::string Device; ///< The device path COM Number opens.
    /// The kernel driver that serves the device (ftdi_sio, cp210x, cdc_acm, serial, ...),
    /// "pseudo-terminal" for /dev/pts/N; empty when the machine does not say.
    std::string Driver;
    /// For a USB adapter, what the adapter reports of itself; empty otherwise or where it reports
    /// nothing.
    std::string Manufacturer;
    std::string Product;      ///< For a USB adapter, its product name (as Manufacturer).
    std::string SerialNumber; ///< For a USB adapter, its serial number (as Manufacturer).
    std::string UsbId;        ///< For a USB adapter, vendor and product id, "0403:6001".
    /// When this user may not read and write the device: the group that may (the device's group,
    /// "dialout" on Debian), or its number when it has no name. Empty when the device is open to
    /// this user or does not exist.
    std::string AccessGroup;
    /// For a network port that this process last failed to connect to: why ("connection refused",
    /// "no connection within 5 s", "the host name does not resolve", ...). Empty otherwise.
    std::string Problem;
};

/// Describes `device`, looking it up in the sysfs tree mounted at `sysRoot` (`/sys/class/tty/<name>`
/// and the devices above it); a network port is described by its address alone (and Problem). Any
/// thread; reads a few small files, opens no device and connects to nothing.
VEXORA_SERIAL_API AfComPortInfo AfDescribeSerialDevice(const std::string& device,
                                                       const std::string& sysRoot = "/sys");

/// Every COM number that names a device now (the port directory's entries, the machine's devices
/// and the numbers this process assigned), in ascending order, each described. Any thread; costs a
/// ComPortDevicePath and an AfDescribeSerialDevice per number.
VEXORA_SERIAL_API std::vector<AfComPortInfo> AfListComPorts(const std::string& sysRoot = "/sys");

/// "/dev/ttyUSB0, ftdi_sio, FTDI FT232R USB UART (0403:6001), serial A10K3X9Q": the device, its
/// driver and what a USB adapter says of itself, each part only where known; a network port's
/// address alone.
VEXORA_SERIAL_API std::string AfComPortSummary(const AfComPortInfo& info);
/// "this user may not open it: the group dialout gives access", or empty when AccessGroup is.
VEXORA_SERIAL_API std::string AfComPortAccessNote(const AfComPortInfo& info);

/// The COM number that opens `device` (a path such as /dev/ttyUSB0 or /dev/serial/by-id/..., or a
/// network port's address): the lowest number the port directory or the machine's devices give it,
/// compared by the real path (an address as it is written); otherwise a number above every number
/// in use, which this process assigns to the device from then on (ComPortDevicePath gives it back).
/// 0 when `device` does not exist or is no valid network address. Any thread; connects to nothing.
VEXORA_SERIAL_API int AfComNumberForDevice(const std::string& device);

} // namespace vexora::serial::platform
