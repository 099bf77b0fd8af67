// Threads: creation (optionally suspended), the thread handle that is signalled when the thread
// has ended, exit codes, ids and best-effort priorities.
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

#include "AfSyncObjects.h"
#include "AfWaitable.h"
#include "AfWin.h"

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
// thread then keeps the priority it has.
void ApplyPriority(pid_t kernelThread, int priority)
{
    const int nice = std::clamp(ProcessNice() + NiceOffset(priority), -20, 19);
    const int saved = errno;
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(kernelThread), nice);
    errno = saved;
}

// A thread's handle is signalled once the thread is gone, not merely once its function has
// returned: the first wait that sees the function returned joins the thread. A thread nobody
// waits for is detached when its object goes away.
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
        if (started_ && !joined_)
            ::pthread_detach(pthread_);
    }

    void Started(pthread_t pthread)
    {
        std::lock_guard guard(Lock());
        pthread_ = pthread;
        started_ = true;
    }

    bool Signalled(DWORD) const override { return joined_; }
    bool Acquire(DWORD) override { return false; }

    void Settle() override
    {
        pthread_t pthread;
        {
            std::lock_guard guard(Lock());
            if (!returned_ || joined_ || joining_ || !started_ || ::pthread_equal(pthread_, ::pthread_self()))
                return;
            joining_ = true;
            pthread = pthread_;
        }
        // The thread has nothing left to do but to end.
        ::pthread_join(pthread, nullptr);
        std::lock_guard guard(Lock());
        joined_ = true;
        WakeWaiters();
    }

    void Closed() override
    {
        AfWaitable::Closed();
        std::lock_guard guard(Lock());
        resumed_.notify_one();
    }

    void Run()
    {
        AfAdoptThreadId(id_);
        {
            std::unique_lock lock(Lock());
            kernelThread_ = KernelThreadId();
            resumed_.wait(lock, [this] { return suspendCount_ == 0 || IsClosed(); });
            if (suspendCount_ > 0) {
                // Closed while suspended: nobody can resume it any more, so it ends unrun.
                returned_ = true;
                return;
            }
            if (priority_ != THREAD_PRIORITY_NORMAL)
                ApplyPriority(kernelThread_, priority_);
        }
        const DWORD exitCode = start_(parameter_);
        AfAbandonOwnedMutexes();
        std::lock_guard guard(Lock());
        exitCode_ = exitCode;
        returned_ = true;
        WakeWaiters();
    }

    // Returns the previous suspend count.
    DWORD Resume()
    {
        std::lock_guard guard(Lock());
        const DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0)
            resumed_.notify_one();
        return previous;
    }

    void SetPriority(int priority)
    {
        std::lock_guard guard(Lock());
        priority_ = priority;
        // Only while the thread function runs: before, the thread applies the wish itself when
        // it starts; after, its kernel id may belong to another thread already.
        if (kernelThread_ != 0 && suspendCount_ == 0 && !returned_)
            ApplyPriority(kernelThread_, priority);
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
    const LPTHREAD_START_ROUTINE start_;
    const LPVOID parameter_;
    const DWORD id_;
    // Guarded by Lock().
    DWORD suspendCount_;
    std::condition_variable resumed_;
    pid_t kernelThread_ = 0;
    int priority_ = THREAD_PRIORITY_NORMAL;
    bool returned_ = false;
    DWORD exitCode_ = 0;
    pthread_t pthread_{};
    bool started_ = false;
    bool joining_ = false;
    bool joined_ = false;
};

extern "C" void* ThreadEntry(void* argument)
{
    const std::unique_ptr<std::shared_ptr<AfThread>> self(static_cast<std::shared_ptr<AfThread>*>(argument));
    (*self)->Run();
    return nullptr;
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
    auto thread = std::make_shared<AfThread>(start, parameter, id, (creationFlags & CREATE_SUSPENDED) != 0);

    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (stackSize != 0) {
        const SIZE_T page = static_cast<SIZE_T>(::sysconf(_SC_PAGESIZE));
        SIZE_T size = std::max<SIZE_T>(stackSize, PTHREAD_STACK_MIN);
        size = (size + page - 1) / page * page;
        ::pthread_attr_setstacksize(&attributes, size);
    }
    // The running thread holds the object too, so closing the handle does not end or free it.
    auto* running = new std::shared_ptr<AfThread>(thread);
    pthread_t pthread;
    const int failed = ::pthread_create(&pthread, &attributes, ThreadEntry, running);
    ::pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete running;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->Started(pthread);
    if (threadId != nullptr)
        *threadId = id;
    return AfNewHandle(std::move(thread));
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
