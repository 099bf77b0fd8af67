/// \file
/// Small helpers of the serial component: handle release and a scoped critical section.
#pragma once

#include <vexora/serial/platform/AfWin.h>

/// Closes the handle held in `handle` unless it holds INVALID_HANDLE_VALUE, and sets the variable
/// to INVALID_HANDLE_VALUE when the close succeeded. Returns whether it closed the handle. Costs
/// what CloseHandle costs (for a comm handle: the end of its pending operations).
inline bool DisposeHandle(HANDLE& handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (!CloseHandle(handle))
        return false;
    handle = INVALID_HANDLE_VALUE;
    return true;
}

/// Holds a critical section for one scope, also when the scope is left by an exception.
class TAfSectionGuard {
public:
    /// Enters `Section`, waiting without limit.
    explicit TAfSectionGuard(CRITICAL_SECTION& Section) : FSection(Section)
    {
        EnterCriticalSection(&FSection);
    }
    /// Leaves the section.
    ~TAfSectionGuard() { LeaveCriticalSection(&FSection); }
    TAfSectionGuard(const TAfSectionGuard&) = delete;
    TAfSectionGuard& operator=(const TAfSectionGuard&) = delete;

private:
    CRITICAL_SECTION& FSection;
};
