// Inside the comm platform: objects that a wait can be satisfied by (events, mutexes, threads),
// and what a wait may watch besides them (a device).
//
// Each object guards its state with a lock of its own; no lock is shared between objects. A wait
// registers its thread's parker with every object it waits for before it looks at them, so a
// signal that comes after the look always wakes it. Signalling an object that nobody waits for
// costs no system call, nor does waking a thread that is not asleep yet.
#pragma once

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <vexora/serial/platform/AfWinTypes.h>

#include "sync/AfHandles_p.h"

namespace vexora::serial::platform {

// The means by which a waiting thread sleeps and is woken: one per thread, never freed (a thread
// that ends leaves it to a later one). It sleeps on a futex, or, when the wait also watches
// devices, in poll() on those and on an eventfd of its own.
class AfParker {
public:
    AfParker() = default;
    ~AfParker();
    AfParker(const AfParker&) = delete;
    AfParker& operator=(const AfParker&) = delete;

    // The calling thread's parker.
    static AfParker& Current();

    // Wakes the thread if it sleeps, or makes its next sleep return at once. Any thread may call
    // it while the parker is registered with an object (under that object's lock).
    void Wake();
    // Forgets a wake-up left over from an earlier wait.
    void Clear() { state_.store(kRunning, std::memory_order_relaxed); }

    // Sleeps until woken or `timeoutMs` (-1: no limit) passed. With descriptors, also until one
    // of them shows an event (its revents are set). Returns false when the descriptors could not
    // be watched (no eventfd to be had).
    bool Sleep(int timeoutMs, ::pollfd* fds = nullptr, int count = 0);

private:
    static constexpr int kRunning = 0;
    static constexpr int kNotified = 1;
    static constexpr int kOnFutex = 2;
    static constexpr int kInPoll = 3;

    bool EnsureFd();

    std::atomic<int> state_{kRunning};
    int fd_ = -1;
};

// A device that a wait watches together with its objects: the wait polls the descriptor and,
// when it shows an event, lets the source serve it (read, write, complete operations), which
// signals the objects the wait is for. So the waiting thread itself moves the bytes, without a
// hop through another thread.
class AfWaitSource {
public:
    virtual ~AfWaitSource() = default;
    // The descriptor and the poll events it is to be watched for now; false when there is nothing
    // to watch.
    virtual bool WatchFd(int& fd, short& events) = 0;
    // Serves the device without waiting.
    virtual void Serve() = 0;
};

class AfWaitable : public AfHandleObject {
public:
    static constexpr unsigned kKind = kAfWaitable;
    explicit AfWaitable(unsigned kinds) : AfHandleObject(kinds | kAfWaitable) {}

    // Brings the object's state up to date before a wait looks at it (a thread that has returned
    // is joined here). Called without the object's lock.
    virtual void Settle() {}

    // ---- everything below requires Lock() to be held ----
    // Whether a wait by thread `threadId` would be satisfied now.
    virtual bool Signalled(DWORD threadId) const = 0;
    // A wait by `threadId` was satisfied by this object: an auto-reset event clears, a mutex
    // is taken. Returns true when the object was an abandoned mutex.
    virtual bool Acquire(DWORD threadId) = 0;
    // The device a wait on this object should watch, if any.
    virtual std::shared_ptr<AfWaitSource> Source() const { return nullptr; }

    std::mutex& Lock() const { return lock_; }
    bool IsClosed() const { return closed_; }
    void AddWaiter(AfParker* parker) { waiters_.push_back(parker); }
    void RemoveWaiter(AfParker* parker);

    // Takes the lock itself: once its handle is closed, a wait still running on the object ends
    // with WAIT_FAILED and ERROR_INVALID_HANDLE instead of waiting for a signal nobody can send
    // any more.
    void Closed() override;

protected:
    // Wakes every thread waiting on this object so it looks again. Caller holds the lock.
    void WakeWaiters()
    {
        for (AfParker* parker : waiters_)
            parker->Wake();
    }
    // The waiters, for waking them once the lock is left (parkers are never freed): into `few`
    // when they fit, else into `many`. Returns their count. Caller holds the lock.
    std::size_t CopyWaiters(AfParker** few, std::size_t room, std::vector<AfParker*>& many) const
    {
        if (waiters_.size() <= room)
            std::copy(waiters_.begin(), waiters_.end(), few);
        else
            many = waiters_;
        return waiters_.size();
    }

private:
    mutable std::mutex lock_;
    std::vector<AfParker*> waiters_;
    bool closed_ = false;
};

// An event of CreateEventA, for platform code that keeps hold of it across calls.
class AfEventObject : public AfWaitable {
public:
    static constexpr unsigned kKind = kAfEvent;
    AfEventObject(bool manualReset, bool signalled)
        : AfWaitable(kAfEvent), manualReset_(manualReset), signalled_(signalled)
    {
    }

    bool Signalled(DWORD) const override { return signalled_.load(std::memory_order_acquire); }
    bool Acquire(DWORD) override
    {
        if (!manualReset_)
            signalled_.store(false, std::memory_order_relaxed);
        return false;
    }
    std::shared_ptr<AfWaitSource> Source() const override { return source_.lock(); }

    // Without a system call unless a thread sleeps on the event; setting a set event or resetting
    // a clear one takes no lock at all.
    void Set();
    void Reset();
    // Waits on the event watch `source` from now on (until Unwatch or another Watch).
    void Watch(const std::weak_ptr<AfWaitSource>& source);
    void Unwatch(const AfWaitSource* source);

private:
    const bool manualReset_;
    std::atomic<bool> signalled_;
    std::weak_ptr<AfWaitSource> source_; // under the lock
};

// The event behind a handle, or null when the handle is no event.
std::shared_ptr<AfEventObject> AfLookupEvent(HANDLE handle);

} // namespace vexora::serial::platform
