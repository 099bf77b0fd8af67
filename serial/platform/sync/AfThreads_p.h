// Inside the comm platform: what the thread code keeps for the platform's own use and its tests:
// thread ids as CreateThread hands them out, the result that the public header does not name, and
// the pool of parked OS threads.
#pragma once

#include <cstddef>

#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial::platform {

// GetThreadPriority on a handle that is not a thread.
inline constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// Thread ids: every thread gets one on first use of GetCurrentThreadId; a thread made by
// CreateThread gets its id at creation (so the creator can report it) and adopts it at start.
DWORD AfNewThreadId();
void AfAdoptThreadId(DWORD threadId);

// OS threads parked for the next CreateThread (they count among the process's tasks).
std::size_t AfParkedThreads();

} // namespace vexora::serial::platform
