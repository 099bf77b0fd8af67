// Inside the comm platform: objects that a wait can be satisfied by (events, mutexes, threads).
// All their state is guarded by one process-wide lock, so that a wait on several objects sees
// one consistent picture and never misses a signal between looking and sleeping. A waiting
// thread sleeps on a condition variable of its own, which the objects it waits for notify.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "AfHandles.h"
#include "AfWinTypes.h"

// The lock that guards the state of every waitable object.
std::mutex& AfSyncMutex();

// One sleeping wait. Lives on the waiting thread's stack while it is registered with objects.
struct AfWaiter {
    std::condition_variable wake;
};

class AfWaitable : public AfHandleObject {
public:
    // ---- everything below requires AfSyncMutex() to be held ----
    // Whether a wait by thread `threadId` would be satisfied now.
    virtual bool Signalled(DWORD threadId) const = 0;
    // A wait by `threadId` was satisfied by this object: an auto-reset event clears, a mutex
    // is taken. Returns true when the object was an abandoned mutex.
    virtual bool Acquire(DWORD threadId) = 0;

    // Called by a wait before it looks at the object; may drop `lock` for a moment to bring the
    // object's state up to date (a thread that has returned is joined here). Returns whether it
    // dropped the lock, in which case the wait must look at all its objects afresh.
    virtual bool Settle(std::unique_lock<std::mutex>& lock)
    {
        (void)lock;
        return false;
    }

    bool IsClosed() const { return closed_; }
    void AddWaiter(AfWaiter* waiter);
    void RemoveWaiter(AfWaiter* waiter);

    // Takes AfSyncMutex() itself: once its handle is closed, a wait still running on the object
    // ends with WAIT_FAILED and ERROR_INVALID_HANDLE instead of waiting for a signal nobody can
    // send any more.
    void Closed() override;

protected:
    // Wakes every thread waiting on this object so it looks again. Caller holds the lock.
    void WakeWaiters();

private:
    std::vector<AfWaiter*> waiters_;
    bool closed_ = false;
};
