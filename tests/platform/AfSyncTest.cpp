// Events, mutexes and the waits on them; the handle table's answers to bad handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "SyncTestSupport.h"
#include "sync/AfSyncObjects_p.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(SyncEvents, ManualResetStaysSignalledUntilReset)
{
    ScopedHandle event(NewEvent(true, false));
    ASSERT_NE(event.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0) << "a wait must not consume a manual event";

    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(SyncEvents, AutoResetIsConsumedByOneWait)
{
    ScopedHandle event(NewEvent(false, false));
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(SetEvent(event.get())); // signals do not add up
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(SyncEvents, InitialStateIsHonoured)
{
    ScopedHandle manual(NewEvent(true, true));
    ScopedHandle automatic(NewEvent(false, true));
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT);
}

TEST(SyncEvents, NamedObjectsAreRefused)
{
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "shared"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "shared"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// Every waiter that is released counts itself and tells the test.
struct Released {
    std::atomic<int> count{0};
    ScopedHandle one{NewEvent(false, false)};
};

TEST(SyncEvents, AutoResetReleasesExactlyOneWaiterPerSignal)
{
    constexpr int waiters = 4;
    ScopedHandle event(NewEvent(false, false));
    Released released;
    std::vector<HANDLE> threads;
    for (int i = 0; i < waiters; ++i) {
        threads.push_back(StartThread([&] {
            const DWORD result = WaitForSingleObject(event.get(), INFINITE);
            released.count.fetch_add(1);
            SetEvent(released.one.get());
            return result;
        }));
        ASSERT_NE(threads.back(), nullptr);
    }

    for (int signal = 1; signal <= waiters; ++signal) {
        ASSERT_TRUE(SetEvent(event.get()));
        ASSERT_EQ(WaitForSingleObject(released.one.get(), 10000), WAIT_OBJECT_0);
        // Any extra release would show within this grace time.
        Sleep(signal == 1 ? 100 : 10);
        EXPECT_EQ(released.count.load(), signal);
    }
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT) << "the last signal must have been consumed";

    ASSERT_EQ(WaitForMultipleObjects(waiters, threads.data(), TRUE, 10000), WAIT_OBJECT_0);
    for (HANDLE thread : threads) {
        DWORD code = 1;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, WAIT_OBJECT_0);
        CloseHandle(thread);
    }
}

TEST(SyncEvents, ManualResetReleasesEveryWaiter)
{
    constexpr int waiters = 3;
    ScopedHandle event(NewEvent(true, false));
    std::vector<HANDLE> threads;
    for (int i = 0; i < waiters; ++i)
        threads.push_back(StartThread([&] { return WaitForSingleObject(event.get(), INFINITE); }));
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForMultipleObjects(waiters, threads.data(), TRUE, 10000), WAIT_OBJECT_0);
    for (HANDLE thread : threads)
        CloseHandle(thread);
}

TEST(SyncEvents, SignalHandsDataOverToTheWaiter)
{
    // A ping-pong where each side writes plain data before signalling; a sanitizer sees a race
    // if a signal does not order the two sides.
    ScopedHandle ping(NewEvent(false, false));
    ScopedHandle pong(NewEvent(false, false));
    int shared = 0;
    constexpr int rounds = 2000;
    ScopedHandle thread(StartThread([&] {
        for (int i = 0; i < rounds; ++i) {
            if (WaitForSingleObject(ping.get(), INFINITE) != WAIT_OBJECT_0)
                return 1u;
            ++shared;
            SetEvent(pong.get());
        }
        return 0u;
    }));
    for (int i = 0; i < rounds; ++i) {
        ++shared;
        ASSERT_TRUE(SetEvent(ping.get()));
        ASSERT_EQ(WaitForSingleObject(pong.get(), 10000), WAIT_OBJECT_0);
    }
    EXPECT_EQ(shared, 2 * rounds);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
}

TEST(SyncWaits, LowestSignalledIndexWins)
{
    ScopedHandle e0(NewEvent(false, false)), e1(NewEvent(false, false)), e2(NewEvent(true, false)),
        e3(NewEvent(false, false));
    const HANDLE handles[] = {e0.get(), e1.get(), e2.get(), e3.get()};

    SetEvent(e3.get());
    SetEvent(e1.get());
    EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 3)
        << "only the winner is consumed";
    EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_TIMEOUT);

    SetEvent(e2.get());
    SetEvent(e3.get());
    EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 2) << "a manual event stays set";
    EXPECT_EQ(WaitForSingleObject(e3.get(), 0), WAIT_OBJECT_0) << "not consumed while a lower index won";
}

TEST(SyncWaits, WakesForTheObjectSignalledWhileAsleep)
{
    ScopedHandle e0(NewEvent(false, false)), e1(NewEvent(false, false)), e2(NewEvent(false, false));
    const HANDLE handles[] = {e0.get(), e1.get(), e2.get()};
    ScopedHandle thread(StartThread([&] { return WaitForMultipleObjects(3, handles, FALSE, INFINITE); }));
    Sleep(20);
    SetEvent(e2.get());
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    DWORD result = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &result));
    EXPECT_EQ(result, WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(e2.get(), 0), WAIT_TIMEOUT) << "the waiter consumed it";
}

