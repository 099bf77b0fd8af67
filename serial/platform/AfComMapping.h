/// \file
/// COM numbers on this machine: COM n is the entry `COM<n>` of the port directory, else the serial
/// device of the machine that holds number n (USB adapters, then real on-board UARTs, numbered in
/// that order as they are first seen).
///
/// A program can also assign a device to a COM number itself (AssignComPort); such an assignment
/// comes before the port directory and the machine's devices, in this process only.
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

/// The port directory: $VEXORA_PORT_DIR, else $XDG_RUNTIME_DIR/vexora-ports, else
/// `/tmp/vexora-ports-<uid>`. It need not exist.
std::string ComPortDirectory();

/// Why the port directory `dir` may not name devices, or an empty string when it may: whoever can
/// put an entry in it decides what COM n opens, and a folder in a shared /tmp can be made by
/// anyone first. It counts only as a real directory (not a symbolic link) of this user that nobody
/// else may write to. A directory that does not exist names nothing and is no problem.
std::string AfPortDirectoryProblem(const std::string& dir);

/// Makes COM `number` open `devicePath` (a path such as /dev/ttyUSB0) in this process, whatever
/// the port directory or the machine's devices say; an empty path takes the assignment back.
/// Returns false, assigning nothing, for a number below 1. Any thread may call it; a port that is
/// open keeps its device, the next open takes the new one.
bool AssignComPort(int number, const std::string& devicePath);

/// The device path of COM `number`, or an empty string when there is none (also for 0 and below):
/// the program's assignment, else the entry `COM<n>` of the port directory (a symbolic link gives
/// its target), else the machine's device that holds the number (see the file's description). A
/// port directory with a problem is left out (the machine's devices still count), and said so
/// once per directory on standard error. Costs a look at the directory and, without an entry
/// there, a scan of /dev and a few small sysfs reads per device.
std::string ComPortDevicePath(int number);

/// False when VEXORA_MACHINE_PORTS is "0".
bool MachinePortsEnabled();

/// The machine's own serial devices in the order in which new ones get their COM numbers:
/// `/dev/ttyUSB<n>`, then `/dev/ttyACM<n>`, each by number, then the `/dev/ttyS<n>` whose driver
/// reports a real UART (not the port directory's entries); none while the machine's ports are
/// switched off.
std::vector<std::string> MachineSerialDevices();

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
};

/// Describes `device`, looking it up in the sysfs tree mounted at `sysRoot` (`/sys/class/tty/<name>`
/// and the devices above it). Any thread; reads a few small files, opens no device.
AfComPortInfo AfDescribeSerialDevice(const std::string& device, const std::string& sysRoot = "/sys");

/// Every COM number that names a device now (the port directory's entries, the machine's devices
/// and the numbers this process assigned), in ascending order, each described. Any thread; costs a
/// ComPortDevicePath and an AfDescribeSerialDevice per number.
std::vector<AfComPortInfo> AfListComPorts(const std::string& sysRoot = "/sys");

/// "/dev/ttyUSB0, ftdi_sio, FTDI FT232R USB UART (0403:6001), serial A10K3X9Q": the device, its
/// driver and what a USB adapter says of itself, each part only where known.
std::string AfComPortSummary(const AfComPortInfo& info);
/// "this user may not open it: the group dialout gives access", or empty when AccessGroup is.
std::string AfComPortAccessNote(const AfComPortInfo& info);

/// The COM number that opens `device` (a path such as /dev/ttyUSB0 or /dev/serial/by-id/...): the
/// lowest number the port directory or the machine's devices give it, compared by the real path;
/// otherwise a number above every number in use, which this process assigns to the device from
/// then on (ComPortDevicePath gives it back). 0 when `device` does not exist. Any thread.
int AfComNumberForDevice(const std::string& device);
