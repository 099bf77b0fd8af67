// Inside the comm platform: the registry of device kinds other than terminals. CreateFileA opens a
// path that begins with a registered prefix through that prefix's factory instead of as a
// terminal; tests register their in-process devices here. Any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "comm/AfCommBackend_p.h"

namespace vexora::serial::platform {

// Opens the device at `path`; on failure returns null and sets `error` (ERROR_FILE_NOT_FOUND when
// there is no such device, another error when it exists but cannot be opened).
using AfCommBackendFactory =
    std::function<std::unique_ptr<AfCommBackend>(const std::string& path, DWORD& error)>;

// Paths beginning with `prefix` are opened through `factory` instead of as terminals. Registering
// the same prefix again replaces the factory.
void AfRegisterCommDevices(const std::string& prefix, AfCommBackendFactory factory);
void AfUnregisterCommDevices(const std::string& prefix);

// The factory registered for `path`, or an empty one.
AfCommBackendFactory AfFindCommDevices(const std::string& path);

} // namespace vexora::serial::platform