TEST(SyncWaits, TimeOutsAreHonoured)
{
    ScopedHandle e0(NewEvent(true, false)), e1(NewEvent(false, false));
    const HANDLE handles[] = {e0.get(), e1.get()};

    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e0.get(), 60), WAIT_TIMEOUT);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(60));
    EXPECT_LT(waited, milliseconds(10000));

    start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 40), WAIT_TIMEOUT);
    waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(40));
    EXPECT_LT(waited, milliseconds(10000));

    // A signal before the time-out ends the wait early.
    ScopedHandle setter(StartThread([&] {
        Sleep(20);
        return SetEvent(e1.get()) ? 0u : 1u;
    }));
    start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 30000), WAIT_OBJECT_0 + 1);
    EXPECT_LT(Clock::now() - start, milliseconds(20000));
    WaitForSingleObject(setter.get(), INFINITE);
}

TEST(SyncWaits, WaitAllNeedsEveryObjectAndTakesNoneEarly)
{
    ScopedHandle a(NewEvent(false, false)), b(NewEvent(false, false));
    const HANDLE handles[] = {a.get(), b.get()};

    SetEvent(a.get());
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0) << "a failed wait-all must not consume";

    SetEvent(a.get());
    ScopedHandle setter(StartThread([&] { return SetEvent(b.get()) ? 0u : 1u; }));
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
    WaitForSingleObject(setter.get(), INFINITE);
}

// Two waits for all of the same objects, named in opposite orders, while a third thread keeps
// signalling them: each object has a lock of its own, and a wait that took them in its own order
// would sooner or later hold one that the other wait needs.
TEST(SyncWaits, WaitsForAllInOppositeOrdersDoNotHoldEachOtherUp)
{
    ScopedHandle first(NewEvent(false, false));
    ScopedHandle second(NewEvent(false, false));
    ScopedHandle took(NewEvent(false, false));
    constexpr int kRounds = 20000;
    std::atomic<int> taken{0};
    std::atomic<bool> stop{false};
    auto waiter = [&](HANDLE a, HANDLE b) {
        const HANDLE pair[] = {a, b};
        while (!stop) {
            if (WaitForMultipleObjects(2, pair, TRUE, 50) == WAIT_OBJECT_0) {
                ++taken;
                SetEvent(took.get());
            }
        }
    };
    std::thread forward(waiter, first.get(), second.get());
    std::thread backward(waiter, second.get(), first.get());
    for (int round = 0; round < kRounds; ++round) {
        SetEvent(first.get());
        SetEvent(second.get());
        ASSERT_EQ(WaitForSingleObject(took.get(), 10000), WAIT_OBJECT_0) << "round " << round;
    }
    stop = true;
    forward.join();
    backward.join();
    // Each pair was taken by exactly one of the waits, both events at once.
    EXPECT_EQ(taken, kRounds);
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_TIMEOUT);
}

// A signal that comes while the other thread is between looking at its event and going to sleep
// wakes it all the same: many short hand-overs in a row, none of which may be missed.
TEST(SyncWaits, NoSignalIsLostBetweenLookingAndSleeping)
{
    ScopedHandle ping(NewEvent(false, false));
    ScopedHandle pong(NewEvent(false, false));
    constexpr int kRounds = 20000;
    std::atomic<int> missed{0};
    std::thread echo([&] {
        for (int round = 0; round < kRounds; ++round) {
            if (WaitForSingleObject(ping.get(), 10000) != WAIT_OBJECT_0)
                ++missed;
            SetEvent(pong.get());
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        SetEvent(ping.get());
        if (WaitForSingleObject(pong.get(), 10000) != WAIT_OBJECT_0)
            ++missed;
    }
    echo.join();
    EXPECT_EQ(missed, 0);
}

TEST(SyncWaits, BadArgumentsFail)
{
    ScopedHandle event(NewEvent(true, true));
    const HANDLE twice[] = {event.get(), event.get()};

    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0)
        << "a repeated handle is fine for wait-any";

    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, event.get());
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, tooMany.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, tooMany.data(), FALSE, 0), WAIT_OBJECT_0);
}

TEST(SyncHandles, InvalidHandlesFailWithInvalidHandle)
{
    HANDLE closed = NewEvent(true, true);
    ASSERT_TRUE(CloseHandle(closed));
    ScopedHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ScopedHandle event(NewEvent(true, true));

    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, closed,
                       reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x12345))}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_EQ(ResumeThread(bad), static_cast<DWORD>(-1));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }

    // One bad handle among good ones fails the whole wait.
    const HANDLE mixed[] = {event.get(), closed};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A handle of the wrong kind.
    SetLastError(0);
    EXPECT_FALSE(SetEvent(mutex.get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(event.get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SyncHandles, ValuesAreNeverReused)
{
    HANDLE first = NewEvent(true, true);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(first));
    ScopedHandle second(NewEvent(true, true));
    EXPECT_NE(second.get(), first);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED) << "a stale handle must not reach the new object";
}

