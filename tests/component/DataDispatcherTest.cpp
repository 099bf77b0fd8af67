// The data dispatcher: the link with its connection, rounds of received data served to OnData and
// the listeners on the main thread (blocks handed over from another thread, as a port's event
// thread does), the loop's re-entrancy, stop and abort, the output source, and real bytes from a
// pseudo-terminal through a linked port.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfDataDispatcher.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "ComPortTestSupport.h"

using namespace porttest;

namespace {

constexpr int kCom = 181;

const std::string kPortDir = AfTestPortDirectory();

// A listener whose three calls run the given actions and log "<name> data|empty|notify".
class TListener : public TAfDataDispatcherListener {
public:
    TListener(std::string Name, std::vector<std::string>& Log) : FName(std::move(Name)), FLog(Log) {}
    std::function<void(TAfDataDispatcher&)> Data;

    void DispatcherData(TAfDataDispatcher& Sender) override
    {
        FLog.push_back(FName + " data");
        if (Data)
            Data(Sender);
    }
    void DispatcherOutputEmpty(TAfDataDispatcher&) override { FLog.push_back(FName + " empty"); }
    void DispatcherNotify(TAfDataDispatcher&) override { FLog.push_back(FName + " notify"); }

private:
    std::string FName;
    std::vector<std::string>& FLog;
};

// Reads up to Count bytes as text.
std::string Read(TAfDataDispatcher& Dispatcher, std::int32_t Count)
{
    std::string text(static_cast<std::size_t>(Count), '\0');
    text.resize(static_cast<std::size_t>(Dispatcher.ReadData(text.data(), Count)));
    return text;
}

// Runs Work on another thread (as the connection's receiving thread) while the main thread
// serves; the message of what it raised, or "(no error)".
std::string OnReceivingThread(const std::function<void()>& Work)
{
    std::string result;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        result = ErrorOf(Work);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 10000));
    worker.join();
    return result;
}

TEST(DataDispatcherTest, LinkMovesWithItsCloseEventAndEndsWithTheConnection)
{
    TComponent form(nullptr);
    auto* first = new TAfComPort(&form);
    auto* second = new TAfComPort(&form);
    TAfDataDispatcher dispatcher(nullptr);
    int closes = 0;
    dispatcher.OnPortClose = [&](TObject* sender) {
        EXPECT_EQ(sender, &dispatcher);
        ++closes;
    };
    dispatcher.SetConnComponent(first);
    EXPECT_EQ(closes, 1) << "every change of link, the first included";
    dispatcher.SetConnComponent(first);
    EXPECT_EQ(closes, 1);
    dispatcher.SetConnComponent(second);
    EXPECT_EQ(closes, 2);
    EXPECT_EQ(first->Dispatcher(), nullptr);
    EXPECT_EQ(second->Dispatcher(), &dispatcher);

    // Another dispatcher takes the connection: this one lets go, it does not keep pointing at it.
    TAfDataDispatcher other(nullptr);
    other.SetConnComponent(second);
    EXPECT_EQ(second->Dispatcher(), &other);
    EXPECT_EQ(dispatcher.ConnComponent(), nullptr);
    EXPECT_EQ(closes, 3);

    int otherCloses = 0;
    other.OnPortClose = [&](TObject*) { ++otherCloses; };
    delete second;
    EXPECT_EQ(other.ConnComponent(), nullptr);
    EXPECT_EQ(otherCloses, 1);
}

