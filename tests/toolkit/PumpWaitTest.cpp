#include "PumpWait.h"
#include "ProcessProbes.h"
#include "ToolkitTestApp.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Ticks that advance by one at every reading, starting at `first`.
class TSteppingTicks {
public:
    explicit TSteppingTicks(uint32_t first) : FNext(first)
    {
        FPrevious = SetTickSource([this] {
            ++Readings;
            return FNext++;
        });
    }
    ~TSteppingTicks() { SetTickSource(FPrevious); }
    int Readings = 0;

private:
    uint32_t FNext;
    TTickSource FPrevious;
};

class PumpWaitTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }
};

TEST_F(PumpWaitTest, EndsAtTheFirstReadingMoreThanMsAfterTheStart)
{
    for (uint32_t first : {1000u, 0xFFFFFFFEu}) { // the second run wraps round
        TSteppingTicks ticks(first);
        PumpWait(3);
        // The start, then readings at +1, +2, +3 (not yet past) and +4 (past).
        EXPECT_EQ(ticks.Readings, 5) << "first tick " << first;
    }
}

TEST_F(PumpWaitTest, WaitsAtLeastMsOnTheRealClock)
{
    const auto start = Clock::now();
    PumpWait(120);
    const long long took = MsSince(start);
    EXPECT_GE(took, 120);
    EXPECT_LT(took, 1000);
}

TEST_F(PumpWaitTest, WaitsTheFullTimeAcrossTheWrapOfTheCounter)
{
    // A tick counter 40 ms short of its wrap.
    const uint32_t offset = 0xFFFFFFFFu - 40 - TickCount();
    TTickSource previous = SetTickSource([offset] {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) +
               offset;
    });
    const auto start = Clock::now();
    PumpWait(150);
    const long long took = MsSince(start);
    SetTickSource(previous);
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 1000);
}

TEST_F(PumpWaitTest, ProcessesEventsAtLeastOnceAndWhileWaiting)
{
    bool early = false;
    QTimer::singleShot(0, [&] { early = true; });
    PumpWait(0);
    EXPECT_TRUE(early);

    int fired = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++fired; });
    timer.start(20);
    PumpWait(200);
    timer.stop();
    EXPECT_GE(fired, 3); // about 10; a loaded machine may drop a few
}

TEST_F(PumpWaitTest, SleepsInsteadOfSpinning)
{
    const double cpuBefore = CpuMs();
    PumpWait(300);
    EXPECT_LT(CpuMs() - cpuBefore, 60.0);
}

TEST_F(PumpWaitTest, SleepsOnAThreadWithoutAnEventLoop)
{
    long long took = 0;
    double cpu = 0;
    std::thread worker([&] {
        const auto start = Clock::now();
        const double cpuBefore = CpuMs();
        PumpWait(100);
        cpu = CpuMs() - cpuBefore;
        took = MsSince(start);
    });
    worker.join();
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 1000);
    EXPECT_LT(cpu, 60.0);
}

TEST_F(PumpWaitTest, PumpUntilSeesAConditionSetByAnotherThread)
{
    constexpr int kSetterMs = 60;
    std::atomic<bool> done{false};
    int events = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++events; });
    timer.start(5);
    // Taken before the setter exists, so that however late this thread runs again, the setter's
    // whole sleep lies inside the measured time.
    const auto start = Clock::now();
    const double cpuBefore = CpuMs();
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSetterMs));
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 10));
    const double cpu = CpuMs() - cpuBefore;
    const long long took = MsSince(start);
    timer.stop();
    setter.join();
    EXPECT_GE(took, kSetterMs);
    EXPECT_LT(took, 1000);
    EXPECT_GT(events, 0);
    EXPECT_LT(cpu, 60.0);
}

TEST_F(PumpWaitTest, PumpUntilChecksAfterProcessingAndGivesUpAtTheTimeout)
{
    bool flag = false;
    QTimer::singleShot(0, [&] { flag = true; });
    // The condition becomes true only through the pending event.
    EXPECT_TRUE(PumpUntil([&] { return flag; }, 1000, 5000));

    const auto start = Clock::now();
    EXPECT_FALSE(PumpUntil([] { return false; }, 10, 100));
    const long long took = MsSince(start);
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 1000);
}

} // namespace
