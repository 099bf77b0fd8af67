#include <vexora/serial/platform/AfComMapping.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "ports/AfComNumbers_p.h"
#include "ports/AfMachinePorts_p.h"
#include "ports/AfNetAddress_p.h"

namespace vexora::serial::platform {

namespace {

// The program's own assignments (AssignComPort, AfComNumberForDevice), under their lock.
std::mutex g_assignedLock;
std::map<int, std::string> g_assigned;

// The device assigned to COM `number`, or an empty string.
std::string AssignedDevice(int number)
{
    std::lock_guard guard(g_assignedLock);
    const auto found = g_assigned.find(number);
    return found == g_assigned.end() ? std::string() : found->second;
}

// The port directory if it may name devices, else empty after a line on standard error (once
// for each directory).
std::string TrustedPortDirectory()
{
    std::string dir = ComPortDirectory();
    const std::string problem = AfPortDirectoryProblem(dir);
    if (problem.empty())
        return dir;
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard guard(lock);
    if (told.insert(dir).second)
        std::fprintf(stderr, "vexora: the port directory %s is ignored: %s\n", dir.c_str(), problem.c_str());
    return {};
}

} // namespace

std::string ComPortDirectory()
{
    if (const char* dir = std::getenv("VEXORA_PORT_DIR"); dir && *dir)
        return dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/vexora-ports";
    return "/tmp/vexora-ports-" + std::to_string(::getuid());
}

std::string AfPortDirectoryProblem(const std::string& dir)
{
    // A trailing slash would make lstat follow a link.
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::string()
                               : "it cannot be checked (" + std::generic_category().message(errno) + ")";
    if (S_ISLNK(info.st_mode))
        return "it is a symbolic link";
    if (!S_ISDIR(info.st_mode))
        return "it is not a directory";
    if (info.st_uid != ::geteuid())
        return "it belongs to user " + std::to_string(info.st_uid) + ", not to this user (" +
               std::to_string(::geteuid()) + ")";
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return std::string("its group or other users may write to it (mode ") + mode + ")";
    }
    return {};
}

bool AfIsNetworkPort(const std::string& device)
{
    return AfNetPortScheme(device) != nullptr;
}

bool MachinePortsEnabled()
{
    const char* value = std::getenv("VEXORA_MACHINE_PORTS");
    return !value || std::string(value) != "0";
}

std::vector<std::string> MachineSerialDevices()
{
    if (!MachinePortsEnabled())
        return {};
    return AfScanSerialDevices("/dev", "/sys/class/tty");
}

bool AssignComPort(int number, const std::string& devicePath)
{
    if (number <= 0)
        return false;
    std::lock_guard guard(g_assignedLock);
    if (devicePath.empty())
        g_assigned.erase(number);
    else
        g_assigned[number] = devicePath;
    return true;
}

std::string ComPortDevicePath(int number)
{
    if (number <= 0)
        return {};
    if (std::string assigned = AssignedDevice(number); !assigned.empty())
        return assigned;
    const std::string dir = TrustedPortDirectory();
    const std::string entry = dir + "/COM" + std::to_string(number);
    struct stat info {};
    if (!dir.empty() && ::lstat(entry.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode))
            return entry;
        // The link's target names the device; it may be a registered device that is no file.
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(entry.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
            return entry;
        target.resize(static_cast<std::size_t>(length));
        return target.front() == '/' || AfIsNetworkPort(target) ? target : dir + "/" + target;
    }
    const auto machine = AfMachineComPorts();
    const auto found = machine.find(number);
    return found == machine.end() ? std::string() : found->second;
}

// ---- what a COM number is

namespace {

std::string LinkTarget(const std::string& path)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
        return {};
    target.resize(static_cast<std::size_t>(length));
    return target;
}

std::string BaseName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// The group that may use `device` when this user may not; empty otherwise.
std::string AccessGroup(const std::string& device)
{
    if (::access(device.c_str(), R_OK | W_OK) == 0 || errno != EACCES)
        return {};
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0)
        return {};
    std::string buffer(16384, '\0');
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(info.st_gid);
}

