// Inside the comm platform: a terminal device (serial adapter, on-board UART, pseudo-terminal)
// as the backend of a comm handle.
#pragma once

#include <memory>
#include <string>

#include "comm/AfCommBackend_p.h"

namespace vexora::serial::platform {

// Opens the terminal at `path` exclusively (a lock on the device plus the terminal's exclusive
// mode, so that also a privileged second opener is refused) and puts it into raw mode. On failure
// returns null and sets `error`: ERROR_FILE_NOT_FOUND when there is no such device or it is not a
// terminal, ERROR_ACCESS_DENIED when it is busy or not permitted, ERROR_GEN_FAILURE otherwise.
std::unique_ptr<AfCommBackend> AfOpenTty(const std::string& path, DWORD& error);

} // namespace vexora::serial::platform
