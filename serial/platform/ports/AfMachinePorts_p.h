// Inside the comm platform: how the machine's own serial devices are found, with the folders as
// parameters so that the order can be checked against a made-up /dev and /sys.
#pragma once

#include <string>
#include <vector>

namespace vexora::serial::platform {

// The numbers n of the entries `<prefix><n>` of the folder `dir` (n of up to nine digits), in
// ascending order; none when the folder cannot be read.
std::vector<long> AfNumberedEntries(const std::string& dir, const std::string& prefix);

// Whether `name` is that of a serial device the machine's scan looks at: ttyUSB<n>, ttyACM<n> or
// ttyS<n>.
bool AfIsSerialDeviceName(const std::string& name);

// USB adapters (ttyUSB<n>, then ttyACM<n>, each by number), then on-board UARTs ttyS<n> whose
// `<sysClassTty>/ttyS<n>/type` names a real UART (not 0). No device is opened.
std::vector<std::string> AfScanSerialDevices(const std::string& devDir, const std::string& sysClassTty);

// The real path of `path` (symbolic links resolved); empty when it does not exist.
std::string AfRealPath(const std::string& path);

// The first line of a small sysfs attribute, without blanks around it; empty when there is none.
std::string AfSysfsAttribute(const std::string& path);

} // namespace vexora::serial::platform