TEST(DataDispatcherTest, EveryReaderReadsTheRoundFromItsFirstByteAndTheFurthestReadIsDropped)
{
    TAfDataDispatcher dispatcher(nullptr, 8);
    std::vector<std::string> log;
    std::string ownSaw;
    dispatcher.OnData = [&](TObject*) { ownSaw = Read(dispatcher, 1); };
    TListener shortReader("short", log);
    TListener longReader("long", log);
    std::string shortSaw;
    std::string longSaw;
    shortReader.Data = [&](TAfDataDispatcher& d) {
        shortSaw = Read(d, 1);
        shortSaw += Read(d, 1); // a second read goes on where the first ended
    };
    longReader.Data = [&](TAfDataDispatcher& d) { longSaw = Read(d, 5); };
    dispatcher.RegisterListener(&shortReader);
    dispatcher.RegisterListener(&longReader);

    EXPECT_EQ(OnReceivingThread([&] { dispatcher.WriteToBuffer("abcdef", 6); }), "(no error)");
    EXPECT_EQ(ownSaw, "a");
    EXPECT_EQ(shortSaw, "ab");
    EXPECT_EQ(longSaw, "abcde");
    EXPECT_EQ(dispatcher.DataCount(), 1) << "only what nobody read stays";
    EXPECT_EQ(dispatcher.TotalWritten(), 6u);

    log.clear();
    EXPECT_EQ(OnReceivingThread([&] { dispatcher.WriteToBuffer("xyz", 0); }), "(no error)");
    EXPECT_EQ(OnReceivingThread([&] { dispatcher.WriteToBuffer("12345678", 8); }),
              "Error writing to dispatcher buffer");
    EXPECT_TRUE(log.empty()) << "neither schedules a round";
    EXPECT_EQ(dispatcher.TotalWritten(), 6u);

    // Outside a round a read takes the bytes at once; a peek leaves them.
    char peeked = 0;
    EXPECT_EQ(dispatcher.PeekData(&peeked, 1), 1);
    EXPECT_EQ(Read(dispatcher, 8), "f");
    EXPECT_EQ(peeked, 'f');
    EXPECT_EQ(dispatcher.DataCount(), 0);
}

TEST(DataDispatcherTest, TheFurthestReaderDecidesWhatIsDroppedAlsoWhenItComesFirst)
{
    TAfDataDispatcher dispatcher(nullptr, 8);
    std::vector<std::string> log;
    TListener longReader("long", log);
    TListener shortReader("short", log);
    longReader.Data = [](TAfDataDispatcher& d) { Read(d, 5); };
    shortReader.Data = [](TAfDataDispatcher& d) { Read(d, 2); };
    dispatcher.RegisterListener(&longReader);
    dispatcher.RegisterListener(&shortReader);
    OnReceivingThread([&] { dispatcher.WriteToBuffer("abcdef", 6); });
    EXPECT_EQ(Read(dispatcher, 8), "f");
}

TEST(DataDispatcherTest, ListenersLeavingOrComingDuringARoundKeepTheOthersServed)
{
    TAfDataDispatcher dispatcher(nullptr);
    std::vector<std::string> log;
    TListener first("first", log);
    auto second = std::make_unique<TListener>("second", log);
    TListener third("third", log);
    TListener late("late", log);
    dispatcher.RegisterListener(&first);
    dispatcher.RegisterListener(second.get());
    dispatcher.RegisterListener(&third);
    first.Data = [&](TAfDataDispatcher& d) {
        d.UnregisterListener(second.get());
        d.RegisterListener(&late);
        d.NotifyListeners(); // served by this loop's next pass
    };
    OnReceivingThread([&] { dispatcher.WriteToBuffer("x", 1); });
    EXPECT_EQ(log, (std::vector<std::string>{"first data", "third data", "first notify", "third notify",
                                             "late notify"}));
    EXPECT_EQ(dispatcher.ListenerCount(), 3);

    // A listener that goes away unregisters itself; the dispatcher going lets its listeners go.
    second.reset();
    first.Data = nullptr;
    log.clear();
    {
        TListener gone("gone", log);
        dispatcher.RegisterListener(&gone);
    }
    dispatcher.NotifyListeners();
    EXPECT_EQ(log, (std::vector<std::string>{"first notify", "third notify", "late notify"}));
    auto shortLived = std::make_unique<TAfDataDispatcher>(nullptr);
    shortLived->RegisterListener(&first);
    shortLived.reset();
    EXPECT_EQ(first.ListenedDispatcher(), nullptr);
}

TEST(DataDispatcherTest, CloseStopsTheLoopAfterTheCurrentListenerAndKeepsTheRestPending)
{
    TAfDataDispatcher dispatcher(nullptr);
    std::vector<std::string> log;
    TListener first("first", log);
    TListener second("second", log);
    dispatcher.RegisterListener(&first);
    dispatcher.RegisterListener(&second);
    first.Data = [&](TAfDataDispatcher& d) {
        first.Data = nullptr;
        d.PortClosed();
    };
    OnReceivingThread([&] { dispatcher.WriteToBuffer("x", 1); });
    EXPECT_EQ(log, std::vector<std::string>{"first data"});

    dispatcher.NotifyListeners();
    EXPECT_EQ(log, (std::vector<std::string>{"first data", "first data", "second data", "first notify",
                                             "second notify"}));
}

