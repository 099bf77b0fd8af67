// The notification channel: the receiver table and its ids, runs handed from worker threads to the
// owner thread (the test's main thread, which registers first), time-outs, exceptions, and the
// wait for a worker's end that keeps serving the worker's notifications.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class QtApplicationEnvironment : public testing::Environment {
public:
    void SetUp() override { mApp = std::make_unique<QCoreApplication>(mArgc, mArgv); }
    void TearDown() override { mApp.reset(); }

private:
    int mArgc = 1;
    char mName[16] = "safesync_test";
    char* mArgv[2] = {mName, nullptr};
    std::unique_ptr<QCoreApplication> mApp;
};

testing::Environment* const gQtEnvironment = testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// Runs `work` on a worker thread while the main thread runs its Qt event loop; returns when the
// worker has finished (or after a generous safety limit, which fails the test).
void RunWorkerServedByEventLoop(const std::function<void()>& work)
{
    QEventLoop loop;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        work();
        finished = true;
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    worker.join();
    EXPECT_TRUE(finished) << "the worker did not finish while the event loop ran";
}

// What a receiver saw: how often it ran and on which thread. Plain fields on purpose: the worker
// reads them after NotifyReceiver returns, which the hand-over must order.
struct Probe {
    int runs = 0;
    std::thread::id thread;
};

class SafeSyncTest : public testing::Test {
protected:
    void TearDown() override
    {
        for (DWORD id : mIds)
            UnregisterReceiver(id);
        SetApplicationExceptionHandler(nullptr);
    }

    DWORD Register(std::function<void()> proc)
    {
        const DWORD id = RegisterReceiver(std::move(proc));
        if (id != 0)
            mIds.push_back(id);
        return id;
    }

    DWORD RegisterProbe(Probe& probe, bool enabled = true)
    {
        const DWORD id = Register([&probe] {
            ++probe.runs;
            probe.thread = std::this_thread::get_id();
        });
        if (enabled) {
            EXPECT_TRUE(EnableReceiver(id, true));
        }
        return id;
    }

    // Collects what the application's exception display is handed.
    void CaptureShownExceptions()
    {
        SetApplicationExceptionHandler([this](std::exception_ptr exception) {
            mShownThread = std::this_thread::get_id();
            try {
                std::rethrow_exception(exception);
            } catch (const std::exception& e) {
                mShown.push_back(e.what());
            }
        });
    }

    std::vector<DWORD> mIds;
    std::vector<std::string> mShown;
    std::thread::id mShownThread;
    const std::thread::id mMainThread = std::this_thread::get_id();
};

// Must stay the first test of the file: it checks the ids of a fresh channel (CTest runs every
// test in a process of its own).
TEST_F(SafeSyncTest, IdsCountUpFromOneAndAreNotReusedForAFreedEntry)
{
    const DWORD first = Register([] {});
    const DWORD second = Register([] {});
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    EXPECT_TRUE(UnregisterReceiver(first));
    const DWORD third = Register([] {});
    EXPECT_EQ(third, 3u);
}

TEST_F(SafeSyncTest, TableTakesSixtyFourReceiversThenRefuses)
{
    std::vector<DWORD> ids;
    for (int i = 0; i < AF_SAFESYNC_MAX_RECEIVERS; ++i) {
        const DWORD id = Register([] {});
        ASSERT_NE(id, 0u) << "registration " << i + 1;
        for (DWORD earlier : ids)
            ASSERT_NE(id, earlier);
        ids.push_back(id);
    }
    EXPECT_EQ(RegisterReceiver([] {}), 0u);
    // A receiver that did not get an entry is never found.
    EXPECT_FALSE(EnableReceiver(0, true));
    EXPECT_FALSE(NotifyReceiver(0, 100));

    ASSERT_TRUE(UnregisterReceiver(ids[10]));
    const DWORD again = Register([] {});
    EXPECT_NE(again, 0u);
    EXPECT_GT(again, ids.back());
    EXPECT_FALSE(EnableReceiver(ids[10], true)) << "an old id must not reach the entry's new receiver";
}

