// Events, unnamed mutexes and the waits on events, mutexes and threads.
#include <algorithm>
#include <array>
#include <chrono>
#include <memory>

#include "AfSyncObjects.h"
#include "AfWaitable.h"
#include "AfWin.h"

std::mutex& AfSyncMutex()
{
    // Never destroyed: threads may still signal or wait while the process ends.
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

void AfWaitable::AddWaiter(AfWaiter* waiter)
{
    waiters_.push_back(waiter);
}

void AfWaitable::RemoveWaiter(AfWaiter* waiter)
{
    const auto found = std::find(waiters_.begin(), waiters_.end(), waiter);
    if (found != waiters_.end())
        waiters_.erase(found);
}

void AfWaitable::WakeWaiters()
{
    for (AfWaiter* waiter : waiters_)
        waiter->wake.notify_one();
}

void AfWaitable::Closed()
{
    std::lock_guard guard(AfSyncMutex());
    closed_ = true;
    WakeWaiters();
}

namespace {

bool IsUnnamed(LPCSTR name)
{
    return name == nullptr || *name == '\0';
}

class AfEvent final : public AfWaitable {
public:
    AfEvent(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

    bool Signalled(DWORD) const override { return signalled_; }
    bool Acquire(DWORD) override
    {
        if (!manualReset_)
            signalled_ = false;
        return false;
    }

    void Set()
    {
        std::lock_guard guard(AfSyncMutex());
        signalled_ = true;
        WakeWaiters();
    }
    void Reset()
    {
        std::lock_guard guard(AfSyncMutex());
        signalled_ = false;
    }

private:
    const bool manualReset_;
    bool signalled_;
};

class AfMutex;

// The mutexes the calling thread owns, so that they can be abandoned when it ends.
struct OwnedMutexes {
    std::vector<std::weak_ptr<AfMutex>> mutexes;
    ~OwnedMutexes() { AfAbandonOwnedMutexes(); }
};
thread_local OwnedMutexes t_owned;

class AfMutex final : public AfWaitable, public std::enable_shared_from_this<AfMutex> {
public:
    bool Signalled(DWORD threadId) const override { return owner_ == 0 || owner_ == threadId; }
    bool Acquire(DWORD threadId) override
    {
        if (owner_ != threadId) {
            owner_ = threadId;
            t_owned.mutexes.push_back(weak_from_this());
        }
        ++count_;
        const bool abandoned = abandoned_;
        abandoned_ = false;
        return abandoned;
    }

    bool Release(DWORD threadId)
    {
        std::lock_guard guard(AfSyncMutex());
        if (owner_ != threadId || count_ == 0)
            return false;
        if (--count_ == 0) {
            owner_ = 0;
            Forget();
            WakeWaiters();
        }
        return true;
    }

    // The owning thread ends. Caller holds the lock.
    void Abandon(DWORD threadId)
    {
        if (owner_ != threadId)
            return;
        owner_ = 0;
        count_ = 0;
        abandoned_ = true;
        WakeWaiters();
    }

private:
    void Forget()
    {
        auto& list = t_owned.mutexes;
        const auto self = weak_from_this();
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::weak_ptr<AfMutex>& m) {
                                      return !m.owner_before(self) && !self.owner_before(m);
                                  }),
                   list.end());
    }

    DWORD owner_ = 0;
    DWORD count_ = 0;
    bool abandoned_ = false;
};

struct WaitSet {
    std::array<std::shared_ptr<AfWaitable>, MAXIMUM_WAIT_OBJECTS> objects;
    DWORD count = 0;
};

DWORD FailWait(DWORD error)
{
    SetLastError(error);
    return WAIT_FAILED;
}

