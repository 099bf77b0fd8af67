// The port core with the notification channel, as the component uses it: events handed from the
// event thread to the main thread (which owns the channel). Closing must serve a hand-over in
// progress instead of waiting for its time-out, and many open/close cycles with bytes flowing
// both ways and events reported on both threads must not hang, leak or race. Purges among queued
// frames may drop frames but never reorder, repeat or tear them, and purges and priority changes
// on the event thread must be safe against a close.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "CoreTestSupport.h"

using namespace coretest;

namespace {

constexpr int kCom = 141;
constexpr int kCycles = 1000;

const std::string kPortDir = AfTestPortDirectory();

class QtApplicationEnvironment : public testing::Environment {
public:
    void SetUp() override { FApp = std::make_unique<QCoreApplication>(FArgc, FArgv); }
    void TearDown() override { FApp.reset(); }

private:
    int FArgc = 1;
    char FName[24] = "core_stress_test";
    char* FArgv[2] = {FName, nullptr};
    std::unique_ptr<QCoreApplication> FApp;
};

testing::Environment* const gQtEnvironment = testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

TEST(CoreChannelTest, CloseServesAHandOverInProgress)
{
    AfPtyPort pty(kCom);
    TAfComPortCore core;
    core.SetDCB(TestDcb());
    std::atomic<bool> handingOver{false};
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> handedBack{false};
    const std::thread::id mainThread = std::this_thread::get_id();
    const DWORD receiver = RegisterReceiver([&] { ranOnMain = std::this_thread::get_id() == mainThread; });
    ASSERT_NE(receiver, 0u);
    ASSERT_TRUE(EnableReceiver(receiver, true));
    core.OnCoreEvent = [&](TObject*, TAfCoreEvent kind, DWORD, std::exception_ptr) {
        if (kind != ceCommEvent || handingOver.exchange(true))
            return;
        NotifyReceiver(receiver, 2000);
        handedBack = true;
    };
    ASSERT_TRUE(core.Open(kCom));
    ASSERT_TRUE(pty.Send({'n'}));
    // The main thread serves nothing meanwhile: the event thread stays in its hand-over.
    for (int i = 0; i < 200 && !handingOver; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(handingOver);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(handedBack);

    const auto start = Clock::now();
    core.Close();
    const auto closeMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(closeMs, 1500) << "the close waited for the hand-over's time-out";
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(handedBack);
    UnregisterReceiver(receiver);
}

// A callback that keeps using the device until the port closes: reads, status queries and line
// errors on the event thread racing with a close that holds the device lock while it waits for
// the event thread to end. Each close must end, and the callback must see the port closed.
TEST(CoreStressTest, CloseWhileTheCallbackKeepsUsingTheDevice)
{
    AfPtyPort pty(kCom);
    TAfComPortCore core;
    core.SetDCB(TestDcb());
    std::atomic<int> inCallback{0};
    std::atomic<int> sawClosed{0};
    core.OnCoreEvent = [&](TObject* sender, TAfCoreEvent kind, DWORD, std::exception_ptr) {
        if (kind != ceCommEvent)
            return;
        auto* port = static_cast<TAfComPortCore*>(sender);
        ++inCallback;
        std::uint8_t buffer[16];
        COMSTAT stat{};
        for (;;) {
            if (port->ReadData(buffer, sizeof buffer) < 0)
                break;
            port->GetComStat(stat);
            port->TakeLineErrors();
        }
        ++sawClosed;
    };
    for (int i = 0; i < 200; ++i) {
        const int before = inCallback;
        ASSERT_TRUE(core.Open(kCom));
        ASSERT_TRUE(pty.Send({'r'}));
        // The kernel hands a pseudo-terminal's bytes over on a worker thread of its own, which a
        // loaded machine can hold up for seconds: the limit is for a byte that never comes.
        const auto limit = Clock::now() + std::chrono::seconds(20);
        while (inCallback == before && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_GT(inCallback, before) << "cycle " << i;
        core.Close();
        ASSERT_EQ(sawClosed, inCallback.load()) << "cycle " << i;
    }
}

// Checks a stream of frames as the far end receives it. A frame is 0xFF, its number in four 7-bit
// bytes, 20 bytes derived from the number and 0xFE. A purge may cut the frame on the line short;
// anything else (a frame out of order or twice, bytes that belong to no frame) is a fault.
class TFrameChecker {
public:
    static constexpr std::size_t kFrameSize = 26;

    static Bytes Frame(std::uint32_t Number)
    {
        Bytes frame{0xFF};
        for (int shift = 21; shift >= 0; shift -= 7)
            frame.push_back(static_cast<std::uint8_t>((Number >> shift) & 0x7F));
        for (std::uint32_t i = 0; i < 20; ++i)
            frame.push_back(static_cast<std::uint8_t>((Number * 7 + i) & 0x7F));
        frame.push_back(0xFE);
        return frame;
    }

    void Take(const std::uint8_t* Data, std::size_t Count)
    {
        for (std::size_t i = 0; i < Count; ++i) {
            if (Data[i] == 0xFF)
                EndChunk();
            FChunk.push_back(Data[i]);
        }
    }

    // Checks the last chunk too; the number of faults seen.
    std::size_t Finish()
    {
        EndChunk();
        return FFaults;
    }
    std::size_t Whole() const { return FWhole; }
    const std::string& FirstFault() const { return FFirstFault; }

private:
    void EndChunk()
    {
        if (FChunk.empty())
            return;
        if (FChunk.front() != 0xFF)
            Fault("bytes before any frame");
        else if (FChunk.size() >= 5)
            CheckFrame();
        FChunk.clear();
    }

    void CheckFrame()
    {
        std::uint32_t number = 0;
        for (std::size_t i = 1; i < 5; ++i)
            number = number << 7 | FChunk[i];
        const Bytes expected = Frame(number);
        if (FChunk.size() > expected.size() || !std::equal(FChunk.begin(), FChunk.end(), expected.begin()))
            Fault("torn frame " + std::to_string(number));
        else if (FSeen && number <= FLast)
            Fault("frame " + std::to_string(number) + " after " + std::to_string(FLast));
        FWhole += FChunk.size() == expected.size() ? 1 : 0;
        FLast = std::max(FLast, number);
        FSeen = true;
    }

    void Fault(const std::string& What)
    {
        if (FFaults++ == 0)
            FFirstFault = What;
    }

    Bytes FChunk;
    bool FSeen = false;
    std::uint32_t FLast = 0;
    std::size_t FWhole = 0;
    std::size_t FFaults = 0;
    std::string FFirstFault;
};

// The owner alone queues three frames and purges, many times, while the far end reads.
TEST(CoreStressTest, PurgesAmongQueuedFramesNeverReorderRepeatOrTearThem)
{
    AfPtyPort pty(kCom);
    TAfComPortCore core;
    core.SetDCB(TestDcb());
    core.SetOutQueueSize(2048);
    ASSERT_TRUE(core.Open(kCom));

    TFrameChecker checker;
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
        std::uint8_t buffer[4096];
        for (;;) {
            pollfd in{pty.MasterFd(), POLLIN, 0};
            if (poll(&in, 1, 20) <= 0) {
                if (stop)
                    return;
                continue;
            }
            const ssize_t n = read(pty.MasterFd(), buffer, sizeof buffer);
            if (n > 0)
                checker.Take(buffer, static_cast<std::size_t>(n));
        }
    });

    std::uint32_t number = 0;
    std::size_t purgeFailures = 0;
    for (int round = 0; round < 20000; ++round) {
        for (int i = 0; i < 3; ++i) {
            const Bytes frame = TFrameChecker::Frame(number++);
            // A full ring refuses the frame whole; the next purge makes room.
            core.WriteData(frame.data(), static_cast<std::int32_t>(frame.size()));
        }
        purgeFailures += core.PurgeOutput() ? 0 : 1;
    }
    const Bytes last = TFrameChecker::Frame(number);
    ASSERT_TRUE(core.WriteData(last.data(), static_cast<std::int32_t>(last.size())));
    for (int i = 0; i < 1000 && core.OutputUsed() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
    farEnd.join();
    core.Close();

    EXPECT_EQ(checker.Finish(), 0u) << "first fault: " << checker.FirstFault();
    EXPECT_EQ(purgeFailures, 0u);
    EXPECT_GT(checker.Whole(), 0u);
    std::printf("%u frames queued, %zu arrived whole\n", number + 1, checker.Whole());
}

// The component purges from its callback on the event thread, and may change the threads'
// priorities there, while the user-interface thread purges and closes. Every close must be prompt.
TEST(CoreStressTest, PurgesAndPriorityChangesOnTheEventThreadWhileThePortCloses)
{
    AfPtyPort pty(kCom);
    TAfComPortCore core;
    core.SetDCB(TestDcb());
    std::atomic<int> calls{0};
    core.OnCoreEvent = [&](TObject* sender, TAfCoreEvent, DWORD, std::exception_ptr) {
        auto* port = static_cast<TAfComPortCore*>(sender);
        const int call = ++calls;
        port->SetWriteThreadPriority(call % 2 ? tpNormal : tpHigher);
        port->PurgeOutput();
        port->SetEventThreadPriority(call % 2 ? tpLower : tpNormal);
        port->PurgeOutput();
    };
    const Bytes frame = TFrameChecker::Frame(1);
    double slowestMs = 0;
    for (int cycle = 0; cycle < 300; ++cycle) {
        const int before = calls;
        ASSERT_TRUE(core.Open(kCom)) << "cycle " << cycle;
        ASSERT_TRUE(pty.Send({0x55}));
        for (int wait = 0; wait < 400 && calls == before; ++wait)
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        core.WriteData(frame.data(), static_cast<std::int32_t>(frame.size()));
        if (cycle % 2)
            core.PurgeOutput();
        const auto start = Clock::now();
        core.Close();
        slowestMs =
            std::max(slowestMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        pty.ReceiveUntilQuiet(0);
    }
    EXPECT_GT(calls.load(), 0);
    EXPECT_LT(slowestMs, 1500) << "a close waited for a purge's answer";
    std::printf("%d callbacks; slowest close %.1f ms\n", calls.load(), slowestMs);
}

TEST(CoreStressTest, OpenCloseCyclesWithTrafficBothWaysAndEventsFlowing)
{
    AfPtyPort pty(kCom);
    TFarEnd farEnd(pty.MasterFd(), true);
    TAfComPortCore core;
    core.SetDCB(TestDcb());

    std::atomic<std::size_t> events{0};
    std::atomic<std::size_t> readOnEventThread{0};
    std::atomic<std::size_t> readOnMainThread{0};
    std::atomic<bool> mainReads{true};

    const DWORD receiver = RegisterReceiver([&] {
        std::uint8_t buffer[256];
        if (!mainReads)
            return;
        const std::int32_t n = core.ReadData(buffer, sizeof buffer);
        if (n > 0)
            readOnMainThread += static_cast<std::size_t>(n);
    });
    ASSERT_NE(receiver, 0u);

    std::atomic<int> cycle{0};
    core.OnCoreEvent = [&](TObject* sender, TAfCoreEvent kind, DWORD, std::exception_ptr error) {
        ++events;
        EXPECT_FALSE(error) << "no exception expected";
        if (kind == ceCommEvent && cycle % 2 == 0) {
            std::uint8_t buffer[256];
            const std::int32_t n = static_cast<TAfComPortCore*>(sender)->ReadData(buffer, sizeof buffer);
            if (n > 0)
                readOnEventThread += static_cast<std::size_t>(n);
        }
        NotifyReceiver(receiver, 2000);
    };

    std::uint8_t frame[32];
    for (std::size_t i = 0; i < sizeof frame; ++i)
        frame[i] = static_cast<std::uint8_t>(i * 7);

    const auto start = Clock::now();
    for (int i = 0; i < kCycles; ++i) {
        cycle = i;
        EnableReceiver(receiver, true);
        mainReads = true;
        ASSERT_TRUE(core.Open(kCom)) << "cycle " << i;
        ASSERT_TRUE(core.WriteData(frame, sizeof frame));
        if (i % 10 == 0) {
            // Let the echo come back and the notifications run in the event loop.
            QEventLoop loop;
            QTimer::singleShot(15, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (i % 3 == 0) {
            // The component's order: stop taking notifications, then close.
            mainReads = false;
            EnableReceiver(receiver, false);
        }
        core.Close();
        ASSERT_FALSE(core.IsOpen());
    }
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    UnregisterReceiver(receiver);

    EXPECT_GT(farEnd.Received(), 0u);
    EXPECT_GT(events.load(), 0u);
    EXPECT_GT(readOnEventThread + readOnMainThread, 0u);
    RecordProperty("seconds", std::to_string(seconds));
    std::printf("%d cycles in %.1f s; %zu events, %zu bytes at the far end, %zu read on the event thread, "
                "%zu on the main "
                "thread\n",
                kCycles, seconds, events.load(), farEnd.Received(), readOnEventThread.load(),
                readOnMainThread.load());
}

} // namespace