TEST(DataDispatcherTest, AnAbortedLoopDoesNotStopLaterOnes)
{
    // Ids count up: the dispatcher's receiver is the one registered right after this probe.
    const DWORD probe = RegisterReceiver([] {});
    TAfDataDispatcher dispatcher(nullptr);
    const DWORD receiver = probe + 1;
    UnregisterReceiver(probe);
    std::vector<std::string> log;
    TListener listener("listener", log);
    TListener unreached("unreached", log);
    dispatcher.RegisterListener(&listener);
    dispatcher.RegisterListener(&unreached);
    listener.Data = [&](TAfDataDispatcher&) { ASSERT_TRUE(EnableReceiver(receiver, false)); };

    EXPECT_EQ(OnReceivingThread([&] { dispatcher.WriteToBuffer("x", 1); }), "Operation aborted");
    EXPECT_EQ(log, std::vector<std::string>{"listener data"});

    listener.Data = nullptr;
    ASSERT_TRUE(EnableReceiver(receiver, true));
    OnReceivingThread([&] { dispatcher.WriteToBuffer("y", 1); });
    EXPECT_EQ(log, (std::vector<std::string>{"listener data", "listener data", "unreached data"}));
}

// Gives Total bytes 0, 1, 2, ... and notes its end.
class TCountingSource : public TAfDataDispatcherOutputSource {
public:
    TCountingSource(std::int32_t Total, bool& Deleted) : FTotal(Total), FDeleted(Deleted) {}
    ~TCountingSource() override { FDeleted = true; }
    std::int32_t ReadOutput(void* Buffer, std::int32_t Count) override
    {
        const std::int32_t n = std::min(Count, FTotal - FNext);
        for (std::int32_t i = 0; i < n; ++i)
            static_cast<std::uint8_t*>(Buffer)[i] = static_cast<std::uint8_t>(FNext + i);
        FNext += n;
        return n;
    }

private:
    std::int32_t FTotal;
    std::int32_t FNext = 0;
    bool& FDeleted;
};

class DispatcherPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        FPty = std::make_unique<AfPtyPort>(kCom);
        FPort = std::make_unique<TAfComPort>(nullptr);
        FPort->SetComNumber(kCom);
        FDispatcher = std::make_unique<TAfDataDispatcher>(nullptr, 4096);
        FDispatcher->SetConnComponent(FPort.get());
    }

    void TearDown() override
    {
        FDispatcher.reset();
        FPort.reset();
        FPty.reset();
    }

    std::unique_ptr<AfPtyPort> FPty;
    std::unique_ptr<TAfComPort> FPort;
    std::unique_ptr<TAfDataDispatcher> FDispatcher;
};

TEST_F(DispatcherPortTest, ReceivedBytesReachTheBufferOnTheEventThreadAndTheListenerOnTheMainThread)
{
    std::vector<std::string> log;
    TListener listener("listener", log);
    std::string received;
    std::thread::id readOn;
    listener.Data = [&](TAfDataDispatcher& d) {
        readOn = std::this_thread::get_id();
        received += Read(d, 64);
    };
    FDispatcher->RegisterListener(&listener);
    TEventRecorder events;
    events.Attach(*FPort);
    FPort->OpenPort();
    events.Clear();

    ASSERT_TRUE(FPty->Send({'p', 'i', 'n', 'g'}));
    // The main thread serves nothing here: the block can only have come from the event thread.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (FDispatcher->TotalWritten() < 4 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(FDispatcher->TotalWritten(), 4u);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= 4; }));
    EXPECT_EQ(received, "ping");
    EXPECT_EQ(readOn, std::this_thread::get_id());
    PumpFor(300);
    EXPECT_EQ(events.Count("DataRecived"), 0u) << "the bytes went to the dispatcher only";
    EXPECT_EQ(FPort->InputCount(), 0);
}

