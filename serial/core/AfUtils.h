// Small helpers of the serial component: handle release and a scoped critical section.
#pragma once

#include "platform/AfWin.h"

// Closes the handle held in `handle` unless it holds INVALID_HANDLE_VALUE, and sets the variable
// to INVALID_HANDLE_VALUE when the close succeeded. Returns whether it closed the handle.
inline bool DisposeHandle(HANDLE& handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (!CloseHandle(handle))
        return false;
    handle = INVALID_HANDLE_VALUE;
    return true;
}

// Holds a critical section for one scope.
class TAfSectionGuard {
public:
    explicit TAfSectionGuard(CRITICAL_SECTION& Section) : FSection(Section)
    {
        EnterCriticalSection(&FSection);
    }
    ~TAfSectionGuard() { LeaveCriticalSection(&FSection); }
    TAfSectionGuard(const TAfSectionGuard&) = delete;
    TAfSectionGuard& operator=(const TAfSectionGuard&) = delete;

private:
    CRITICAL_SECTION& FSection;
};
