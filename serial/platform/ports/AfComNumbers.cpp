// COM numbers that stay with the machine's serial devices: identities from sysfs, and the
// process's table of the numbers given.
#include "ports/AfComNumbers_p.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>

#include <vexora/serial/platform/AfComMapping.h>

#include "ports/AfMachinePorts_p.h"

namespace vexora::serial::platform {

namespace {

std::string BaseName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// The identities of a tty below a USB device: by serial number, and by socket.
struct TUsbIdentities {
    std::string BySerial; // empty when the adapter reports no serial number
    std::string BySocket; // empty when the tty is no USB device's
};

TUsbIdentities UsbIdentities(const std::string& name, const std::string& sysRoot)
{
    TUsbIdentities found;
    const std::string top = AfRealPath(sysRoot);
    const std::string device = AfRealPath(sysRoot + "/class/tty/" + name + "/device");
    if (top.empty() || device.empty())
        return found;
    // A port of a multi-port adapter that has one interface for all its ports.
    std::string where = AfSysfsAttribute(device + "/port_number");
    for (std::string dir = device; dir.size() > top.size() && dir.starts_with(top + "/");
         dir.resize(dir.find_last_of('/'))) {
        if (const std::string interface = AfSysfsAttribute(dir + "/bInterfaceNumber"); !interface.empty()) {
            where = interface + (where.empty() ? "" : "." + where);
            continue;
        }
        const std::string vendor = AfSysfsAttribute(dir + "/idVendor");
        if (vendor.empty())
            continue;
        const std::string usbId = vendor + ":" + AfSysfsAttribute(dir + "/idProduct");
        const std::string serial = AfSysfsAttribute(dir + "/serial");
        if (!serial.empty())
            found.BySerial = "usb " + usbId + " serial " + serial + " interface " + where;
        // The USB device's own name is its place on the bus: bus and port path.
        found.BySocket = "usb " + usbId + " socket " + BaseName(dir) + " interface " + where;
        return found;
    }
    return found;
}

} // namespace

std::string AfSerialDeviceIdentity(const std::string& name, const std::string& sysRoot)
{
    const TUsbIdentities usb = UsbIdentities(name, sysRoot);
    if (!usb.BySerial.empty())
        return usb.BySerial;
    return usb.BySocket.empty() ? "tty " + name : usb.BySocket;
}

std::vector<AfMachinePort> AfScanMachinePorts(const std::string& devDir, const std::string& sysRoot)
{
    std::vector<AfMachinePort> ports;
    std::set<std::string> taken;
    for (const std::string& device : AfScanSerialDevices(devDir, sysRoot + "/class/tty")) {
        const std::string name = BaseName(device);
        std::string identity = AfSerialDeviceIdentity(name, sysRoot);
        if (taken.count(identity)) {
            // Two adapters that report the same serial number: the second by its socket.
            const std::string bySocket = UsbIdentities(name, sysRoot).BySocket;
            identity = bySocket.empty() ? "tty " + name : bySocket;
        }
        taken.insert(identity);
        ports.push_back({device, identity});
    }
    return ports;
}

std::map<int, std::string> AfComNumberTable::Update(const std::vector<AfMachinePort>& present)
{
    std::map<int, std::string> byNumber;
    std::set<int> held;
    for (const auto& entry : numbers_)
        held.insert(entry.second);
    for (const AfMachinePort& port : present) {
        auto known = numbers_.find(port.Identity);
        if (known == numbers_.end()) {
            int number = 1;
            while (held.count(number))
                ++number;
            held.insert(number);
            known = numbers_.emplace(port.Identity, number).first;
        }
        byNumber[known->second] = port.Device;
    }
    return byNumber;
}

std::map<int, std::string> AfMachineComPorts()
{
    if (!MachinePortsEnabled())
        return {};
    const std::vector<AfMachinePort> present = AfScanMachinePorts("/dev", "/sys");
    static std::mutex lock;
    static AfComNumberTable table;
    std::lock_guard guard(lock);
    return table.Update(present);
}

} // namespace vexora::serial::platform