TEST_F(SafeSyncTest, UnknownOrFreedIdsAreRefused)
{
    EXPECT_EQ(RegisterReceiver(TAfSafeSyncProc()), 0u) << "nothing to run";
    EXPECT_FALSE(UnregisterReceiver(0));
    EXPECT_FALSE(UnregisterReceiver(987654));
    EXPECT_FALSE(EnableReceiver(987654, true));

    Probe probe;
    const DWORD id = RegisterProbe(probe);
    EXPECT_TRUE(UnregisterReceiver(id));
    EXPECT_FALSE(UnregisterReceiver(id));
    EXPECT_FALSE(EnableReceiver(id, true));
    EXPECT_FALSE(NotifyReceiver(id, 100));
    EXPECT_EQ(probe.runs, 0);
}

TEST_F(SafeSyncTest, DisabledReceiverGivesFalseAtOnceAndRunsNothing)
{
    Probe probe;
    const DWORD id = RegisterProbe(probe, false);

    EXPECT_FALSE(NotifyReceiver(id, 100)); // owner thread
    bool result = true;
    long long elapsed = -1;
    std::thread worker([&] {
        const Clock::time_point start = Clock::now();
        result = NotifyReceiver(id, 5000);
        elapsed = MillisecondsSince(start);
    });
    worker.join(); // the main thread does not serve: a queued request would wait 5 s
    EXPECT_FALSE(result);
    EXPECT_LT(elapsed, 1000);

    ASSERT_TRUE(EnableReceiver(id, true));
    ASSERT_TRUE(EnableReceiver(id, false));
    EXPECT_FALSE(NotifyReceiver(id, 100));
    QCoreApplication::processEvents();
    EXPECT_EQ(probe.runs, 0);
}

TEST_F(SafeSyncTest, WorkerNotificationRunsOnOwnerThreadBeforeItReturnsTrue)
{
    Probe probe;
    const DWORD id = RegisterProbe(probe);

    bool result = false;
    int runsSeenBySender = -1;
    std::thread::id threadSeenBySender;
    RunWorkerServedByEventLoop([&] {
        result = NotifyReceiver(id, 10000);
        runsSeenBySender = probe.runs;
        threadSeenBySender = probe.thread;
    });
    EXPECT_TRUE(result);
    EXPECT_EQ(runsSeenBySender, 1);
    EXPECT_EQ(threadSeenBySender, mMainThread);
    EXPECT_EQ(probe.runs, 1);
}

TEST_F(SafeSyncTest, ManyWorkersAreServedOneRunEach)
{
    Probe probe;
    const DWORD id = RegisterProbe(probe);
    constexpr int kWorkers = 4;
    constexpr int kEach = 50;

    std::atomic<int> trueResults{0};
    RunWorkerServedByEventLoop([&] {
        std::vector<std::thread> workers;
        for (int w = 0; w < kWorkers; ++w)
            workers.emplace_back([&] {
                for (int i = 0; i < kEach; ++i)
                    if (NotifyReceiver(id, 10000))
                        ++trueResults;
            });
        for (std::thread& worker : workers)
            worker.join();
    });
    EXPECT_EQ(trueResults.load(), kWorkers * kEach);
    EXPECT_EQ(probe.runs, kWorkers * kEach);
    EXPECT_EQ(probe.thread, mMainThread);
}

TEST_F(SafeSyncTest, OwnerThreadCallRunsDirectly)
{
    Probe probe;
    const DWORD id = RegisterProbe(probe);
    // No event loop runs: the receiver can only have run inside the call.
    EXPECT_TRUE(NotifyReceiver(id, 0));
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(probe.thread, mMainThread);
}

