// Threads, critical sections, the per-thread last error, and the tick count.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "SyncTestSupport.h"
#include "sync/AfThreads_p.h"
#include "sync/AfTicks_p.h"

namespace {

DWORD ExitCodeOf(HANDLE thread)
{
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(SyncThreads, HandleSignalsTheEndAndKeepsTheExitCode)
{
    ScopedHandle release(NewEvent(true, false));
    ScopedHandle thread(StartThread([&] {
        WaitForSingleObject(release.get(), INFINITE);
        return 42u;
    }));
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(ExitCodeOf(thread.get()), STILL_ACTIVE);

    SetEvent(release.get());
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread.get()), 42u);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
}

// Threads of this process that run something: all tasks but the parked OS threads.
int BusyThreadCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count - static_cast<int>(AfParkedThreads());
}

int NiceOfCallingThread()
{
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}

bool WaitUntil(const std::function<bool()>& done)
{
    for (int i = 0; i < 10000; ++i) {
        if (done())
            return true;
        Sleep(1);
    }
    return done();
}

TEST(SyncThreads, SignalledHandleMeansTheOsThreadIsParkedOrGone)
{
    // Callers that count the process's threads after waiting for a thread's end must not find
    // it still busy: its OS thread has parked, or has left the process, by then.
    ScopedHandle warmUp(StartThread([] { return 0u; }));
    ASSERT_EQ(WaitForSingleObject(warmUp.get(), 10000), WAIT_OBJECT_0);
    const int before = BusyThreadCount();
    for (int round = 0; round < 50; ++round) {
        ScopedHandle thread(StartThread([] { return 0u; }));
        ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
        ASSERT_EQ(BusyThreadCount(), before) << "round " << round;
    }
    // Several waiters on one thread all see it end.
    ScopedHandle release(NewEvent(true, false));
    ScopedHandle target(StartThread([&] { return WaitForSingleObject(release.get(), INFINITE); }));
    std::vector<HANDLE> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(StartThread([&] { return WaitForSingleObject(target.get(), INFINITE); }));
    SetEvent(release.get());
    ASSERT_EQ(WaitForMultipleObjects(3, waiters.data(), TRUE, 10000), WAIT_OBJECT_0);
    for (HANDLE waiter : waiters) {
        EXPECT_EQ(ExitCodeOf(waiter), WAIT_OBJECT_0);
        CloseHandle(waiter);
    }
}

// What a thread found of the per-thread state when it started, and what it left behind.
struct ThreadView {
    long kernelThread = 0;
    DWORD id = 0;
    DWORD lastError = 0;
    int nice = 0;
    DWORD mutexWait = 0;
};