TEST(SyncHandles, ClosingEndsAWaitInProgress)
{
    // A waiter on a handle that gets closed returns WAIT_FAILED with ERROR_INVALID_HANDLE rather
    // than sleeping on for a signal nobody can send any more.
    for (DWORD timeout : {INFINITE, DWORD{60000}}) {
        HANDLE event = NewEvent(false, false);
        ScopedHandle other(NewEvent(false, false));
        const HANDLE handles[] = {other.get(), event};
        ScopedHandle waiter(StartThread([&] {
            const DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeout);
            return result == WAIT_FAILED ? GetLastError() : result;
        }));
        Sleep(20);
        ASSERT_TRUE(CloseHandle(event));
        ASSERT_EQ(WaitForSingleObject(waiter.get(), 10000), WAIT_OBJECT_0);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(waiter.get(), &code));
        EXPECT_EQ(code, ERROR_INVALID_HANDLE);
    }
}

TEST(SyncMutexes, OwnershipIsRecursiveAndExclusive)
{
    ScopedHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_NE(mutex.get(), nullptr);
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0) << "the owner may take it again";

    auto tryFromOtherThread = [&] {
        ScopedHandle thread(StartThread([&] {
            const DWORD result = WaitForSingleObject(mutex.get(), 0);
            if (result == WAIT_OBJECT_0)
                ReleaseMutex(mutex.get());
            return result;
        }));
        WaitForSingleObject(thread.get(), INFINITE);
        DWORD code = 0;
        GetExitCodeThread(thread.get(), &code);
        return code;
    };
    EXPECT_EQ(tryFromOtherThread(), WAIT_TIMEOUT);
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(tryFromOtherThread(), WAIT_TIMEOUT) << "still held once";
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(tryFromOtherThread(), WAIT_OBJECT_0);

    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex.get())) << "released more often than taken";
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
}

TEST(SyncMutexes, InitialOwnerAndReleaseByStranger)
{
    ScopedHandle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    ScopedHandle stranger(StartThread([&] {
        SetLastError(0);
        const BOOL released = ReleaseMutex(mutex.get());
        const DWORD waited = WaitForSingleObject(mutex.get(), 0);
        return released == FALSE && GetLastError() == ERROR_NOT_OWNER && waited == WAIT_TIMEOUT ? 0u : 1u;
    }));
    WaitForSingleObject(stranger.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeThread(stranger.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(SyncMutexes, GuardsSharedDataAcrossThreads)
{
    ScopedHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    long counter = 0;
    constexpr int threads = 4, rounds = 500;
    std::vector<HANDLE> workers;
    for (int t = 0; t < threads; ++t) {
        workers.push_back(StartThread([&] {
            for (int i = 0; i < rounds; ++i) {
                if (WaitForSingleObject(mutex.get(), INFINITE) != WAIT_OBJECT_0)
                    return 1u;
                ++counter;
                ReleaseMutex(mutex.get());
            }
            return 0u;
        }));
    }
    ASSERT_EQ(WaitForMultipleObjects(threads, workers.data(), TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE worker : workers)
        CloseHandle(worker);
    EXPECT_EQ(counter, long{threads} * rounds);
}

TEST(SyncMutexes, OwnerEndingAbandonsIt)
{
    ScopedHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ScopedHandle owner(StartThread([&] { return WaitForSingleObject(mutex.get(), INFINITE); }));
    ASSERT_EQ(WaitForSingleObject(owner.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 10000), WAIT_ABANDONED_0) << "must not hang on a dead owner";
    EXPECT_TRUE(ReleaseMutex(mutex.get())) << "the abandoned mutex now belongs to the waiter";
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0) << "abandonment is reported once";
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

} // namespace

TEST(SyncLocks, TimedEnterGivesUpOnASectionAnotherThreadHolds)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    ScopedHandle holding(NewEvent(true, false));
    ScopedHandle letGo(NewEvent(true, false));
    std::thread holder([&] {
        EnterCriticalSection(&section);
        // Re-entrant for the holder, at once.
        EXPECT_TRUE(AfEnterCriticalSectionWithin(&section, 0));
        LeaveCriticalSection(&section);
        SetEvent(holding.get());
        WaitForSingleObject(letGo.get(), INFINITE);
        LeaveCriticalSection(&section);
    });
    ASSERT_EQ(WaitForSingleObject(holding.get(), 10000), WAIT_OBJECT_0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(AfEnterCriticalSectionWithin(&section, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
    SetEvent(letGo.get());
    EXPECT_TRUE(AfEnterCriticalSectionWithin(&section, 10000));
    LeaveCriticalSection(&section);
    holder.join();
    DeleteCriticalSection(&section);
}