TEST_F(SafeSyncTest, RaisingReceiverIsShownOnOwnerThreadAndSenderGetsTrue)
{
    CaptureShownExceptions();
    const DWORD raising = Register([] { throw Exception("Receiver failed"); });
    const DWORD aborting = Register([] { throw EAbort(); });
    ASSERT_TRUE(EnableReceiver(raising, true));
    ASSERT_TRUE(EnableReceiver(aborting, true));

    bool raisingResult = false;
    bool abortingResult = false;
    RunWorkerServedByEventLoop([&] {
        raisingResult = NotifyReceiver(raising, 10000);
        abortingResult = NotifyReceiver(aborting, 10000);
    });
    EXPECT_TRUE(raisingResult);
    EXPECT_TRUE(abortingResult);
    ASSERT_EQ(mShown.size(), 1u) << "a silent abort shows nothing";
    EXPECT_EQ(mShown[0], "Receiver failed");
    EXPECT_EQ(mShownThread, mMainThread);

    // The same on the owner thread's direct call.
    EXPECT_TRUE(NotifyReceiver(raising, 0));
    EXPECT_EQ(mShown.size(), 2u);
}

TEST_F(SafeSyncTest, SenderGivesUpWhenOwnerDoesNotServeAndTheRunIsDropped)
{
    Probe probe;
    const DWORD id = RegisterProbe(probe);

    bool result = false;
    long long elapsed = -1;
    std::thread worker([&] {
        const Clock::time_point start = Clock::now();
        result = NotifyReceiver(id, 300);
        elapsed = MillisecondsSince(start);
    });
    worker.join(); // blocks the owner thread: nothing is served meanwhile
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 3000);
    EXPECT_TRUE(result) << "the receiver is still enabled";

    // The abandoned request must not run once the owner thread serves again.
    QCoreApplication::processEvents();
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(SafeSyncWaitFor(never, 50), WAIT_TIMEOUT);
    CloseHandle(never);
    EXPECT_EQ(probe.runs, 0);
}

TEST_F(SafeSyncTest, ReceiverDisabledOrGoneByTheEndOfTheRunGivesFalse)
{
    DWORD disabling = 0;
    DWORD unregistering = 0;
    int runs = 0;
    disabling = Register([&] {
        ++runs;
        EnableReceiver(disabling, false);
    });
    unregistering = Register([&] {
        ++runs;
        UnregisterReceiver(unregistering);
    });
    ASSERT_TRUE(EnableReceiver(disabling, true));
    ASSERT_TRUE(EnableReceiver(unregistering, true));

    bool disablingResult = true;
    bool unregisteringResult = true;
    RunWorkerServedByEventLoop([&] {
        disablingResult = NotifyReceiver(disabling, 10000);
        unregisteringResult = NotifyReceiver(unregistering, 10000);
    });
    EXPECT_EQ(runs, 2);
    EXPECT_FALSE(disablingResult);
    EXPECT_FALSE(unregisteringResult);
}

TEST_F(SafeSyncTest, ReceiverDisabledWhileTheSenderWaitsRunsNothing)
{
    Probe probe;
    const DWORD id = RegisterProbe(probe);

    bool result = true;
    std::thread worker([&] { result = NotifyReceiver(id, 10000); });
    // Whether the request is queued yet or not, it must not run once the receiver is disabled.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(EnableReceiver(id, false));
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(SafeSyncWaitFor(never, 100), WAIT_TIMEOUT);
    CloseHandle(never);
    worker.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(probe.runs, 0);
}

TEST_F(SafeSyncTest, DisablingOrUnregisteringAReceiverDuringItsRunLetsTheSenderGoAtOnce)
{
    for (const bool unregister : {false, true}) {
        SCOPED_TRACE(unregister ? "unregistered" : "disabled");
        HANDLE senderDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD id = 0;
        bool senderWentDuringTheRun = false;
        id = Register([&] {
            if (unregister)
                UnregisterReceiver(id);
            else
                EnableReceiver(id, false);
            // As a port closed from its own handler: the run waits for its sender's thread.
            senderWentDuringTheRun = WaitForSingleObject(senderDone, 5000) == WAIT_OBJECT_0;
        });
        ASSERT_TRUE(EnableReceiver(id, true));
        bool result = true;
        RunWorkerServedByEventLoop([&] {
            result = NotifyReceiver(id, 10000);
            SetEvent(senderDone);
        });
        EXPECT_TRUE(senderWentDuringTheRun);
        EXPECT_FALSE(result);
        CloseHandle(senderDone);
    }
}

