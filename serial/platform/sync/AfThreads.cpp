// Threads: creation (optionally suspended) on pooled OS threads, the thread handle that is
// signalled when the thread has ended, exit codes, ids and best-effort priorities.
#include <vexora/serial/platform/AfWin.h>

#include "sync/AfThreads_p.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "sync/AfSyncObjects_p.h"
#include "sync/AfWaitable_p.h"

namespace vexora::serial::platform {

namespace {

std::atomic<DWORD> g_lastThreadId{0};
thread_local DWORD t_threadId = 0;

pid_t KernelThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

bool IsPriorityLevel(int priority)
{
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
    case THREAD_PRIORITY_TIME_CRITICAL:
        return true;
    default:
        return false;
    }
}

// The nice value of a level, relative to the process's own.
int NiceOffset(int priority)
{
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
        return 19;
    case THREAD_PRIORITY_LOWEST:
        return 10;
    case THREAD_PRIORITY_BELOW_NORMAL:
        return 5;
    case THREAD_PRIORITY_ABOVE_NORMAL:
        return -5;
    case THREAD_PRIORITY_HIGHEST:
        return -10;
    case THREAD_PRIORITY_TIME_CRITICAL:
        return -20;
    default:
        return 0;
    }
}

int ProcessNice()
{
    static const int nice = [] {
        errno = 0;
        const int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
        return errno == 0 ? value : 0;
    }();
    return nice;
}

// Best effort: raising a thread above the process needs a privilege the process may lack; the
// thread then keeps the priority it has, and the result is false.
bool ApplyPriority(pid_t kernelThread, int priority)
{
    const int nice = std::clamp(ProcessNice() + NiceOffset(priority), -20, 19);
    const int saved = errno;
    const bool applied = ::setpriority(PRIO_PROCESS, static_cast<id_t>(kernelThread), nice) == 0;
    errno = saved;
    return applied;
}

class AfThread;

// An OS thread that runs the functions of thread objects, one after another. Between them it is
// parked in the pool, so that a new thread object starts without creating an OS thread.
struct AfWorker {
    pthread_t pthread{};
    pid_t kernelThread = 0;
    // Whether it may park once its function has returned (not with a stack size of its own).
    bool poolable = true;
    // Guarded by the pool's lock.
    std::condition_variable woken;
    std::shared_ptr<AfThread> next;
};

// The parked workers. A few are kept; a worker that finds the pool full ends instead. Parked
// workers sleep on their condition variable without a time-out. The pool is never destroyed:
// parked workers still sleep on it while the process exits.
class AfWorkerPool {
public:
    static constexpr std::size_t kMaxParked = 4;

    static AfWorkerPool& Instance()
    {
        static AfWorkerPool* const pool = new AfWorkerPool;
        return *pool;
    }

    // Gives the thread object to a parked worker, which is woken now or, with `wake` false,
    // by Wake. Null when none is parked.
    AfWorker* Hand(std::shared_ptr<AfThread>& thread, bool wake)
    {
        std::lock_guard guard(lock_);
        if (parked_.empty())
            return nullptr;
        AfWorker* worker = parked_.back();
        parked_.pop_back();
        worker->next = std::move(thread);
        // Under the lock: once it has the object, the worker may run it, find the pool full and
        // end before a notification sent after the lock would reach it.
        if (wake)
            worker->woken.notify_one();
        return worker;
    }

    // The worker must not have started the thread object it was handed.
    void Wake(AfWorker& worker)
    {
        std::lock_guard guard(lock_);
        worker.woken.notify_one();
    }

    // False when the pool is full: the worker is to end.
    bool Park(AfWorker& worker)
    {
        std::lock_guard guard(lock_);
        if (parked_.size() >= kMaxParked)
            return false;
        parked_.push_back(&worker);
        return true;
    }

    std::shared_ptr<AfThread> NextThread(AfWorker& worker)
    {
        std::unique_lock lock(lock_);
        worker.woken.wait(lock, [&] { return worker.next != nullptr; });
        return std::move(worker.next);
    }

    std::size_t Parked()
    {
        std::lock_guard guard(lock_);
        return parked_.size();
    }

private:
    std::mutex lock_;
    std::vector<AfWorker*> parked_;
};

