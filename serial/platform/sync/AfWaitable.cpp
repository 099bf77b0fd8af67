// Parkers (how a waiting thread sleeps and is woken), the base of every object a wait can be
// satisfied by, and the event object.
#include "sync/AfWaitable_p.h"

#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "sync/AfWakeFd_p.h"

namespace vexora::serial::platform {

// ---- parkers ------------------------------------------------------------------------------

AfParker::~AfParker()
{
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {

// Parkers are never freed: a thread that ends gives its parker back for the next thread, so a
// signaller that wakes a parker after leaving an object's lock never touches freed memory (at
// worst it wakes the parker's next thread for nothing, which then looks at its objects again).
struct ParkerPool {
    std::mutex lock;
    std::vector<AfParker*> free;
};

ParkerPool& Pool()
{
    static ParkerPool* const pool = new ParkerPool;
    return *pool;
}

struct ThreadParker {
    AfParker* parker = nullptr;
    ~ThreadParker()
    {
        if (!parker)
            return;
        parker->Clear();
        std::lock_guard guard(Pool().lock);
        Pool().free.push_back(parker);
    }
};

} // namespace

AfParker& AfParker::Current()
{
    thread_local ThreadParker mine;
    if (!mine.parker) {
        {
            std::lock_guard guard(Pool().lock);
            if (!Pool().free.empty()) {
                mine.parker = Pool().free.back();
                Pool().free.pop_back();
            }
        }
        if (!mine.parker)
            mine.parker = new AfParker;
    }
    return *mine.parker;
}

void AfParker::Wake()
{
    switch (state_.exchange(kNotified, std::memory_order_acq_rel)) {
    case kOnFutex:
        ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        break;
    case kInPoll: {
        AfSignalWakeFd(fd_);
        break;
    }
    default:
        break;
    }
}

bool AfParker::EnsureFd()
{
    if (fd_ < 0)
        fd_ = AfMakeWakeFd();
    return fd_ >= 0;
}

bool AfParker::Sleep(int timeoutMs, pollfd* fds, int count)
{
    if (count == 0) {
        int expected = kRunning;
        if (state_.compare_exchange_strong(expected, kOnFutex, std::memory_order_acq_rel)) {
            timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
            ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE, kOnFutex,
                      timeoutMs < 0 ? nullptr : &limit, nullptr, 0);
        }
        state_.store(kRunning, std::memory_order_relaxed);
        return true;
    }
    if (!EnsureFd())
        return false;
    // fds[0] is ours; the caller's descriptors follow.
    fds[0] = {fd_, POLLIN, 0};
    int expected = kRunning;
    if (state_.compare_exchange_strong(expected, kInPoll, std::memory_order_acq_rel)) {
        ::poll(fds, static_cast<nfds_t>(count + 1), timeoutMs);
    } else {
        for (int i = 0; i <= count; ++i)
            fds[i].revents = 0;
    }
    state_.exchange(kRunning, std::memory_order_acq_rel);
    // This wait's wake-up, or one written after an earlier poll had already ended.
    if (fds[0].revents & POLLIN)
        AfTakeWakeFd(fd_);
    return true;
}

// ---- waitable objects ---------------------------------------------------------------------

void AfWaitable::RemoveWaiter(AfParker* parker)
{
    const auto found = std::find(waiters_.begin(), waiters_.end(), parker);
    if (found != waiters_.end())
        waiters_.erase(found);
}

void AfWaitable::Closed()
{
    std::lock_guard guard(lock_);
    closed_ = true;
    WakeWaiters();
}

void AfEventObject::Set()
{
    if (signalled_.exchange(true, std::memory_order_acq_rel))
        return;
    // The waiters are woken after the lock is left, so that they do not run into it.
    std::array<AfParker*, 8> few;
    std::vector<AfParker*> many;
    std::size_t count = 0;
    {
        std::lock_guard guard(Lock());
        count = CopyWaiters(few.data(), few.size(), many);
    }
    for (std::size_t i = 0; i < count; ++i)
        (count <= few.size() ? few[i] : many[i])->Wake();
}

void AfEventObject::Reset()
{
    if (!signalled_.load(std::memory_order_acquire))
        return;
    std::lock_guard guard(Lock());
    signalled_.store(false, std::memory_order_release);
}

void AfEventObject::Watch(const std::weak_ptr<AfWaitSource>& source)
{
    std::lock_guard guard(Lock());
    source_ = source;
}

void AfEventObject::Unwatch(const AfWaitSource* source)
{
    std::lock_guard guard(Lock());
    if (source_.lock().get() == source)
        source_.reset();
}

std::shared_ptr<AfEventObject> AfLookupEvent(HANDLE handle)
{
    return AfLookup<AfEventObject>(handle);
}

} // namespace vexora::serial::platform
