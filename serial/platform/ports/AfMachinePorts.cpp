// How the machine's own serial devices are found: numbered device entries, and the UARTs that
// really exist as sysfs tells them.
#include "ports/AfMachinePorts_p.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>

namespace vexora::serial::platform {

namespace {

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

} // namespace vexora::serial::platform
