// How the machine's own serial devices are found: numbered device entries, and the UARTs that
// really exist as sysfs tells them.
#include "ports/AfMachinePorts_p.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>

namespace vexora::serial::platform {

namespace {

// The names of the machine's serial devices: USB adapters, ACM devices and UARTs.
constexpr const char* kSerialDevicePrefixes[] = {"ttyUSB", "ttyACM", "ttyS"};

// Whether `name` is `prefix` followed by up to nine digits.
bool IsNumbered(const std::string& name, const std::string& prefix)
{
    if (!name.starts_with(prefix) || name.size() == prefix.size() || name.size() > prefix.size() + 9)
        return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

bool IsUart(const std::string& sysClassTty, const std::string& name)
{
    std::ifstream type(sysClassTty + "/" + name + "/type");
    long value = 0;
    return type >> value && value != 0;
}

} // namespace

std::vector<long> AfNumberedEntries(const std::string& dir, const std::string& prefix)
{
    std::vector<long> numbers;
    DIR* folder = ::opendir(dir.c_str());
    if (!folder)
        return numbers;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (IsNumbered(name, prefix))
            numbers.push_back(std::stol(name.substr(prefix.size())));
    }
    ::closedir(folder);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool AfIsSerialDeviceName(const std::string& name)
{
    return std::any_of(std::begin(kSerialDevicePrefixes), std::end(kSerialDevicePrefixes),
                       [&name](const char* prefix) { return IsNumbered(name, prefix); });
}

std::vector<std::string> AfScanSerialDevices(const std::string& devDir, const std::string& sysClassTty)
{
    std::vector<std::string> devices;
    for (const char* prefix : {"ttyUSB", "ttyACM"})
        for (long number : AfNumberedEntries(devDir, prefix))
            devices.push_back(devDir + "/" + prefix + std::to_string(number));
    for (long number : AfNumberedEntries(devDir, "ttyS")) {
        const std::string name = "ttyS" + std::to_string(number);
        if (IsUart(sysClassTty, name))
            devices.push_back(devDir + "/" + name);
    }
    return devices;
}

std::string AfRealPath(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return {};
    std::string result = real;
    ::free(real);
    return result;
}

std::string AfSysfsAttribute(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
}

} // namespace vexora::serial::platform
