// Inside the comm platform: the COM numbers of the machine's own serial devices, which stay with
// their device for the life of the process, with the folders as parameters so that the numbering
// can be checked against a made-up /dev and /sys.
//
// A device is told apart from the others by its identity: a USB adapter that reports a serial
// number by its vendor and product id, that serial number and the interface (and port) the tty
// is on, wherever it is plugged in; a USB adapter without a serial number by the socket it sits
// in (the USB port path, "1-2" or "1-1.4") and the interface; any other device by its name
// (ttyS0). Numbers go out in the machine's scan order (AfScanSerialDevices): a device not seen
// before takes the lowest number that no device seen so far holds, so that the devices present at
// the first look get 1, 2, 3, ..., and a device that comes back gets its number again, whatever
// name the kernel gives it now. A number is never handed to another device while its own is out.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vexora::serial::platform {

// A serial device of the machine and what tells it apart from the others.
struct AfMachinePort {
    std::string Device;   // its path now, "/dev/ttyUSB1"
    std::string Identity; // see above
};

// The identity of the tty `name` (ttyUSB0), from the sysfs tree at `sysRoot`.
std::string AfSerialDeviceIdentity(const std::string& name, const std::string& sysRoot);

// The machine's serial devices (AfScanSerialDevices of `devDir` and `sysRoot`/class/tty) in scan
// order, each with its identity; a second device with the same identity (two adapters that report
// the same serial number) is told apart by its socket instead.
std::vector<AfMachinePort> AfScanMachinePorts(const std::string& devDir, const std::string& sysRoot);

// The numbers given so far. Not thread-safe: its owner locks.
class AfComNumberTable {
public:
    // Numbers the devices present now (in scan order) and returns them by COM number; a device
    // that is out keeps its number, which then names nothing.
    std::map<int, std::string> Update(const std::vector<AfMachinePort>& present);

private:
    std::map<std::string, int> numbers_; // identity -> number, of every device seen
};

// The machine's serial devices by COM number now (the process's own table, under its lock): a
// scan of /dev and /sys. Empty while the machine's ports are switched off.
std::map<int, std::string> AfMachineComPorts();

} // namespace vexora::serial::platform
