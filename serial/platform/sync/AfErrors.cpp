// The last error of the calling thread.
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial::platform {

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError()
{
    return t_lastError;
}

void SetLastError(DWORD error)
{
    t_lastError = error;
}

} // namespace vexora::serial::platform