TEST(SyncThreads, AThreadOnAReusedOsThreadStartsFresh)
{
    ScopedHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ThreadView first;
    ThreadView second;
    DWORD firstId = 0;
    DWORD secondId = 0;
    // The first leaves everything dirty: a last error, a mutex it still owns.
    ScopedHandle one(StartThread(
        [&] {
            first.kernelThread = syscall(SYS_gettid);
            first.id = GetCurrentThreadId();
            first.mutexWait = WaitForSingleObject(mutex.get(), 0);
            SetLastError(ERROR_ACCESS_DENIED);
            return 1u;
        },
        0, &firstId));
    ASSERT_EQ(WaitForSingleObject(one.get(), 10000), WAIT_OBJECT_0);
    ScopedHandle two(StartThread(
        [&] {
            second.kernelThread = syscall(SYS_gettid);
            second.lastError = GetLastError();
            second.id = GetCurrentThreadId();
            second.mutexWait = WaitForSingleObject(mutex.get(), 0);
            return 2u;
        },
        0, &secondId));
    ASSERT_EQ(WaitForSingleObject(two.get(), 10000), WAIT_OBJECT_0);

    EXPECT_EQ(first.mutexWait, WAIT_OBJECT_0);
    EXPECT_EQ(second.kernelThread, first.kernelThread) << "the parked OS thread was not reused";
    EXPECT_EQ(second.lastError, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(first.id, firstId);
    EXPECT_EQ(second.id, secondId);
    EXPECT_NE(second.id, first.id);
    EXPECT_EQ(second.mutexWait, WAIT_ABANDONED_0) << "the first thread's mutex was not given up";
    EXPECT_EQ(ExitCodeOf(one.get()), 1u);
    EXPECT_EQ(ExitCodeOf(two.get()), 2u);
}

TEST(SyncThreads, APriorityDoesNotCarryOverToTheNextThread)
{
    const int processNice = getpriority(PRIO_PROCESS, 0);
    ThreadView lowered;
    ThreadView next;
    ScopedHandle one(StartThread(
        [&] {
            lowered.nice = NiceOfCallingThread();
            return 0u;
        },
        CREATE_SUSPENDED));
    // Lowering needs no privilege, coming back up may: either way the next thread runs normal.
    ASSERT_TRUE(SetThreadPriority(one.get(), THREAD_PRIORITY_LOWEST));
    ResumeThread(one.get());
    ASSERT_EQ(WaitForSingleObject(one.get(), 10000), WAIT_OBJECT_0);
    ScopedHandle two(StartThread([&] {
        next.nice = NiceOfCallingThread();
        return 0u;
    }));
    ASSERT_EQ(WaitForSingleObject(two.get(), 10000), WAIT_OBJECT_0);
    if (processNice < 19) {
        EXPECT_GT(lowered.nice, processNice) << "the wish was not applied, so nothing is shown";
    }
    EXPECT_EQ(next.nice, processNice);
}

TEST(SyncThreads, ASuspendedThreadClosedNeverRuns)
{
    static std::atomic<int> runs{0};
    const auto body = [](LPVOID) -> DWORD {
        runs.fetch_add(1);
        return 0;
    };
    // Once with a parked OS thread to take it, once with none parked (four busy threads hold
    // every parked one, so a new OS thread is made).
    ScopedHandle warmUp(StartThread([] { return 0u; }));
    ASSERT_EQ(WaitForSingleObject(warmUp.get(), 10000), WAIT_OBJECT_0);
    ScopedHandle release(NewEvent(true, false));
    std::vector<HANDLE> busy;
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "parked OS thread" : "new OS thread");
        if (pass == 1) {
            for (int i = 0; i < 4; ++i)
                busy.push_back(StartThread([&] { return WaitForSingleObject(release.get(), INFINITE); }));
            ASSERT_EQ(AfParkedThreads(), 0u);
        }
        const std::size_t parked = AfParkedThreads();
        HANDLE thread = CreateThread(nullptr, 0, body, nullptr, CREATE_SUSPENDED, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(CloseHandle(thread));
        // The OS thread gives the closed thread up and parks again.
        ASSERT_TRUE(WaitUntil([&] { return AfParkedThreads() == (pass == 0 ? parked : 1u); }));
        EXPECT_EQ(runs.load(), 0);
    }
    SetEvent(release.get());
    EXPECT_EQ(WaitForMultipleObjects(4, busy.data(), TRUE, 10000), WAIT_OBJECT_0);
    for (HANDLE thread : busy)
        CloseHandle(thread);
}

TEST(SyncThreads, MoreThreadsThanThePoolKeepsEndAndOnlyAFewPark)
{
    ScopedHandle warmUp(StartThread([] { return 0u; }));
    ASSERT_EQ(WaitForSingleObject(warmUp.get(), 10000), WAIT_OBJECT_0);
    const int before = BusyThreadCount();
    for (int round = 0; round < 3; ++round) {
        constexpr int threads = 12;
        ScopedHandle release(NewEvent(true, false));
        std::vector<HANDLE> workers;
        std::vector<int> results(threads, -1);
        for (int i = 0; i < threads; ++i) {
            workers.push_back(StartThread([&, i] {
                WaitForSingleObject(release.get(), INFINITE);
                results[static_cast<std::size_t>(i)] = i;
                return static_cast<DWORD>(100 + i);
            }));
            ASSERT_NE(workers.back(), nullptr);
        }
        EXPECT_EQ(BusyThreadCount(), before + threads);
        SetEvent(release.get());
        ASSERT_EQ(WaitForMultipleObjects(threads, workers.data(), TRUE, 30000), WAIT_OBJECT_0);
        for (int i = 0; i < threads; ++i) {
            EXPECT_EQ(ExitCodeOf(workers[static_cast<std::size_t>(i)]), static_cast<DWORD>(100 + i));
            EXPECT_EQ(results[static_cast<std::size_t>(i)], i);
            CloseHandle(workers[static_cast<std::size_t>(i)]);
        }
        // The surplus OS threads have left the process; a bounded few wait for the next threads.
        EXPECT_EQ(BusyThreadCount(), before) << "round " << round;
        EXPECT_EQ(AfParkedThreads(), 4u) << "round " << round;
    }
}

