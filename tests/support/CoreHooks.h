// Test support: points inside a few comm platform calls where a test can stop a thread of the port
// core, so that one interleaving of the core's threads happens every time rather than now and
// then. The calls are wrapped at link time (core.cmake: --wrap), so the core runs unchanged:
// - WriteFile, before the device gets the write (the write thread starting a run);
// - SetEvent, before the event is set (a purger asking the write thread for its answer);
// - WaitForSingleObject with the purge's 2000 ms limit, on entry and after it returned;
// - EnterCriticalSection, when the section is held by another thread (before the caller waits);
// - CreateThread, which can be made to fail, and whose threads are counted while they run;
// - ClearCommError, whose calls are counted (the event thread's poll of the input queue).
//
//     coretest::gWriteStart.Watch({}, true);       // the next WriteFile of any thread stops
//     core.WriteData(...);
//     ASSERT_TRUE(coretest::gWriteStart.WaitStopped(2000));
//     coretest::gWriteStart.Release();             // and lets it go on
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace coretest {

class THookPoint {
public:
    // From now on the calls of `Who` (of any thread when `Who` is the default id) are counted
    // here; with `Hold`, the next one stops until Release().
    void Watch(std::thread::id Who, bool Hold);
    // Waits until `Count` watched calls have come by, or until one is stopped here; false on
    // time-out.
    bool WaitReached(int Count, int TimeoutMs);
    bool WaitStopped(int TimeoutMs);
    // Lets a stopped call go on. With `HoldNext` the next watched call stops again; otherwise the
    // point stops watching.
    void Release(bool HoldNext = false);

    // Called by the wrapped function.
    void Pass();

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FWatching = false;
    std::thread::id FWho;
    bool FHold = false;
    bool FStopped = false;
    int FReached = 0;
};

extern THookPoint gWriteStart;
extern THookPoint gSetEvent;
extern THookPoint gPurgeWaitEntered;
extern THookPoint gPurgeWaitReturned;
extern THookPoint gLockBusy;

// The CreateThread call after the next `Succeeding` ones fails, once.
void FailThreadCreation(int Succeeding);
// Threads made by CreateThread whose function has not returned yet. Unlike the process's OS
// threads, it counts neither parked pool threads nor the driver's own.
int ThreadsRunning();

// ClearCommError calls of every thread so far.
int ComStatCalls();

} // namespace coretest
