#include "AfComMapping.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "AfMachinePorts.h"

namespace {

// The numbers n of the entries `<prefix><n>` of a folder, in ascending order.
std::vector<long> NumberedEntries(const std::string& dir, const std::string& prefix)
{
    std::vector<long> numbers;
    DIR* folder = ::opendir(dir.c_str());
    if (!folder)
        return numbers;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (!name.starts_with(prefix) || name.size() == prefix.size() || name.size() > prefix.size() + 9)
            continue;
        const std::string digits = name.substr(prefix.size());
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        numbers.push_back(std::stol(digits));
    }
    ::closedir(folder);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool IsUart(const std::string& sysClassTty, const std::string& name)
{
    std::ifstream type(sysClassTty + "/" + name + "/type");
    long value = 0;
    return type >> value && value != 0;
}

// The program's own assignments (AssignComPort), under their lock.
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

std::vector<std::string> AfScanSerialDevices(const std::string& devDir, const std::string& sysClassTty)
{
    std::vector<std::string> devices;
    for (const char* prefix : {"ttyUSB", "ttyACM"})
        for (long number : NumberedEntries(devDir, prefix))
            devices.push_back(devDir + "/" + prefix + std::to_string(number));
    for (long number : NumberedEntries(devDir, "ttyS")) {
        const std::string name = "ttyS" + std::to_string(number);
        if (IsUart(sysClassTty, name))
            devices.push_back(devDir + "/" + name);
    }
    return devices;
}

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
        return target.front() == '/' ? target : dir + "/" + target;
    }
    const auto devices = MachineSerialDevices();
    if (static_cast<std::size_t>(number) <= devices.size())
        return devices[static_cast<std::size_t>(number) - 1];
    return {};
}
