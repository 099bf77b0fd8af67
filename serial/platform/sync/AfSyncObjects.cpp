// Events, unnamed mutexes and the waits on events, mutexes and threads.
#include <vexora/serial/platform/AfWin.h>

#include "sync/AfSyncObjects_p.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <memory>
#include <new>

#include "sync/AfWaitable_p.h"

namespace vexora::serial::platform {

namespace {

bool IsUnnamed(LPCSTR name)
{
    return name == nullptr || *name == '\0';
}

class AfMutex;

// The mutexes the calling thread owns, so that they can be abandoned when it ends.
struct OwnedMutexes {
    std::vector<std::weak_ptr<AfMutex>> mutexes;
    ~OwnedMutexes() { AfAbandonOwnedMutexes(); }
};
thread_local OwnedMutexes t_owned;

class AfMutex final : public AfWaitable, public std::enable_shared_from_this<AfMutex> {
public:
    static constexpr unsigned kKind = kAfMutex;
    AfMutex() : AfWaitable(kAfMutex) {}

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
        std::lock_guard guard(Lock());
        if (owner_ != threadId || count_ == 0)
            return false;
        if (--count_ == 0) {
            owner_ = 0;
            Forget();
            WakeWaiters();
        }
        return true;
    }

    // The owning thread ends.
    void Abandon(DWORD threadId)
    {
        std::lock_guard guard(Lock());
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

// Up to MAXIMUM_WAIT_OBJECTS shared references, of which only those in use are made and
// destroyed: a wait names a few objects, and this is on the path of every wait.
template <class T> class Refs {
public:
    Refs() = default;
    ~Refs() { Clear(); }
    Refs(const Refs&) = delete;
    Refs& operator=(const Refs&) = delete;

    std::shared_ptr<T>& operator[](DWORD i) { return begin()[i]; }
    std::shared_ptr<T>* begin() { return std::launder(reinterpret_cast<std::shared_ptr<T>*>(storage_)); }
    std::shared_ptr<T>* end() { return begin() + size_; }
    void Push(std::shared_ptr<T> value)
    {
        ::new (static_cast<void*>(storage_ + size_ * sizeof(std::shared_ptr<T>)))
            std::shared_ptr<T>(std::move(value));
        ++size_;
    }
    void Clear()
    {
        while (size_ > 0)
            begin()[--size_].~shared_ptr();
    }

private:
    alignas(std::shared_ptr<T>) unsigned char storage_[MAXIMUM_WAIT_OBJECTS * sizeof(std::shared_ptr<T>)];
    DWORD size_ = 0;
};

struct WaitSet {
    Refs<AfWaitable> objects;
    DWORD count = 0;
};

DWORD FailWait(DWORD error)
{
    SetLastError(error);
    return WAIT_FAILED;
}

// Looks at one object for a wait on any: WAIT_OBJECT_0 (or WAIT_ABANDONED_0) when it satisfied
// the wait, WAIT_TIMEOUT when not, WAIT_FAILED when its handle was closed.
DWORD TryOne(AfWaitable& object, DWORD threadId)
{
    std::lock_guard guard(object.Lock());
    if (object.IsClosed())
        return FailWait(ERROR_INVALID_HANDLE);
    if (!object.Signalled(threadId))
        return WAIT_TIMEOUT;
    return object.Acquire(threadId) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
}

// Looks at all objects at once, holding every object's lock (taken in address order, so that
// two such waits cannot hold each other up).
DWORD TryAll(WaitSet& set, DWORD threadId)
{
    std::array<AfWaitable*, MAXIMUM_WAIT_OBJECTS> order;
    for (DWORD i = 0; i < set.count; ++i)
        order[i] = set.objects[i].get();
    std::sort(order.begin(), order.begin() + set.count);
    for (DWORD i = 0; i < set.count; ++i)
        order[i]->Lock().lock();
    DWORD result = WAIT_OBJECT_0;
    for (DWORD i = 0; i < set.count && result == WAIT_OBJECT_0; ++i) {
        if (set.objects[i]->IsClosed())
            result = FailWait(ERROR_INVALID_HANDLE);
        else if (!set.objects[i]->Signalled(threadId))
            result = WAIT_TIMEOUT;
    }
    if (result == WAIT_OBJECT_0) {
        for (DWORD i = 0; i < set.count; ++i) {
            if (set.objects[i]->Acquire(threadId) && result == WAIT_OBJECT_0)
                result = WAIT_ABANDONED_0 + i;
        }
    }
    for (DWORD i = set.count; i > 0; --i)
        order[i - 1]->Lock().unlock();
    return result;
}

// Looks at the objects once. Returns the wait's result, or WAIT_TIMEOUT when it is not satisfied
// yet.
DWORD TryToSatisfy(WaitSet& set, bool waitAll, DWORD threadId)
{
    for (DWORD i = 0; i < set.count; ++i)
        set.objects[i]->Settle();
    if (waitAll)
        return TryAll(set, threadId);
    for (DWORD i = 0; i < set.count; ++i) {
        const DWORD result = TryOne(*set.objects[i], threadId);
        if (result == WAIT_FAILED)
            return result;
        if (result != WAIT_TIMEOUT)
            return result + i;
    }
    return WAIT_TIMEOUT;
}

void Register(WaitSet& set, AfParker* parker, bool add)
{
    for (DWORD i = 0; i < set.count; ++i) {
        std::lock_guard guard(set.objects[i]->Lock());
        if (add)
            set.objects[i]->AddWaiter(parker);
        else
            set.objects[i]->RemoveWaiter(parker);
    }
}

// The devices that the objects ask to be watched, each once, with their descriptors.
struct Watched {
    Refs<AfWaitSource> sources;
    std::array<pollfd, MAXIMUM_WAIT_OBJECTS + 1> fds; // fds[0] is the parker's
    int count = 0;
};

void CollectSources(WaitSet& set, Watched& watched)
{
    watched.count = 0;
    watched.sources.Clear();
    for (DWORD i = 0; i < set.count; ++i) {
        std::shared_ptr<AfWaitSource> source;
        {
            std::lock_guard guard(set.objects[i]->Lock());
            source = set.objects[i]->Source();
        }
        if (!source)
            continue;
        if (std::find(watched.sources.begin(), watched.sources.end(), source) != watched.sources.end())
            continue;
        int fd = -1;
        short events = 0;
        if (!source->WatchFd(fd, events))
            continue;
        watched.sources.Push(std::move(source));
        watched.fds[++watched.count] = {fd, events, 0};
    }
}

DWORD Wait(WaitSet& set, bool waitAll, DWORD milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const DWORD threadId = GetCurrentThreadId();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    Watched watched;

    DWORD result = TryToSatisfy(set, waitAll, threadId);
    if (result != WAIT_TIMEOUT)
        return result;
    if (milliseconds == 0) {
        // A device may have what satisfies the wait already; a longer wait sees it in its poll.
        CollectSources(set, watched);
        if (watched.count == 0)
            return result;
        for (int i = 0; i < watched.count; ++i)
            watched.sources[i]->Serve();
        return TryToSatisfy(set, waitAll, threadId);
    }

    AfParker& parker = AfParker::Current();
    parker.Clear();
    Register(set, &parker, true);
    for (;;) {
        // Registered first, looked at second: a signal in between wakes the sleep below.
        result = TryToSatisfy(set, waitAll, threadId);
        if (result != WAIT_TIMEOUT)
            break;
        int timeout = -1;
        if (milliseconds != INFINITE) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        CollectSources(set, watched);
        if (!parker.Sleep(timeout, watched.fds.data(), watched.count)) {
            result = FailWait(ERROR_NOT_ENOUGH_MEMORY);
            break;
        }
        for (int i = 0; i < watched.count; ++i) {
            if (watched.fds[i + 1].revents)
                watched.sources[i]->Serve();
        }
    }
    Register(set, &parker, false);
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
    return AfNewHandle(std::make_shared<AfEventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event)
{
    const auto object = AfLookup<AfEventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    const auto object = AfLookup<AfEventObject>(event);
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
        std::lock_guard guard(mutex->Lock());
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
        auto object = AfLookup<AfWaitable>(handles[i]);
        if (!object)
            return FailWait(ERROR_INVALID_HANDLE);
        set.objects.Push(std::move(object));
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

} // namespace vexora::serial::platform