// Looks at the objects once. Returns the wait's result, or WAIT_TIMEOUT when it is not satisfied
// yet. Caller holds the lock.
DWORD TryToSatisfy(WaitSet& set, bool waitAll, DWORD threadId)
{
    for (DWORD i = 0; i < set.count; ++i) {
        if (set.objects[i]->IsClosed())
            return FailWait(ERROR_INVALID_HANDLE);
    }
    if (!waitAll) {
        for (DWORD i = 0; i < set.count; ++i) {
            if (set.objects[i]->Signalled(threadId))
                return (set.objects[i]->Acquire(threadId) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
        }
        return WAIT_TIMEOUT;
    }
    for (DWORD i = 0; i < set.count; ++i) {
        if (!set.objects[i]->Signalled(threadId))
            return WAIT_TIMEOUT;
    }
    DWORD result = WAIT_OBJECT_0;
    for (DWORD i = 0; i < set.count; ++i) {
        if (set.objects[i]->Acquire(threadId) && result == WAIT_OBJECT_0)
            result = WAIT_ABANDONED_0 + i;
    }
    return result;
}

DWORD Wait(WaitSet& set, bool waitAll, DWORD milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const DWORD threadId = GetCurrentThreadId();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    AfWaiter waiter;
    bool registered = false;
    bool timedOut = false;

    std::unique_lock lock(AfSyncMutex());
    DWORD result;
    for (;;) {
        // A signal that came while the lock was dropped woke nobody: look again from the start.
        for (bool dropped = true; dropped;) {
            dropped = false;
            for (DWORD i = 0; i < set.count; ++i)
                dropped = set.objects[i]->Settle(lock) || dropped;
        }
        result = TryToSatisfy(set, waitAll, threadId);
        if (result != WAIT_TIMEOUT || milliseconds == 0 || timedOut)
            break;
        if (!registered) {
            for (DWORD i = 0; i < set.count; ++i)
                set.objects[i]->AddWaiter(&waiter);
            registered = true;
        }
        if (milliseconds == INFINITE)
            waiter.wake.wait(lock);
        else
            timedOut = waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout;
    }
    if (registered) {
        for (DWORD i = 0; i < set.count; ++i)
            set.objects[i]->RemoveWaiter(&waiter);
    }
    return result;
}

} // namespace

void AfAbandonOwnedMutexes()
{
    std::vector<std::weak_ptr<AfMutex>> owned;
    owned.swap(t_owned.mutexes);
    if (owned.empty())
        return;
    const DWORD threadId = GetCurrentThreadId();
    std::lock_guard guard(AfSyncMutex());
    for (const auto& weak : owned) {
        if (const auto mutex = weak.lock())
            mutex->Abandon(threadId);
    }
}

HANDLE CreateEventA(LPVOID, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (!IsUnnamed(name)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return AfNewHandle(std::make_shared<AfEvent>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event)
{
    const auto object = AfLookup<AfEvent>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    const auto object = AfLookup<AfEvent>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}

HANDLE CreateMutexA(LPVOID, BOOL initialOwner, LPCSTR name)
{
    if (!IsUnnamed(name)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto mutex = std::make_shared<AfMutex>();
    if (initialOwner) {
        std::lock_guard guard(AfSyncMutex());
        mutex->Acquire(GetCurrentThreadId());
    }
    return AfNewHandle(std::move(mutex));
}

BOOL ReleaseMutex(HANDLE mutex)
{
    const auto object = AfLookup<AfMutex>(mutex);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!object->Release(GetCurrentThreadId())) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr)
        return FailWait(ERROR_INVALID_PARAMETER);
    WaitSet set;
    for (DWORD i = 0; i < count; ++i) {
        set.objects[i] = AfLookup<AfWaitable>(handles[i]);
        if (!set.objects[i])
            return FailWait(ERROR_INVALID_HANDLE);
        // Waiting for all of several objects must not count one object twice.
        if (waitAll) {
            for (DWORD j = 0; j < i; ++j) {
                if (set.objects[j] == set.objects[i])
                    return FailWait(ERROR_INVALID_PARAMETER);
            }
        }
    }
    set.count = count;
    return Wait(set, waitAll != FALSE, milliseconds);
}
