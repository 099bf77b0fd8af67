// The notification channel: the receiver table, the hand-over of runs to the owner thread and
// the serving of those runs there, from the owner's Qt event loop and from SafeSyncWaitFor.
//
// Hand-over: a sender queues a request under the queue lock, wakes the owner thread twice (a
// payload-free event posted to the hidden object for its event loop, and the platform "serve"
// event for SafeSyncWaitFor) and waits on a condition variable. The request's state and the
// wait live entirely in standard C++ primitives, so the hand-over stays visible to race
// checkers even though Qt's own locks are not.
//
// Disabling or unregistering a receiver lets its waiting senders go at once, and so does
// ReleaseSenders: a queued run is dropped, and the sender of a run in progress stops waiting for
// its end. So a receiver that closes its own source (a port whose handler closes the port, a
// dispatcher whose reader does) does not keep the source's thread waiting for the time-out while
// the close waits for that thread.
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

namespace {

using Clock = std::chrono::steady_clock;

struct TReceiverEntry {
    bool Enabled = false;
    // Shared so that a run can go on after the entry was emptied by the receiver itself.
    std::shared_ptr<const TAfSafeSyncProc> Proc; // empty: the entry is free
    DWORD Id = 0;
};

// One run that another thread asked the owner thread for.
struct TSyncRequest {
    enum class TState { Queued, Running, Done, Dropped };
    DWORD ReceiverId = 0;                        // the receiver to run ...
    const std::function<void()>* Call = nullptr; // ... or a synchronised call
    TState State = TState::Queued;
    bool Released = false; // its senders were released while it ran: the sender waits no longer
};

void Invoke(const std::function<void()>& proc)
{
    try {
        proc();
    } catch (...) {
        ApplicationHandleException(std::current_exception());
    }
}

class TAfSafeSyncChannel;

// The hidden object that lets the owner thread's event loop serve the queue.
class TAfSafeSyncWindow : public QObject {
public:
    TAfSafeSyncWindow(TAfSafeSyncChannel& channel, QEvent::Type serveType)
        : mChannel(channel), mServeType(serveType)
    {
    }

protected:
    bool event(QEvent* event) override;

private:
    TAfSafeSyncChannel& mChannel;
    const QEvent::Type mServeType;
};

// Left on purpose when the module ends while Qt may already be gone; kept reachable here.
QObject* gAbandonedWindow = nullptr;

class TAfSafeSyncChannel {
public:
    static TAfSafeSyncChannel& Instance()
    {
        static TAfSafeSyncChannel channel;
        return channel;
    }

    TAfSafeSyncChannel(const TAfSafeSyncChannel&) = delete;
    TAfSafeSyncChannel& operator=(const TAfSafeSyncChannel&) = delete;

    enum class TRefusal { None, NotOwner, Full };

    // Also refuses (0) a calling thread other than the owner when `ownerOnly`, saying why in
    // `refusal`.
    DWORD Register(TAfSafeSyncProc proc, bool ownerOnly = false, TRefusal* refusal = nullptr)
    {
        TRefusal ignored = TRefusal::None;
        TRefusal& why = refusal ? *refusal : ignored;
        why = TRefusal::Full;
        if (!proc)
            return 0; // an entry without a procedure counts as free
        std::lock_guard<std::mutex> table(mTableLock);
        EnsureSyncWindow();
        if (ownerOnly && !IsOwnerThread()) {
            why = TRefusal::NotOwner;
            return 0;
        }
        for (TReceiverEntry& entry : mTable) {
            if (entry.Proc)
                continue;
            entry.Enabled = false;
            entry.Proc = std::make_shared<const TAfSafeSyncProc>(std::move(proc));
            entry.Id = NextReceiverId();
            why = TRefusal::None;
            return entry.Id;
        }
        return 0;
    }