// The sysfs devices from the tty's own device up to the top of the tree: its driver (the first
// one above the kernel's generic serial port layer, which every UART has) and, for a USB adapter,
// the USB device's own description.
void DescribeFromSysfs(const std::string& name, const std::string& sysRoot, AfComPortInfo& info)
{
    const std::string top = AfRealPath(sysRoot);
    if (name.empty() || top.empty())
        return;
    for (std::string dir = AfRealPath(sysRoot + "/class/tty/" + name + "/device");
         dir.size() > top.size() && dir.starts_with(top + "/"); dir.resize(dir.find_last_of('/'))) {
        if (info.Driver.empty()) {
            const std::string driver = LinkTarget(dir + "/driver");
            if (!driver.empty() && driver.find("bus/serial-base/") == std::string::npos)
                info.Driver = BaseName(driver);
        }
        if (const std::string vendor = AfSysfsAttribute(dir + "/idVendor"); !vendor.empty()) {
            info.Manufacturer = AfSysfsAttribute(dir + "/manufacturer");
            info.Product = AfSysfsAttribute(dir + "/product");
            info.SerialNumber = AfSysfsAttribute(dir + "/serial");
            info.UsbId = vendor + ":" + AfSysfsAttribute(dir + "/idProduct");
            return;
        }
    }
}

// Every COM number that names a device now: the machine's devices, the port directory's entries
// and the numbers this process assigned.
std::set<int> MappedComNumbers()
{
    std::set<int> numbers;
    for (const auto& entry : AfMachineComPorts())
        numbers.insert(entry.first);
    if (const std::string dir = TrustedPortDirectory(); !dir.empty())
        for (const long number : AfNumberedEntries(dir, "COM"))
            if (number > 0 && number <= INT_MAX)
                numbers.insert(static_cast<int>(number));
    std::lock_guard guard(g_assignedLock);
    for (const auto& entry : g_assigned)
        numbers.insert(entry.first);
    return numbers;
}

} // namespace

AfComPortInfo AfDescribeSerialDevice(const std::string& device, const std::string& sysRoot)
{
    AfComPortInfo info;
    info.Device = device;
    if (AfIsNetworkPort(device)) {
        info.Problem = AfNetPortProblem(device);
        return info;
    }
    std::string real = AfRealPath(device);
    if (real.empty())
        real = device;
    // Pseudo-terminals have no device in sysfs.
    if (real.starts_with("/dev/pts/"))
        info.Driver = "pseudo-terminal";
    else
        DescribeFromSysfs(BaseName(real), sysRoot, info);
    info.AccessGroup = AccessGroup(real);
    return info;
}

std::vector<AfComPortInfo> AfListComPorts(const std::string& sysRoot)
{
    std::vector<AfComPortInfo> ports;
    for (const int number : MappedComNumbers()) {
        const std::string device = ComPortDevicePath(number);
        struct stat info {};
        // An entry left behind by a program that has gone names no device; a network port's address
        // is no file.
        if (device.empty() || (!AfIsNetworkPort(device) && ::stat(device.c_str(), &info) != 0))
            continue;
        ports.push_back(AfDescribeSerialDevice(device, sysRoot));
        ports.back().Number = number;
    }
    return ports;
}

std::string AfComPortSummary(const AfComPortInfo& info)
{
    std::string summary = info.Device;
    const auto add = [&summary](const std::string& part) {
        if (!part.empty())
            summary += ", " + part;
    };
    add(info.Driver);
    // Many adapters repeat their maker in their product name.
    std::string adapter = info.Product;
    if (!info.Product.starts_with(info.Manufacturer))
        adapter = info.Manufacturer + (info.Product.empty() ? "" : " " + info.Product);
    if (!info.UsbId.empty())
        adapter = adapter.empty() ? "USB " + info.UsbId : adapter + " (" + info.UsbId + ")";
    add(adapter);
    if (!info.SerialNumber.empty())
        add("serial " + info.SerialNumber);
    return summary;
}

std::string AfComPortAccessNote(const AfComPortInfo& info)
{
    if (info.AccessGroup.empty())
        return {};
    return "this user may not open it: the group " + info.AccessGroup + " gives access";
}

int AfComNumberForDevice(const std::string& device)
{
    // A network port's address is compared as it is written, and never looked up as a path.
    const bool network = AfIsNetworkPort(device);
    AfNetAddress address;
    if (network && !AfParseNetAddress(device, address))
        return 0;
    const std::string real = network ? device : AfRealPath(device);
    if (real.empty())
        return 0;
    const std::set<int> numbers = MappedComNumbers();
    for (const int number : numbers) {
        const std::string mapped = ComPortDevicePath(number);
        if (AfIsNetworkPort(mapped) == network && (network ? mapped : AfRealPath(mapped)) == real)
            return number;
    }
    std::lock_guard guard(g_assignedLock);
    // Above another thread's assignment made meanwhile too.
    int number = numbers.empty() ? 1 : *numbers.rbegin() + 1;
    if (!g_assigned.empty())
        number = std::max(number, g_assigned.rbegin()->first + 1);
    g_assigned[number] = device;
    return number;
}

} // namespace vexora::serial::platform