TEST(SyncThreads, WaitForSeveralEndingTogetherMissesNoWakeUp)
{
    // Threads ending while the waiter is busy joining another must still wake it: a lost
    // wake-up shows as a wait that only ends with its (long) time-out.
    constexpr int threads = 8;
    for (int round = 0; round < 20; ++round) {
        ScopedHandle release(NewEvent(true, false));
        std::vector<HANDLE> workers;
        for (int i = 0; i < threads; ++i)
            workers.push_back(StartThread([&] { return WaitForSingleObject(release.get(), INFINITE); }));
        SetEvent(release.get());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForMultipleObjects(threads, workers.data(), TRUE, 60000), WAIT_OBJECT_0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "round " << round;
        for (HANDLE worker : workers)
            CloseHandle(worker);
    }
}

TEST(SyncThreads, SuspendedThreadStartsOnResume)
{
    std::atomic<bool> ran{false};
    DWORD reportedId = 0;
    DWORD idInside = 0;
    ScopedHandle thread(StartThread(
        [&] {
            idInside = GetCurrentThreadId();
            ran = true;
            return 7u;
        },
        CREATE_SUSPENDED, &reportedId));
    ASSERT_NE(thread.get(), nullptr);

    EXPECT_EQ(WaitForSingleObject(thread.get(), 50), WAIT_TIMEOUT);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(ExitCodeOf(thread.get()), STILL_ACTIVE);

    EXPECT_EQ(ResumeThread(thread.get()), 1u);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(ExitCodeOf(thread.get()), 7u);
    EXPECT_EQ(ResumeThread(thread.get()), 0u) << "a running or ended thread is not suspended";

    EXPECT_NE(reportedId, 0u);
    EXPECT_EQ(idInside, reportedId);
    EXPECT_NE(idInside, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(SyncThreads, ClosingTheHandleDoesNotEndTheThread)
{
    ScopedHandle release(NewEvent(true, false));
    ScopedHandle done(NewEvent(true, false));
    HANDLE thread = StartThread([&] {
        WaitForSingleObject(release.get(), INFINITE);
        SetEvent(done.get());
        return 0u;
    });
    ASSERT_TRUE(CloseHandle(thread));
    SetEvent(release.get());
    EXPECT_EQ(WaitForSingleObject(done.get(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SyncThreads, PriorityWishIsKeptForAllSevenLevels)
{
    ScopedHandle release(NewEvent(true, false));
    ScopedHandle running(StartThread([&] { return WaitForSingleObject(release.get(), INFINITE); }));
    ScopedHandle suspended(StartThread([] { return 0u; }, CREATE_SUSPENDED));
    EXPECT_EQ(GetThreadPriority(running.get()), THREAD_PRIORITY_NORMAL);

    for (HANDLE thread : {running.get(), suspended.get()}) {
        for (int level : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                          THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                          THREAD_PRIORITY_TIME_CRITICAL}) {
            EXPECT_TRUE(SetThreadPriority(thread, level)) << "lack of privilege must not fail the caller";
            EXPECT_EQ(GetThreadPriority(thread), level);
        }
        SetLastError(0);
        EXPECT_FALSE(SetThreadPriority(thread, 7));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
        EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    }

    ResumeThread(suspended.get());
    EXPECT_EQ(WaitForSingleObject(suspended.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadPriority(suspended.get()), THREAD_PRIORITY_HIGHEST);
    SetEvent(release.get());
    EXPECT_EQ(WaitForSingleObject(running.get(), 10000), WAIT_OBJECT_0);

    ScopedHandle event(NewEvent(true, false));
    SetLastError(0);
    EXPECT_EQ(GetThreadPriority(event.get()), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetThreadPriority(event.get(), THREAD_PRIORITY_NORMAL));
}

TEST(SyncThreads, StackSizeIsAccepted)
{
    auto* counter = new std::atomic<int>(0);
    HANDLE thread = CreateThread(
        nullptr, 1024,
        [](LPVOID parameter) -> DWORD {
            static_cast<std::atomic<int>*>(parameter)->fetch_add(1);
            return 5;
        },
        counter, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread), 5u);
    EXPECT_EQ(counter->load(), 1);
    CloseHandle(thread);
    delete counter;

    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(SyncLastError, IsKeptPerThread)
{
    SetLastError(1234);
    ScopedHandle thread(StartThread([] {
        const DWORD initial = GetLastError();
        SetLastError(77);
        return initial == 0 && GetLastError() == 77 ? 0u : 1u;
    }));
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread.get()), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

struct Section {
    CRITICAL_SECTION section;
    Section() { InitializeCriticalSection(&section); }
    ~Section() { DeleteCriticalSection(&section); }
};

TEST(SyncCriticalSections, AreReEntrantAndExcludeOtherThreads)
{
    Section lock;
    auto tryFromOtherThread = [&] {
        ScopedHandle thread(StartThread([&] {
            if (!TryEnterCriticalSection(&lock.section))
                return 0u;
            LeaveCriticalSection(&lock.section);
            return 1u;
        }));
        WaitForSingleObject(thread.get(), INFINITE);
        return ExitCodeOf(thread.get()) == 1u;
    };

    EnterCriticalSection(&lock.section);
    EXPECT_TRUE(TryEnterCriticalSection(&lock.section));
    EnterCriticalSection(&lock.section);
    EXPECT_FALSE(tryFromOtherThread());
    LeaveCriticalSection(&lock.section);
    LeaveCriticalSection(&lock.section);
    EXPECT_FALSE(tryFromOtherThread()) << "still entered once";
    LeaveCriticalSection(&lock.section);
    EXPECT_TRUE(tryFromOtherThread());
}

TEST(SyncCriticalSections, GuardSharedData)
{
    Section lock;
    long counter = 0;
    constexpr int threads = 4, rounds = 2000;
    std::vector<HANDLE> workers;
    for (int t = 0; t < threads; ++t) {
        workers.push_back(StartThread([&] {
            for (int i = 0; i < rounds; ++i) {
                EnterCriticalSection(&lock.section);
                EnterCriticalSection(&lock.section);
                ++counter;
                LeaveCriticalSection(&lock.section);
                LeaveCriticalSection(&lock.section);
            }
            return 0u;
        }));
    }
    ASSERT_EQ(WaitForMultipleObjects(threads, workers.data(), TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE worker : workers)
        CloseHandle(worker);
    EXPECT_EQ(counter, long{threads} * rounds);
}

TEST(SyncTicks, SpansSurviveTheWrap)
{
    constexpr std::uint64_t wrap = std::uint64_t{1} << 32;
    EXPECT_EQ(AfTicksFromMilliseconds(wrap + 5), 5u);
    EXPECT_EQ(AfTicksFromMilliseconds(wrap - 1), 0xFFFFFFFFu);
    const DWORD before = AfTicksFromMilliseconds(wrap - 16);
    const DWORD after = AfTicksFromMilliseconds(wrap + 16);
    EXPECT_LT(after, before);
    EXPECT_EQ(AfTicksElapsed(before, after), 32u);
    EXPECT_EQ(static_cast<DWORD>(after - before), 32u) << "callers' own unsigned difference";
}

TEST(SyncTicks, CountFollowsSleep)
{
    const DWORD start = GetTickCount();
    Sleep(30);
    const DWORD elapsed = AfTicksElapsed(start, GetTickCount());
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 20000u);
}

} // namespace
