#include <vexora/serial/AfUtils.h>

#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

bool DisposeHandle(HANDLE& handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (!CloseHandle(handle))
        return false;
    handle = INVALID_HANDLE_VALUE;
    return true;
}

TAfSectionGuard::TAfSectionGuard(CRITICAL_SECTION& Section) : FSection(Section)
{
    EnterCriticalSection(&FSection);
}

TAfSectionGuard::~TAfSectionGuard()
{
    LeaveCriticalSection(&FSection);
}

} // namespace vexora::serial