    bool Unregister(DWORD id)
    {
        {
            std::lock_guard<std::mutex> table(mTableLock);
            TReceiverEntry* entry = Find(id);
            if (!entry)
                return false;
            entry->Enabled = false;
            entry->Proc.reset();
            entry->Id = 0;
        }
        ReleaseSenders(id);
        return true;
    }

    bool Enable(DWORD id, bool enabled)
    {
        {
            std::lock_guard<std::mutex> table(mTableLock);
            TReceiverEntry* entry = Find(id);
            if (!entry || !entry->Proc)
                return false;
            entry->Enabled = enabled;
        }
        if (!enabled)
            ReleaseSenders(id);
        return true;
    }

    // The receiver `id` was disabled or unregistered, or its owner lets its senders go: its
    // queued runs are dropped, and the senders of a run in progress stop waiting for it.
    void ReleaseSenders(DWORD id)
    {
        {
            std::lock_guard<std::mutex> queue(mQueueLock);
            for (TSyncRequest* request : mWaiting) {
                if (request->ReceiverId != id)
                    continue;
                if (request->State == TSyncRequest::TState::Queued)
                    request->State = TSyncRequest::TState::Dropped;
                else
                    request->Released = true;
            }
        }
        mRunEnded.notify_all();
    }

    bool Notify(DWORD id, DWORD timeoutMs)
    {
        bool onOwner = false;
        {
            std::lock_guard<std::mutex> table(mTableLock);
            if (!IsLive(id))
                return false;
            onOwner = IsOwnerThread();
        }
        if (onOwner) {
            RunReceiver(id);
        } else {
            auto request = std::make_shared<TSyncRequest>();
            request->ReceiverId = id;
            Submit(request);
            WaitForRun(*request, timeoutMs);
        }
        std::lock_guard<std::mutex> table(mTableLock);
        return IsLive(id);
    }

    void Synchronize(const std::function<void()>& call)
    {
        bool direct = true;
        {
            std::lock_guard<std::mutex> table(mTableLock);
            // Without an owner thread that can still serve (no registration yet, or the
            // application has ended) the call runs here rather than never.
            direct = !mInitialised || IsOwnerThread() || !mWindow;
        }
        if (direct) {
            Invoke(call);
            return;
        }
        auto request = std::make_shared<TSyncRequest>();
        request->Call = &call;
        Submit(request);
        WaitForRun(*request, INFINITE);
    }

    DWORD WaitFor(HANDLE handle, DWORD timeoutMs)
    {
        bool onOwner = false;
        {
            std::lock_guard<std::mutex> table(mTableLock);
            onOwner = mInitialised && IsOwnerThread();
        }
        if (!onOwner || !mServeEvent)
            return WaitForSingleObject(handle, timeoutMs);

        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        DWORD remaining = timeoutMs;
        for (;;) {
            ServeQueue();
            const HANDLE handles[2] = {handle, mServeEvent};
            const DWORD result = WaitForMultipleObjects(2, handles, FALSE, remaining);
            if (result != WAIT_OBJECT_0 + 1)
                return result;
            if (timeoutMs != INFINITE) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                remaining = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
            }
        }
    }

    // Runs every queued request, on the owner thread. Re-entrant: a run may serve again.
    void ServeQueue()
    {
        for (;;) {
            std::shared_ptr<TSyncRequest> request = TakeNext();
            if (!request)
                return;
            if (request->Call)
                Invoke(*request->Call);
            else
                RunReceiver(request->ReceiverId);
            {
                std::lock_guard<std::mutex> queue(mQueueLock);
                request->State = TSyncRequest::TState::Done;
            }
            mRunEnded.notify_all();
        }
    }

    // The application object is going away: its thread's event loop will not serve any more.
    void ApplicationEnding()
    {
        std::lock_guard<std::mutex> table(mTableLock);
        if (!mWindow)
            return;
        if (IsOwnerThread())
            delete mWindow;
        else
            gAbandonedWindow = mWindow;
        mWindow = nullptr;
    }

private:
    TAfSafeSyncChannel()
    {
        // Created here, not at the first registration, so that the platform's own state outlives
        // this object at program end.
        mServeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }

    ~TAfSafeSyncChannel()
    {
        {
            std::lock_guard<std::mutex> table(mTableLock);
            mInitialised = false;
            mTable = {};
            // Qt's state may already be destroyed at this point: the object is left, not deleted.
            if (mWindow)
                gAbandonedWindow = mWindow;
            mWindow = nullptr;
        }
        {
            std::lock_guard<std::mutex> queue(mQueueLock);
            for (const std::shared_ptr<TSyncRequest>& request : mQueue)
                if (request->State == TSyncRequest::TState::Queued)
                    request->State = TSyncRequest::TState::Dropped;
            mQueue.clear();
        }
        mRunEnded.notify_all();
        if (mServeEvent)
            CloseHandle(mServeEvent);
    }

    // Under the table lock.
    void EnsureSyncWindow()
    {
        if (mInitialised)
            return;
        mOwner = std::this_thread::get_id();
        mServeType = static_cast<QEvent::Type>(QEvent::registerEventType());
        mWindow = new TAfSafeSyncWindow(*this, mServeType);
        mTable = {};
        static const bool postRoutineAdded = [] {
            qAddPostRoutine([] { Instance().ApplicationEnding(); });
            return true;
        }();
        (void)postRoutineAdded;
        mInitialised = true;
    }

    // Under the table lock. Ids run 1, 2, 3, ...; 0 is skipped, and after the counter wrapped so
    // is any id that a live receiver still holds.
    DWORD NextReceiverId()
    {
        do {
            ++mNextId;
            if (mNextId == 0)
                ++mNextId;
        } while (Find(mNextId));
        return mNextId;
    }

    // Under the table lock. Id 0 marks a free entry and is never found.
    TReceiverEntry* Find(DWORD id)
    {
        if (id == 0 || !mInitialised)
            return nullptr;
        for (TReceiverEntry& entry : mTable)
            if (entry.Id == id)
                return &entry;
        return nullptr;
    }

    // Under the table lock.
    bool IsLive(DWORD id)
    {
        const TReceiverEntry* entry = Find(id);
        return entry && entry->Proc && entry->Enabled;
    }

    // Under the table lock.
    bool IsOwnerThread() const { return mInitialised && std::this_thread::get_id() == mOwner; }

    void RunReceiver(DWORD id)
    {
        std::shared_ptr<const TAfSafeSyncProc> proc;
        {
            std::lock_guard<std::mutex> table(mTableLock);
            if (!IsLive(id))
                return;
            proc = Find(id)->Proc;
        }
        Invoke(*proc);
    }

    void Submit(const std::shared_ptr<TSyncRequest>& request)
    {
        QEvent::Type serveType = QEvent::None;
        {
            std::lock_guard<std::mutex> table(mTableLock);
            serveType = mServeType;
        }
        // The event is made before the request is published: the owner thread takes the queue
        // lock before it looks at the event, which orders it after this allocation.
        auto wake = std::make_unique<QEvent>(serveType);
        {
            std::lock_guard<std::mutex> queue(mQueueLock);
            mQueue.push_back(request);
            if (request->ReceiverId != 0)
                mWaiting.push_back(request.get());
        }
        if (mServeEvent)
            SetEvent(mServeEvent);
        std::lock_guard<std::mutex> table(mTableLock);
        if (mWindow)
            QCoreApplication::postEvent(mWindow, wake.release());
    }