TEST_F(SafeSyncTest, OwnerWaitingForAWorkersEndServesItsNotification)
{
    Probe probe;
    struct Work {
        DWORD id;
        Probe* probe;
        bool result = false;
        int runsSeen = -1;
    } work{RegisterProbe(probe), &probe};

    const Clock::time_point start = Clock::now();
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto* w = static_cast<Work*>(parameter);
            w->result = NotifyReceiver(w->id, 8000);
            w->runsSeen = w->probe->runs;
            return 0;
        },
        &work, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(SafeSyncWaitFor(thread, 15000), WAIT_OBJECT_0);
    EXPECT_LT(MillisecondsSince(start), 4000) << "the notification ran into its time-out";
    CloseHandle(thread);
    EXPECT_TRUE(work.result);
    EXPECT_EQ(work.runsSeen, 1);
    EXPECT_EQ(probe.thread, mMainThread);
}

TEST_F(SafeSyncTest, WaitServesOnlyChannelRequestsAndTimesOut)
{
    Probe probe;
    const DWORD id = RegisterProbe(probe);
    bool otherEventRan = false;
    QMetaObject::invokeMethod(
        qApp, [&] { otherEventRan = true; }, Qt::QueuedConnection);

    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool result = false;
    std::thread worker([&] {
        result = NotifyReceiver(id, 8000);
        SetEvent(done);
    });
    EXPECT_EQ(SafeSyncWaitFor(done, 15000), WAIT_OBJECT_0);
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_FALSE(otherEventRan) << "other events wait for the event loop";

    ResetEvent(done);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(SafeSyncWaitFor(done, 100), WAIT_TIMEOUT);
    EXPECT_GE(MillisecondsSince(start), 90);
    EXPECT_EQ(SafeSyncWaitFor(nullptr, 10), WAIT_FAILED);
    CloseHandle(done);

    QCoreApplication::processEvents();
    EXPECT_TRUE(otherEventRan);
}

TEST_F(SafeSyncTest, WaitOnAnotherThreadIsAPlainWait)
{
    Register([] {}); // makes the main thread the owner
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD first = 0;
    DWORD second = 0;
    std::thread worker([&] {
        first = SafeSyncWaitFor(event, 20);
        SetEvent(event);
        second = SafeSyncWaitFor(event, 1000);
    });
    worker.join();
    EXPECT_EQ(first, WAIT_TIMEOUT);
    EXPECT_EQ(second, WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST_F(SafeSyncTest, SynchronizeRunsOnOwnerThreadWithoutLimitAndShowsExceptions)
{
    Register([] {});
    CaptureShownExceptions();

    std::thread::id ranOn;
    SafeSyncSynchronize([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, mMainThread);

    ranOn = {};
    struct Work {
        std::thread::id* ranOn;
    } work{&ranOn};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto* w = static_cast<Work*>(parameter);
            SafeSyncSynchronize([w] { *w->ranOn = std::this_thread::get_id(); });
            SafeSyncSynchronize([] { throw Exception("Worker failed"); });
            return 0;
        },
        &work, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(SafeSyncWaitFor(thread, 15000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(ranOn, mMainThread);
    ASSERT_EQ(mShown.size(), 1u);
    EXPECT_EQ(mShown[0], "Worker failed");
    EXPECT_EQ(mShownThread, mMainThread);
}

TEST(ApplicationExceptionTest, WithoutHandlerTheMessageGoesToStandardErrorAndAbortsStaySilent)
{
    SetApplicationExceptionHandler(nullptr);
    testing::internal::CaptureStderr();
    ApplicationHandleException(std::make_exception_ptr(Exception("Port lost")));
    ApplicationHandleException(std::make_exception_ptr(EAbort()));
    ApplicationHandleException(nullptr);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, "Port lost\n");
}

TEST(ApplicationExceptionTest, AFailingHandlerDoesNotLetTheExceptionEscape)
{
    SetApplicationExceptionHandler([](std::exception_ptr) { throw std::runtime_error("Display broken"); });
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(ApplicationHandleException(std::make_exception_ptr(Exception("Port lost"))));
    const std::string written = testing::internal::GetCapturedStderr();
    SetApplicationExceptionHandler(nullptr);
    EXPECT_NE(written.find("Port lost"), std::string::npos);
}

} // namespace
