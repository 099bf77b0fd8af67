// The port core's threads in the interleavings that matter, each made to happen every time by
// stopping a thread inside a platform call (CoreHooks.h): a purge that lands between the write
// thread taking a run and the device getting it, two purgers at once, a purge on the event thread
// while the port closes, and worker threads that cannot be made. Also when the event thread polls
// the input queue: only while unread input is queued.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "AfTestDevice.h"
#include "CoreHooks.h"
#include "CoreTestSupport.h"

using namespace coretest;

namespace {

constexpr int kCom = 135;

const std::string kPortDir = AfTestPortDirectory();

Bytes Frame(std::uint8_t Tag)
{
    return Bytes(8, Tag);
}

// The frames among `Sent`, which must be whole 8-byte frames of the given tags, in their order.
std::vector<std::uint8_t> FramesOf(const Bytes& Sent)
{
    std::vector<std::uint8_t> tags;
    for (std::size_t at = 0; at < Sent.size(); at += 8) {
        const Bytes frame(Sent.begin() + static_cast<std::ptrdiff_t>(at),
                          Sent.begin() + static_cast<std::ptrdiff_t>(std::min(at + 8, Sent.size())));
        EXPECT_EQ(frame, Frame(frame.front())) << "torn frame at byte " << at;
        tags.push_back(frame.front());
    }
    return tags;
}

class CoreInterleavingTest : public testing::Test {
protected:
    void SetUp() override
    {
        FDevice = std::make_unique<AfTestDevice>("interleaving-" + std::to_string(++FSerial));
        FDevice->RegisterAsCom(kCom);
        FCore = std::make_unique<TAfComPortCore>();
        FCore->SetDCB(TestDcb());
        FCore->OnCoreEvent = FLog.Callback();
    }

    void TearDown() override
    {
        // Nothing may stay stopped, whatever the test left.
        for (THookPoint* point :
             {&gWriteStart, &gSetEvent, &gPurgeWaitEntered, &gPurgeWaitReturned, &gLockBusy})
            point->Release();
        FailThreadCreation(-1);
        FCore.reset();
        FDevice.reset();
    }

    // What the line took once the ring has run empty.
    Bytes SentOnceDrained()
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (FCore->OutputUsed() != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return FDevice->TakeSent();
    }

