// The port core with the notification channel, as the component uses it: events handed from the
// event thread to the main thread (which owns the channel). Closing must serve a hand-over in
// progress instead of waiting for its time-out, and many open/close cycles with bytes flowing
// both ways and events reported on both threads must not hang, leak or race.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <memory>
#include <thread>

#include "AfComPortCore.h"
#include "AfPtyPort.h"
#include "AfSafeSync.h"
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
        for (int wait = 0; wait < 400 && inCallback == before; ++wait)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        ASSERT_GT(inCallback, before) << "cycle " << i;
        core.Close();
        ASSERT_EQ(sawClosed, inCallback.load()) << "cycle " << i;
    }
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