    // Waits until the owner thread has run `request`, at most `timeoutMs`. A request that has not
    // started by then is dropped: it would otherwise run later, for a sender that no longer
    // waits and whose data may have changed meanwhile.
    void WaitForRun(TSyncRequest& request, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> queue(mQueueLock);
        const auto ended = [&request] {
            return request.State == TSyncRequest::TState::Done ||
                   request.State == TSyncRequest::TState::Dropped || request.Released;
        };
        if (timeoutMs == INFINITE) {
            mRunEnded.wait(queue, ended);
        } else {
            const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
            if (!mRunEnded.wait_until(queue, deadline, ended) &&
                request.State == TSyncRequest::TState::Queued)
                request.State = TSyncRequest::TState::Dropped;
        }
        std::erase(mWaiting, &request);
    }

    std::shared_ptr<TSyncRequest> TakeNext()
    {
        std::lock_guard<std::mutex> queue(mQueueLock);
        while (!mQueue.empty()) {
            std::shared_ptr<TSyncRequest> request = std::move(mQueue.front());
            mQueue.pop_front();
            if (request->State == TSyncRequest::TState::Queued) {
                request->State = TSyncRequest::TState::Running;
                return request;
            }
        }
        return nullptr;
    }

    // Table lock: the table, the ids, the owner, the window.
    std::mutex mTableLock;
    DWORD mNextId = 0;
    bool mInitialised = false;
    std::thread::id mOwner;
    TAfSafeSyncWindow* mWindow = nullptr;
    QEvent::Type mServeType = QEvent::None;
    std::array<TReceiverEntry, AF_SAFESYNC_MAX_RECEIVERS> mTable{};

    // Queue lock: the requests and their states.
    std::mutex mQueueLock;
    std::condition_variable mRunEnded;
    std::deque<std::shared_ptr<TSyncRequest>> mQueue;
    // The receiver runs whose senders are waiting (for ReleaseSenders).
    std::vector<TSyncRequest*> mWaiting;

    // Auto-reset, set for every queued request; SafeSyncWaitFor waits on it.
    HANDLE mServeEvent = nullptr;
};

bool TAfSafeSyncWindow::event(QEvent* event)
{
    // Serving first takes the queue lock, which orders this thread after the sender that made
    // `event`; only then is the event looked at.
    mChannel.ServeQueue();
    if (event->type() == mServeType)
        return true;
    return QObject::event(event);
}

} // namespace

DWORD RegisterReceiver(TAfSafeSyncProc proc)
{
    return TAfSafeSyncChannel::Instance().Register(std::move(proc));
}

DWORD RegisterOwnerReceiver(TAfSafeSyncProc proc)
{
    if (!proc)
        throw EAfSafeSyncError("No receiver procedure");
    auto refusal = TAfSafeSyncChannel::TRefusal::None;
    const DWORD id = TAfSafeSyncChannel::Instance().Register(std::move(proc), true, &refusal);
    if (refusal == TAfSafeSyncChannel::TRefusal::NotOwner)
        throw EAfSafeSyncError("Component made on another thread than the user-interface thread (the "
                               "thread that made the first component)");
    if (id == 0)
        throw EAfSafeSyncError("No free receiver in the notification channel: all " +
                               std::to_string(AF_SAFESYNC_MAX_RECEIVERS) + " are in use");
    return id;
}

bool UnregisterReceiver(DWORD id)
{
    return TAfSafeSyncChannel::Instance().Unregister(id);
}

bool EnableReceiver(DWORD id, bool enabled)
{
    return TAfSafeSyncChannel::Instance().Enable(id, enabled);
}

bool NotifyReceiver(DWORD id, DWORD timeoutMs)
{
    return TAfSafeSyncChannel::Instance().Notify(id, timeoutMs);
}

void ReleaseSenders(DWORD id)
{
    TAfSafeSyncChannel::Instance().ReleaseSenders(id);
}

DWORD SafeSyncWaitFor(HANDLE handle, DWORD timeoutMs)
{
    return TAfSafeSyncChannel::Instance().WaitFor(handle, timeoutMs);
}

void SafeSyncSynchronize(const std::function<void()>& proc)
{
    TAfSafeSyncChannel::Instance().Synchronize(proc);
}

} // namespace vexora::serial