    static inline int FSerial = 0;
    std::unique_ptr<AfTestDevice> FDevice;
    TCoreEventLog FLog;
    std::unique_ptr<TAfComPortCore> FCore;
};

// The owner queues a frame, queues a second and purges, then queues two more. The write thread
// is stopped at the start of each device write; the purger is stopped once it has its answer, so
// that it clears the ring exactly while the write thread holds the run it took before the purge.
TEST_F(CoreInterleavingTest, PurgeBetweenTakingARunAndWritingItLetsNoStaleBytesOut)
{
    ASSERT_TRUE(FCore->Open(kCom));
    std::promise<void> secondStep;
    std::atomic<bool> ownerDone{false};
    std::atomic<bool> purged{false};
    gWriteStart.Watch({}, true);
    std::thread owner([&] {
        EXPECT_TRUE(FCore->WriteData(Frame(1).data(), 8));
        secondStep.get_future().wait();
        EXPECT_TRUE(FCore->WriteData(Frame(2).data(), 8));
        purged = FCore->PurgeOutput();
        EXPECT_TRUE(FCore->WriteData(Frame(3).data(), 8));
        EXPECT_TRUE(FCore->WriteData(Frame(4).data(), 8));
        ownerDone = true;
    });
    ASSERT_TRUE(gWriteStart.WaitStopped(2000)) << "the first frame never reached the device";

    gPurgeWaitEntered.Watch(owner.get_id(), false);
    gPurgeWaitReturned.Watch(owner.get_id(), true);
    secondStep.set_value();
    // Where the ring is not locked during the write, the owner is now waiting for its answer.
    gPurgeWaitEntered.WaitReached(1, 500);
    gWriteStart.Release(true);
    // The write thread answers and takes the next run; the purger stays stopped meanwhile.
    gWriteStart.WaitStopped(2000);
    gPurgeWaitReturned.Release();
    // The purger clears the ring and refills it, unless it has to wait for the write.
    for (int i = 0; i < 100 && !ownerDone; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    gWriteStart.Release();
    owner.join();
    EXPECT_TRUE(purged);

    const auto tags = FramesOf(SentOnceDrained());
    ASSERT_GE(tags.size(), 3u);
    EXPECT_EQ(tags.front(), 1);
    for (std::size_t i = 1; i < tags.size(); ++i)
        EXPECT_LT(tags[i - 1], tags[i]) << "frames out of order or twice";
    EXPECT_EQ(tags[tags.size() - 2], 3);
    EXPECT_EQ(tags.back(), 4);
}

TEST_F(CoreInterleavingTest, TwoPurgersAtOnceEachGetTheirAnswer)
{
    ASSERT_TRUE(FCore->Open(kCom));
    gWriteStart.Watch({}, true);
    ASSERT_TRUE(FCore->WriteData(Frame(1).data(), 8));
    ASSERT_TRUE(gWriteStart.WaitStopped(2000));

    // Both ask while the write thread is away from its waits.
    gPurgeWaitEntered.Watch({}, false);
    auto first = std::async(std::launch::async, [&] { return FCore->PurgeOutput(); });
    auto second = std::async(std::launch::async, [&] { return FCore->PurgeOutput(); });
    gPurgeWaitEntered.WaitReached(2, 500);
    gWriteStart.Release();
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());

    ASSERT_TRUE(FCore->WriteData(Frame(2).data(), 8));
    EXPECT_EQ(FramesOf(SentOnceDrained()), (std::vector<std::uint8_t>{1, 2}));
}

// The component purges from its callback on the event thread; the user-interface thread closes
// meanwhile. The purger is stopped just before it signals the write thread, the close goes as far
// as it can, and then the purger goes on.
TEST_F(CoreInterleavingTest, PurgeOnTheEventThreadWhileThePortClosesIsSafe)
{
    std::promise<bool> purgeResult;
    std::atomic<bool> purging{false};
    FCore->OnCoreEvent = FLog.Callback([&](TObject* sender, TAfCoreEvent kind, DWORD) {
        if (kind != ceCommEvent || purging.exchange(true))
            return;
        gSetEvent.Watch(std::this_thread::get_id(), true);
        purgeResult.set_value(static_cast<TAfComPortCore*>(sender)->PurgeOutput());
    });
    ASSERT_TRUE(FCore->Open(kCom));
    FDevice->Inject({0x10});
    ASSERT_TRUE(gSetEvent.WaitStopped(3000)) << "the callback did not purge";

    // Nothing else holds a lock of the core now: the close finds one held only where it waits for
    // the purge, which holds the write thread, before it stops that thread.
    gLockBusy.Watch({}, false);
    auto closing = std::async(std::launch::async, [&] { FCore->Close(); });
    EXPECT_TRUE(gLockBusy.WaitReached(1, 5000)) << "the close stopped the write thread under the purger";
    gSetEvent.Release();

    auto result = purgeResult.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    result.get(); // either answer is right for a purge that met a close
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    closing.get();
    EXPECT_FALSE(FCore->IsOpen());
    EXPECT_FALSE(FDevice->IsOpen());
    ASSERT_TRUE(FCore->Open(kCom));
}

TEST_F(CoreInterleavingTest, WorkerThreadsThatCannotBeMadeFailTheOpenWithItsMessage)
{
    for (int succeeding : {0, 1}) {
        SCOPED_TRACE(succeeding == 0 ? "no write thread" : "no event thread");
        FailThreadCreation(succeeding);
        try {
            FCore->Open(kCom);
            ADD_FAILURE() << "the open succeeded";
        } catch (const EAfComPortCoreError& error) {
            EXPECT_STREQ(error.what(), "Error creating threads");
        } catch (const std::exception& error) {
            ADD_FAILURE() << "raised " << error.what() << " instead of the core's error";
        }
        EXPECT_FALSE(FCore->IsOpen());
        EXPECT_EQ(FCore->Handle(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(FDevice->IsOpen());
        EXPECT_EQ(ThreadsRunning(), 0) << "a worker thread was left running";
    }
    ASSERT_TRUE(FCore->Open(kCom));
    ASSERT_TRUE(FCore->WriteData(Frame(5).data(), 8));
    EXPECT_EQ(FramesOf(SentOnceDrained()), std::vector<std::uint8_t>{5});
}

// A comm event that the owner serves by reading costs the driver no count query of the event
// thread's own: the thread asks for the count only in its poll. Each callback brings the next
// byte before it returns, so that the next event is there at once and no poll comes in between.
TEST_F(CoreInterleavingTest, TheEventThreadAsksNoCountAfterACommEvent)
{
    constexpr std::size_t kEvents = 5;
    std::vector<int> countsAtEvent; // the event thread's only
    std::promise<void> chainDone;
    FCore->OnCoreEvent = FLog.Callback([&](TObject* sender, TAfCoreEvent kind, DWORD data) {
        if (kind != ceCommEvent || (data & EV_RXCHAR) == 0 || countsAtEvent.size() == kEvents)
            return;
        countsAtEvent.push_back(ComStatCalls());
        std::uint8_t buffer[8];
        static_cast<TAfComPortCore*>(sender)->ReadData(buffer, sizeof buffer);
        if (countsAtEvent.size() == kEvents) {
            chainDone.set_value();
            return;
        }
        FDevice->Inject({static_cast<std::uint8_t>(countsAtEvent.size())});
        FDevice->WaitInputTaken(2000);
    });
    ASSERT_TRUE(FCore->Open(kCom));
    FDevice->Inject({0});
    ASSERT_EQ(chainDone.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    FCore->Close();
    EXPECT_EQ(countsAtEvent.back(), countsAtEvent.front())
        << "the event thread asked for the count after events";
}

// The 200 ms poll serves unread input only: an idle port is not polled at all, input that the
// owner leaves queued is reported every poll, and once it is read the polling stops again.
TEST(CorePoll, RunsOnlyWhileUnreadInputIsQueued)
{
    AfPtyPort pty(kCom + 1);
    TCoreEventLog log;
    TAfComPortCore core;
    core.SetDCB(TestDcb());
    core.OnCoreEvent = log.Callback();
    ASSERT_TRUE(core.Open(kCom + 1));

    const int idleStart = ComStatCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(ComStatCalls(), idleStart) << "an idle port was polled";

    ASSERT_TRUE(pty.Send(Bytes{1, 2, 3}));
    ASSERT_TRUE(log.WaitCount(ceInputPending, 3, 10000));
    for (const auto& record : log.Records()) {
        if (record.Kind == ceInputPending) {
            EXPECT_EQ(record.Data, 3u);
        }
    }

    std::uint8_t buffer[8];
    ASSERT_EQ(core.ReadData(buffer, sizeof buffer), 3);
    // The next poll finds the queue empty and is the last one.
    const int afterRead = ComStatCalls();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (ComStatCalls() == afterRead && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int settled = ComStatCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(ComStatCalls(), settled) << "the poll went on after the input was read";
    core.Close();
}

} // namespace
