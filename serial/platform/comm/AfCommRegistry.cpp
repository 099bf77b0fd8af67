// The registry of device kinds other than terminals, under its lock.
#include "comm/AfCommRegistry_p.h"

#include <mutex>
#include <utility>
#include <vector>

namespace vexora::serial::platform {

namespace {

struct Registration {
    std::string prefix;
    AfCommBackendFactory factory;
};

std::mutex& RegistryLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<Registration>& Registry()
{
    static std::vector<Registration> registry;
    return registry;
}

} // namespace

void AfRegisterCommDevices(const std::string& prefix, AfCommBackendFactory factory)
{
    std::lock_guard guard(RegistryLock());
    for (auto& entry : Registry()) {
        if (entry.prefix == prefix) {
            entry.factory = std::move(factory);
            return;
        }
    }
    Registry().push_back({prefix, std::move(factory)});
}

void AfUnregisterCommDevices(const std::string& prefix)
{
    std::lock_guard guard(RegistryLock());
    std::erase_if(Registry(), [&](const Registration& entry) { return entry.prefix == prefix; });
}

AfCommBackendFactory AfFindCommDevices(const std::string& path)
{
    if (path.empty())
        return {};
    std::lock_guard guard(RegistryLock());
    for (const auto& entry : Registry())
        if (!entry.prefix.empty() && path.starts_with(entry.prefix))
            return entry.factory;
    return {};
}

} // namespace vexora::serial::platform