// The event thread waits in the hand-over of a round while its reader closes the port, unlinks
// it, or destroys the port or the dispatcher: none of them waits for the hand-over's time-out.
TEST_F(DispatcherPortTest, AReaderThatClosesUnlinksOrDestroysDoesNotWaitForItsOwnRound)
{
    struct TCase {
        const char* Name;
        std::function<void()> Action;
        bool OpenAfter;   // the port, where it still exists
        bool LinkedAfter; // where both still exist
    };
    const TCase cases[] = {
        {"ClosePort", [&] { FPort->ClosePort(); }, false, true},
        {"unlink", [&] { FDispatcher->SetConnComponent(nullptr); }, true, false},
        {"destroy the port", [&] { FPort.reset(); }, false, false},
        {"destroy the dispatcher", [&] { FDispatcher.reset(); }, true, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        SetUp();
        long long ms = -1;
        FDispatcher->OnData = [&](TObject*) {
            if (ms >= 0)
                return;
            const auto start = Clock::now();
            c.Action();
            ms = MsSince(start);
        };
        FPort->OpenPort();
        ASSERT_TRUE(FPty->Send({'x'}));
        ASSERT_TRUE(PumpUntil([&] { return ms >= 0; }));
        EXPECT_LT(ms, 1000) << "waited for the hand-over's time-out";
        if (FPort) {
            EXPECT_EQ(FPort->IsPortOpen(), c.OpenAfter);
        }
        if (FPort && FDispatcher) {
            EXPECT_EQ(FPort->Dispatcher() == FDispatcher.get(), c.LinkedAfter);
        }
    }
}

TEST_F(DispatcherPortTest, AFullDispatcherIsReportedOnTheMainThread)
{
    FDispatcher = std::make_unique<TAfDataDispatcher>(nullptr, 4);
    FDispatcher->SetConnComponent(FPort.get());
    std::vector<std::string> shown;
    std::thread::id shownOn;
    SetApplicationExceptionHandler([&](std::exception_ptr error) {
        shownOn = std::this_thread::get_id();
        shown.push_back(ErrorOf([&] { std::rethrow_exception(error); }));
    });
    FPort->OpenPort();
    ASSERT_TRUE(FPty->Send(std::vector<std::uint8_t>(10, 'x')));
    EXPECT_TRUE(PumpUntil([&] { return !shown.empty(); }));
    SetApplicationExceptionHandler(nullptr);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front(), "Error writing to dispatcher buffer");
    EXPECT_EQ(shownOn, std::this_thread::get_id());
    EXPECT_LE(FDispatcher->TotalWritten(), 4u) << "a block that does not fit is not stored";
    EXPECT_TRUE(FPort->IsPortOpen());
}

TEST_F(DispatcherPortTest, OutputSourceIsSentBlockByBlockAndReleasedAtItsEnd)
{
    FPort->OpenPort();
    int emptied = 0;
    FDispatcher->OnOutputEmpty = [&](TObject*) {
        FDispatcher->DataCount(); // the round holds no lock that a reader needs
        ++emptied;
    };
    FDispatcher->SetOutputBlockSize(1000);
    bool deleted = false;
    FDispatcher->SetOutputSource(new TCountingSource(2500, deleted), true);
    std::vector<std::uint8_t> sent;
    ASSERT_TRUE(PumpUntil([&] {
        const auto part = FPty->Receive(4096, 0);
        sent.insert(sent.end(), part.begin(), part.end());
        return !FDispatcher->OutputSourceHeld();
    }));
    const auto rest = FPty->ReceiveUntilQuiet(100);
    sent.insert(sent.end(), rest.begin(), rest.end());
    ASSERT_EQ(sent.size(), 2500u);
    for (std::size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(sent[i], static_cast<std::uint8_t>(i)) << "byte " << i;
    EXPECT_TRUE(deleted);
    EXPECT_GE(emptied, 3);

    // A close releases a source that has not finished.
    deleted = false;
    FDispatcher->SetOutputSource(new TCountingSource(100000, deleted), true);
    FPort->ClosePort();
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(FDispatcher->OutputSourceHeld());
}

} // namespace