// A thread object. Its handle is signalled once the function has returned and the worker that ran
// it has given back everything of the thread's own: owned mutexes abandoned, priority normal
// again, last error and thread id cleared. A worker that then parks signals the handle itself; a
// worker that ends is joined by the first wait that sees the function returned (a thread nobody
// waits for is detached when its object goes away), so the handle of an ended thread is signalled
// only once the OS thread has left the process.
class AfThread final : public AfWaitable {
public:
    static constexpr unsigned kKind = kAfThread;
    AfThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id, bool suspended)
        : AfWaitable(kAfThread), start_(start), parameter_(parameter), id_(id),
          suspendCount_(suspended ? 1 : 0)
    {
    }

    ~AfThread() override
    {
        if (ending_ && !ended_)
            ::pthread_detach(endingThread_);
    }

    bool Signalled(DWORD) const override { return ended_; }
    bool Acquire(DWORD) override { return false; }

    void Settle() override
    {
        pthread_t pthread;
        {
            std::lock_guard guard(Lock());
            if (!ending_ || ended_ || joining_ || ::pthread_equal(endingThread_, ::pthread_self()))
                return;
            joining_ = true;
            pthread = endingThread_;
        }
        // The thread has nothing left to do but to end.
        ::pthread_join(pthread, nullptr);
        std::lock_guard guard(Lock());
        ended_ = true;
        WakeWaiters();
    }

    void Closed() override
    {
        AfWaitable::Closed();
        std::lock_guard guard(Lock());
        resumed_.notify_one();
        WakeWorker();
    }

    // A suspended thread handed to a parked worker: the worker is woken only once the thread is
    // resumed or closed, so a suspended start costs no wake-up of its own.
    void WaitsForResume(AfWorker& worker)
    {
        std::lock_guard guard(Lock());
        // Unless a spurious wake-up brought the worker into Run already.
        if (kernelThread_ == 0)
            sleepingWorker_ = &worker;
    }

    // Runs the thread on the worker; true when the worker parked afterwards, false when it is to
    // end.
    bool Run(AfWorker& worker)
    {
        AfAdoptThreadId(id_);
        bool run = false;
        {
            std::unique_lock lock(Lock());
            sleepingWorker_ = nullptr;
            kernelThread_ = worker.kernelThread;
            resumed_.wait(lock, [this] { return suspendCount_ == 0 || IsClosed(); });
            // Closed while suspended: nobody can resume it any more, so it ends unrun.
            run = suspendCount_ == 0;
            if (run && priority_ != THREAD_PRIORITY_NORMAL) {
                ApplyPriority(kernelThread_, priority_);
                reprioritised_ = true;
            }
        }
        const DWORD exitCode = run ? start_(parameter_) : 0;
        AfAbandonOwnedMutexes();
        bool reprioritised = false;
        {
            std::lock_guard guard(Lock());
            exitCode_ = exitCode;
            returned_ = true;
            reprioritised = reprioritised_;
        }
        // No priority is applied to the worker from here on; the next thread starts normal. A
        // worker lowered without the privilege to come back up ends instead of parking.
        const bool normal = !reprioritised || ApplyPriority(worker.kernelThread, THREAD_PRIORITY_NORMAL);
        SetLastError(ERROR_SUCCESS);
        AfAdoptThreadId(0);
        AfParker::Current().Clear();

        const bool parked = normal && worker.poolable && AfWorkerPool::Instance().Park(worker);
        // The waiters are woken once the lock is left, so that they do not wake into it; the
        // worker still holds the object, and parkers are never freed.
        AfParker* few[4];
        std::vector<AfParker*> many;
        std::size_t count = 0;
        {
            std::lock_guard guard(Lock());
            if (parked) {
                ended_ = true;
            } else {
                ending_ = true;
                endingThread_ = worker.pthread;
            }
            count = CopyWaiters(few, std::size(few), many);
        }
        AfParker* const* waiters = many.empty() ? few : many.data();
        for (std::size_t i = 0; i < count; ++i)
            waiters[i]->Wake();
        return parked;
    }

    // Returns the previous suspend count.
    DWORD Resume()
    {
        std::lock_guard guard(Lock());
        const DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0) {
            resumed_.notify_one();
            WakeWorker();
        }
        return previous;
    }

    void SetPriority(int priority)
    {
        std::lock_guard guard(Lock());
        const bool changed = priority != priority_;
        priority_ = priority;
        // Only while the thread function runs: before, the thread applies the wish itself when
        // it starts; after, its worker may run another thread already. A thread at the normal
        // level that never left it has nothing to change.
        if (kernelThread_ != 0 && suspendCount_ == 0 && !returned_ && (changed || reprioritised_)) {
            ApplyPriority(kernelThread_, priority);
            reprioritised_ = true;
        }
    }

    int Priority() const
    {
        std::lock_guard guard(Lock());
        return priority_;
    }

    DWORD ExitCode() const
    {
        std::lock_guard guard(Lock());
        return returned_ ? exitCode_ : STILL_ACTIVE;
    }

