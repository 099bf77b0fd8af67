/// \file
/// Small helpers of the serial component: handle release and a scoped critical section.
#pragma once

#include <vexora/serial/AfExport.h>
#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial {

/// Closes the handle held in `handle` unless it holds INVALID_HANDLE_VALUE, and sets the variable
/// to INVALID_HANDLE_VALUE when the close succeeded. Returns whether it closed the handle. Costs
/// what CloseHandle costs (for a comm handle: the end of its pending operations).
VEXORA_SERIAL_API bool DisposeHandle(platform::HANDLE& handle);

/// Holds a critical section for one scope, also when the scope is left by an exception.
class VEXORA_SERIAL_API TAfSectionGuard {
public:
    /// Enters `Section`, waiting without limit.
    explicit TAfSectionGuard(platform::CRITICAL_SECTION& Section);
    /// Leaves the section.
    ~TAfSectionGuard();
    TAfSectionGuard(const TAfSectionGuard&) = delete;
    TAfSectionGuard& operator=(const TAfSectionGuard&) = delete;

private:
    platform::CRITICAL_SECTION& FSection;
};

} // namespace vexora::serial
