// Inside the comm platform: what the sync objects share with the thread code, and the results
// that the public header does not name.
#pragma once

#include <cstddef>

#include "AfWinTypes.h"

// ReleaseMutex by a thread that does not own the mutex.
inline constexpr DWORD ERROR_NOT_OWNER = 288;
// GetThreadPriority on a handle that is not a thread.
inline constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// Thread ids: every thread gets one on first use of GetCurrentThreadId; a thread made by
// CreateThread gets its id at creation (so the creator can report it) and adopts it at start.
DWORD AfNewThreadId();
void AfAdoptThreadId(DWORD threadId);

// Gives up every mutex the calling thread still owns: the next wait on each reports
// WAIT_ABANDONED. Runs when a thread ends.
void AfAbandonOwnedMutexes();

// OS threads parked for the next CreateThread (they count among the process's tasks).
std::size_t AfParkedThreads();
