// Inside the comm platform: what the sync objects share with the thread code, and the result
// that the public header does not name.
#pragma once

#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial::platform {

// ReleaseMutex by a thread that does not own the mutex.
inline constexpr DWORD ERROR_NOT_OWNER = 288;

// Gives up every mutex the calling thread still owns: the next wait on each reports
// WAIT_ABANDONED. Runs when a thread ends.
void AfAbandonOwnedMutexes();

} // namespace vexora::serial::platform
