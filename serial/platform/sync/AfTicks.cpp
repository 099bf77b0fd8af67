// The millisecond tick count and Sleep.
#include <chrono>
#include <thread>

#include <vexora/serial/platform/AfWin.h>

#include "sync/AfTicks_p.h"

namespace vexora::serial::platform {

DWORD AfTicksFromMilliseconds(std::uint64_t milliseconds)
{
    return static_cast<DWORD>(milliseconds);
}

DWORD GetTickCount()
{
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return AfTicksFromMilliseconds(static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count()));
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace vexora::serial::platform