private:
    // Caller holds the lock. While it is set, the worker has not begun Run, which it cannot get
    // past without this lock: it is alive to be woken.
    void WakeWorker()
    {
        if (sleepingWorker_ == nullptr)
            return;
        AfWorkerPool::Instance().Wake(*sleepingWorker_);
        sleepingWorker_ = nullptr;
    }

    const LPTHREAD_START_ROUTINE start_;
    const LPVOID parameter_;
    const DWORD id_;
    // Guarded by Lock().
    DWORD suspendCount_;
    std::condition_variable resumed_;
    AfWorker* sleepingWorker_ = nullptr;
    pid_t kernelThread_ = 0;
    int priority_ = THREAD_PRIORITY_NORMAL;
    bool reprioritised_ = false;
    bool returned_ = false;
    DWORD exitCode_ = 0;
    // The worker ends instead of parking: the handle is signalled once it is joined.
    bool ending_ = false;
    pthread_t endingThread_{};
    bool joining_ = false;
    bool ended_ = false;
};

void* WorkerEntry(void* argument)
{
    std::unique_ptr<AfWorker> worker(static_cast<AfWorker*>(argument));
    worker->pthread = ::pthread_self();
    worker->kernelThread = KernelThreadId();
    std::shared_ptr<AfThread> thread = std::move(worker->next);
    while (thread->Run(*worker)) {
        thread.reset();
        thread = AfWorkerPool::Instance().NextThread(*worker);
    }
    return nullptr;
}

// A new OS thread for the thread object; false when none can be had.
bool StartWorker(std::shared_ptr<AfThread> thread, SIZE_T stackSize)
{
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0)
        return false;
    if (stackSize != 0) {
        const SIZE_T page = static_cast<SIZE_T>(::sysconf(_SC_PAGESIZE));
        SIZE_T size = std::max<SIZE_T>(stackSize, PTHREAD_STACK_MIN);
        size = (size + page - 1) / page * page;
        ::pthread_attr_setstacksize(&attributes, size);
    }
    ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    auto worker = std::make_unique<AfWorker>();
    worker->poolable = stackSize == 0;
    worker->next = std::move(thread);
    pthread_t pthread;
    const int failed = ::pthread_create(&pthread, &attributes, WorkerEntry, worker.get());
    ::pthread_attr_destroy(&attributes);
    if (failed != 0)
        return false;
    worker.release();
    return true;
}

} // namespace

DWORD AfNewThreadId()
{
    DWORD id = g_lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
    while (id == 0)
        id = g_lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
    return id;
}

void AfAdoptThreadId(DWORD threadId)
{
    t_threadId = threadId;
}

DWORD GetCurrentThreadId()
{
    if (t_threadId == 0)
        t_threadId = AfNewThreadId();
    return t_threadId;
}

HANDLE CreateThread(LPVOID, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId)
{
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD id = AfNewThreadId();
    const bool suspended = (creationFlags & CREATE_SUSPENDED) != 0;
    auto thread = std::make_shared<AfThread>(start, parameter, id, suspended);
    // The running thread holds the object too, so closing the handle does not end or free it.
    std::shared_ptr<AfThread> running = thread;
    AfWorker* parked = stackSize == 0 ? AfWorkerPool::Instance().Hand(running, !suspended) : nullptr;
    if (parked != nullptr && suspended)
        thread->WaitsForResume(*parked);
    if (parked == nullptr && !StartWorker(std::move(running), stackSize)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr)
        *threadId = id;
    return AfNewHandle(std::move(thread));
}

std::size_t AfParkedThreads()
{
    return AfWorkerPool::Instance().Parked();
}

DWORD ResumeThread(HANDLE thread)
{
    const auto object = AfLookup<AfThread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    return object->Resume();
}

BOOL SetThreadPriority(HANDLE thread, int priority)
{
    const auto object = AfLookup<AfThread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!IsPriorityLevel(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    object->SetPriority(priority);
    return TRUE;
}

int GetThreadPriority(HANDLE thread)
{
    const auto object = AfLookup<AfThread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return object->Priority();
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    const auto object = AfLookup<AfThread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

} // namespace vexora::serial::platform
