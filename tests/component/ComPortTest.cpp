// The port component: the setter rules that interact, its errors, the tool's own sequence on a
// pseudo-terminal registered as a COM number, its events (from real bytes, and from modem lines
// and line errors of the controllable device) with the thread each fires on, and closing or
// destroying it while events flow.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfPtyPort.h"
#include "AfTestDevice.h"
#include "ComPortTestSupport.h"
#include "comm/AfCommBackend_p.h"

using namespace porttest;

namespace {

constexpr int kCom = 171;
constexpr int kOtherCom = 172;
constexpr int kDeviceCom = 173;
constexpr std::uint8_t kFrame[11] = {0x10, 0x40, 0x01, 0x41, 0x16, 0, 1, 2, 3, 4, 5};

const std::string kPortDir = AfTestPortDirectory();

// The port with its core in reach, for the device's view of the line.
class TTestPort : public TAfComPort {
public:
    using TAfComPort::TAfComPort;
    using TAfCustomSerialPort::Core;
};

class ComPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        FPort = std::make_unique<TTestPort>(nullptr);
        FPort->SetName("AfComPort1");
    }
    void TearDown() override { SetApplicationExceptionHandler(nullptr); }

    DWORD Flags() const { return DcbFlags(FPort->DCB()); }

    std::unique_ptr<TTestPort> FPort;
    TEventRecorder FEvents;
};

class ComPortPtyTest : public ComPortTest {
protected:
    void SetUp() override
    {
        FPty = std::make_unique<AfPtyPort>(kCom);
        ComPortTest::SetUp();
        FPort->SetComNumber(kCom);
    }

    bool WaitInput(std::int32_t Count)
    {
        return PumpUntil([&] { return FPort->InputCount() >= Count; });
    }

    std::unique_ptr<AfPtyPort> FPty;
};

// ---- settings ------------------------------------------------------------------------------------

TEST_F(ComPortTest, BaudRateAndUserBaudRateSwitchEachOther)
{
    EXPECT_EQ(FPort->DCB().BaudRate, 115200u);
    FPort->SetUserBaudRate(0); // the value it has: nothing happens
    EXPECT_EQ(FPort->BaudRate(), br115200);
    EXPECT_EQ(FPort->DCB().BaudRate, 115200u);

    FPort->SetUserBaudRate(2400);
    EXPECT_EQ(FPort->BaudRate(), brUser);
    EXPECT_EQ(FPort->DCB().BaudRate, 2400u);
    FPort->SetBaudRate(brUser);
    EXPECT_EQ(FPort->UserBaudRate(), 2400);

    FPort->SetBaudRate(br9600);
    EXPECT_EQ(FPort->UserBaudRate(), 0);
    EXPECT_EQ(FPort->DCB().BaudRate, 9600u);
    FPort->SetUserBaudRate(2400);
    EXPECT_EQ(FPort->BaudRate(), brUser);
    EXPECT_EQ(FPort->DCB().BaudRate, 2400u);
}

TEST_F(ComPortTest, FlowControlLimitsReachTheDcbOnlyWithTheNextRebuild)
{
    FPort->SetInBufSize(4097);
    FPort->SetFlowControl(fwXOnXOff);
    EXPECT_EQ(FPort->XOnLim(), 1024);
    EXPECT_EQ(FPort->XOffLim(), 3073);
    EXPECT_EQ(FPort->DCB().XonLim, 1024);
    EXPECT_EQ(Flags(), 0x1311u);

    FPort->SetXOnLim(5000);
    EXPECT_EQ(FPort->XOffLim(), static_cast<std::uint16_t>(4097 - 5000));
    EXPECT_EQ(FPort->DCB().XonLim, 1024) << "a limit alone does not rebuild the DCB";
    FPort->SetParity(paOdd);
    EXPECT_EQ(FPort->DCB().XonLim, 5000);

    FPort->SetFlowControl(fwNone);
    EXPECT_EQ(FPort->XOnLim(), 0);
    EXPECT_EQ(FPort->XOffLim(), 0);
}

TEST_F(ComPortTest, SetFromDcbTakesTheLineButKeepsTheLinesAndTheQueue)
{
    FPort->SetDTR(false);
    DCB dcb = FPort->DCB();
    dcb.BaudRate = 31250;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    SetDcbFlags(dcb, DcbFlags(dcb) | FlowControlMask(fwRtsCts));
    dcb.ErrorChar = 'x';
    FPort->SetFromDCB(dcb);
    EXPECT_EQ(FPort->BaudRate(), brUser);
    EXPECT_EQ(FPort->UserBaudRate(), 31250);
    EXPECT_EQ(FPort->Databits(), db7);
    EXPECT_EQ(FPort->Parity(), paOdd);
    EXPECT_EQ(FPort->FlowControl(), fwRtsCts);
    EXPECT_FALSE(FPort->DTR());
    EXPECT_EQ(FPort->InBufSize(), 4096);
    EXPECT_EQ(FPort->DCB().ErrorChar, 0) << "the DCB is rebuilt from the settings";
    EXPECT_EQ(Flags() & DCB_fDtrControlEnable, 0u);

    dcb.DCBlength = 27;
    dcb.Parity = EVENPARITY;
    EXPECT_EQ(ErrorOf([&] { FPort->SetFromDCB(dcb); }), "Error setting parameters from DCB - AfComPort1 ");
    EXPECT_EQ(FPort->Parity(), paOdd);
}

TEST_F(ComPortTest, ClosedPortErrorsCarryTheComponentsName)
{
    FEvents.Attach(*FPort);
    std::uint8_t buffer[4] = {};
    EXPECT_EQ(ErrorOf([&] { FPort->SendData(kFrame, 11); }),
              "Write data error [requested: 11, free: 0] - AfComPort1 ");
    EXPECT_EQ(ErrorOf([&] { FPort->ReceiveData(buffer, 1); }), "Read data error - AfComPort1 ");
    EXPECT_EQ(FPort->InputCount(), 0);
    EXPECT_EQ(FPort->OutputSpace(), 0);

    // ComNumber 0: the core's own error, and no open event.
    try {
        FPort->OpenPort();
        ADD_FAILURE() << "opened COM0";
    } catch (const EAfComPortCoreError& error) {
        EXPECT_STREQ(error.what(), "Invalid port number (COM0)");
    }
    EXPECT_FALSE(FPort->IsPortOpen());
    FPort->ClosePort(); // closed already: still ends with its event
    EXPECT_EQ(FEvents.Names(), std::vector<std::string>{"PortClose"});
}

TEST_F(ComPortTest, ComNumberTakesAnIntAndRefusesWhatSixteenBitsCannotHold)
{
    struct TCase {
        int Value;
        bool Taken;
    };
    for (const TCase& c :
         {TCase{65535, true}, TCase{-1, false}, TCase{65536, false}, TCase{0, true}, TCase{70000, false}}) {
        SCOPED_TRACE(c.Value);
        const int before = FPort->ComNumber();
        const std::string error = ErrorOf([&] { FPort->SetComNumber(c.Value); });
        EXPECT_EQ(error, c.Taken ? "(no error)" : "Invalid property value - AfComPort1 ");
        EXPECT_EQ(FPort->ComNumber(), c.Taken ? c.Value : before);
    }
}

TEST(ComPortDesignTest, InDesignModeThereIsNoCoreAndOnlyTheLinkIsTold)
{
    TComponent form(nullptr);
    form.SetDesigning(true);
    auto* port = new TAfComPort(&form);
    ASSERT_TRUE(port->Designing());
    TAfDataDispatcher dispatcher(nullptr);
    int opened = 0;
    int closed = 0;
    dispatcher.OnPortOpen = [&](TObject*) { ++opened; };
    dispatcher.OnPortClose = [&](TObject*) { ++closed; };
    dispatcher.SetConnComponent(port);
    TEventRecorder events;
    events.Attach(*port);

    port->SetComNumber(kCom);
    port->OpenPort();
    EXPECT_FALSE(port->IsPortOpen());
    EXPECT_EQ(opened, 1);
    port->SetParity(paEven);
    EXPECT_EQ(port->DCB().DCBlength, 0u) << "no DCB is built in design mode";
    port->SetDTR(false);
    EXPECT_FALSE(port->DTR());
    port->ClosePort();
    EXPECT_EQ(closed, 2); // the link, then the close
    EXPECT_TRUE(events.Names().empty());
}

// ---- where a component may be made -------------------------------------------------------------

// Free entries of the notification channel's table, counted by taking them all.
int FreeReceivers()
{
    std::vector<DWORD> taken;
    for (DWORD id; (id = RegisterReceiver([] {})) != 0;)
        taken.push_back(id);
    for (DWORD id : taken)
        UnregisterReceiver(id);
    return static_cast<int>(taken.size());
}

TEST(ComPortChannelTest, APortOrDispatcherThatCouldNeverFireIsRefusedAtItsConstruction)
{
    const TAfComPort first(nullptr); // the main thread makes the first: the user-interface thread
    const std::string otherThread = "Component made on another thread than the user-interface thread "
                                    "(the thread that made the first component)";
    const std::string full = "No free receiver in the notification channel: all 64 are in use";
    const std::function<void()> port = [] { TAfComPort made(nullptr); };
    const std::function<void()> dispatcher = [] { TAfDataDispatcher made(nullptr); };
    struct TCase {
        const char* What;
        const std::function<void()>& Make;
        bool OnWorker; // else with the table full, on the main thread
    };
    for (const TCase& c :
         {TCase{"port on a worker", port, true}, TCase{"dispatcher on a worker", dispatcher, true},
          TCase{"65th port", port, false}, TCase{"65th dispatcher", dispatcher, false}}) {
        SCOPED_TRACE(c.What);
        const int free = FreeReceivers();
        std::vector<DWORD> filling;
        std::string error;
        if (c.OnWorker) {
            std::thread worker([&] { error = ErrorOf(c.Make); });
            worker.join();
        } else {
            for (DWORD id; (id = RegisterReceiver([] {})) != 0;)
                filling.push_back(id);
            error = ErrorOf(c.Make);
        }
        EXPECT_EQ(error, c.OnWorker ? otherThread : full);
        for (DWORD id : filling)
            UnregisterReceiver(id);
        EXPECT_EQ(FreeReceivers(), free) << "the refused component holds no receiver";
    }
    EXPECT_EQ(ErrorOf(port), "(no error)");
}

// ---- the tool's sequence and the line --------------------------------------------------------------

TEST_F(ComPortPtyTest, ToolSequenceOpensAt2400EvenParityWithBothLinesOn)
{
    FPort->SetParity(paEven); // the form's only stored value
    FPort->SetUserBaudRate(2400);
    FPort->OpenPort();
    ASSERT_TRUE(FPort->IsPortOpen());
    const DCB built = FPort->DCB();
    EXPECT_EQ(built.BaudRate, 2400u);
    EXPECT_EQ(built.ByteSize, 8);
    EXPECT_EQ(built.Parity, EVENPARITY);
    EXPECT_EQ(built.StopBits, ONESTOPBIT);
    EXPECT_EQ(Flags(), 0x1011u); // binary, DTR and RTS on, no handshake, no parity check
    DCB device{};
    ASSERT_TRUE(GetCommState(FPort->Core()->Handle(), &device));
    EXPECT_EQ(device.BaudRate, 2400u);

    // The same on a device that keeps every setting and shows its lines.
    AfTestDevice line("tool-sequence");
    line.RegisterAsCom(kDeviceCom);
    TTestPort other(nullptr);
    other.SetParity(paEven);
    other.SetComNumber(kDeviceCom);
    other.SetUserBaudRate(2400);
    other.OpenPort();
    EXPECT_EQ(line.State().BaudRate, 2400u);
    EXPECT_EQ(line.State().Parity, EVENPARITY);
    EXPECT_EQ(line.State().ByteSize, 8);
    EXPECT_EQ(line.State().StopBits, ONESTOPBIT);
    EXPECT_EQ(line.OutputLines() & (AF_LINE_DTR | AF_LINE_RTS), AF_LINE_DTR | AF_LINE_RTS);
}

TEST_F(ComPortPtyTest, ReceiveTakesExactlyWhatWaitsAndNoMore)
{
    FPort->OpenPort();
    FPort->SendData(kFrame, 0); // nothing to queue
    ASSERT_TRUE(FPty->Send({1, 2, 3}));
    ASSERT_TRUE(WaitInput(3));
    std::uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ErrorOf([&] { FPort->ReceiveData(buffer, 4); }), "Read data error - AfComPort1 ");
    EXPECT_EQ(buffer[0], 0xEE) << "a refused read takes nothing";
    EXPECT_EQ(FPort->InputCount(), 3) << "the bytes that were too few stay readable";
    ASSERT_TRUE(FPty->Send({4, 5}));
    ASSERT_TRUE(WaitInput(5));
    FPort->ReceiveData(buffer, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    FPort->ReceiveData(buffer, FPort->InputCount());
    EXPECT_EQ(buffer[0], 5);
}

TEST_F(ComPortPtyTest, ReadDataTakesWhatWaitsAndSaysHowMuch)
{
    std::uint8_t buffer[256] = {};
    EXPECT_EQ(ErrorOf([&] { FPort->ReadData(buffer, 1); }), "Read data error - AfComPort1 ")
        << "a closed port";
    FPort->OpenPort();
    EXPECT_EQ(FPort->ReadData(buffer, sizeof buffer), 0) << "nothing waits: no wait either";
    ASSERT_TRUE(FPty->Send({1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(WaitInput(8));
    EXPECT_EQ(FPort->ReadData(buffer, 3), 3);
    EXPECT_EQ(FPort->ReadData(buffer + 3, sizeof buffer - 3), 5);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 8),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(FPort->InputCount(), 0);
}

TEST_F(ComPortPtyTest, ComNumberWrittenWhileOpenMovesThePort)
{
    AfPtyPort second(kOtherCom);
    FEvents.Attach(*FPort);
    FPort->OpenPort();
    FEvents.Clear();
    FPort->SetComNumber(kCom);
    EXPECT_TRUE(FEvents.Names().empty());

    FPort->SetComNumber(kOtherCom);
    EXPECT_EQ(FEvents.Names(), (std::vector<std::string>{"PortClose", "PortOpen"}));
    ASSERT_TRUE(FPort->IsPortOpen());
    FPort->SendData("hi", 2);
    EXPECT_EQ(second.Receive(2, 3000), (std::vector<std::uint8_t>{'h', 'i'}));
    EXPECT_TRUE(FPty->Receive(1, 100).empty());
}

TEST_F(ComPortPtyTest, QueueSizesWaitForTheNextOpen)
{
    FPort->OpenPort();
    FPort->SetInBufSize(4096); // its value: no error
    EXPECT_EQ(ErrorOf([&] { FPort->SetInBufSize(100); }), "Port is not closed - AfComPort1 ");
    EXPECT_EQ(ErrorOf([&] { FPort->SetOutBufSize(16); }), "Port is not closed - AfComPort1 ");
    EXPECT_EQ(FPort->InBufSize(), 4096);
    EXPECT_EQ(FPort->OutputSpace(), 2048);
    FPort->ClosePort();
    FPort->SetOutBufSize(16);
    FPort->OpenPort();
    EXPECT_EQ(FPort->OutputSpace(), 16);
}

TEST_F(ComPortPtyTest, LoadedOpensThePortOnlyWithAutoOpen)
{
    FPort->Loaded();
    EXPECT_FALSE(FPort->IsPortOpen());
    FEvents.Attach(*FPort);
    FPort->SetAutoOpen(true);
    FPort->Loaded();
    EXPECT_TRUE(FPort->IsPortOpen());
    EXPECT_EQ(FEvents.Names(), std::vector<std::string>{"PortOpen"});
}

TEST(ComPortDeviceTest, DtrFollowsAtOnceButTheDcbOnlyAtItsNextRebuild)
{
    AfTestDevice line("dtr");
    line.RegisterAsCom(kDeviceCom);
    TAfComPort port(nullptr);
    port.SetComNumber(kDeviceCom);
    port.OpenPort();
    port.SetDTR(false);
    EXPECT_EQ(line.OutputLines() & AF_LINE_DTR, 0u);
    EXPECT_NE(DcbFlags(port.DCB()) & DCB_fDtrControlEnable, 0u);
    EXPECT_EQ(line.State().fDtrControl, DTR_CONTROL_ENABLE);
    port.SetParity(paOdd);
    EXPECT_EQ(line.State().fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(line.State().Parity, ODDPARITY);
}

// ---- events --------------------------------------------------------------------------------------

TEST_F(ComPortPtyTest, DataAndOutputEventsFireOnTheMainThreadAfterTheirSyncEvent)
{
    FEvents.Attach(*FPort);
    std::string received;
    FPort->OnDataRecived = [&](TObject* sender, std::int32_t count) {
        EXPECT_EQ(sender, FPort.get());
        FEvents.Add("DataRecived");
        std::string part(static_cast<std::size_t>(count), '\0');
        FPort->ReceiveData(part.data(), count);
        received += part;
    };
    FPort->OpenPort();
    ASSERT_TRUE(FPty->Send({'a', 'b', 'c'}));
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= 3; }));
    EXPECT_EQ(received, "abc");
    FPort->SendData("z", 1);
    ASSERT_TRUE(PumpUntil([&] { return FEvents.Has("OutBufFree"); }));

    const std::vector<TFired> fired = FEvents.Fired();
    for (std::size_t i = 0; i < fired.size(); ++i) {
        EXPECT_EQ(fired[i].Thread, std::this_thread::get_id()) << fired[i].Event;
        const std::string before = i > 0 ? fired[i - 1].Event : "";
        if (fired[i].Event == "DataRecived") {
            EXPECT_TRUE(before == "Sync:1" || before == "Sync:2") << before;
        }
        if (fired[i].Event == "OutBufFree") {
            EXPECT_EQ(before, "Sync:0");
        }
    }
}

TEST(ComPortDeviceTest, ModemLinesAndLineErrorsFireInTheirOrder)
{
    AfTestDevice line("lines");
    line.RegisterAsCom(kDeviceCom);
    TAfComPort port(nullptr);
    port.SetComNumber(kDeviceCom);
    TEventRecorder events;
    events.Attach(port);
    port.OpenPort();
    events.Clear();

    line.AddLineErrors(1, 0, 0, 0);
    line.SetModemLines(MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    ASSERT_TRUE(PumpUntil([&] { return events.Has("RLSD"); }));
    std::vector<std::string> order;
    for (const TFired& fired : events.Fired()) {
        EXPECT_EQ(fired.Thread, std::this_thread::get_id()) << fired.Event;
        if (fired.Event != "Sync:1")
            order.push_back(fired.Event);
    }
    EXPECT_EQ(events.Names().front(), "Sync:1");
    const std::string frameError = "LineError:" + std::to_string(CE_FRAME);
    EXPECT_EQ(order, (std::vector<std::string>{frameError, "CTS", "DSR", "RING", "RLSD"}));
}

TEST_F(ComPortPtyTest, NonSyncHandlerReplacesEveryUserInterfaceEventButExceptionsStillArrive)
{
    FEvents.Attach(*FPort, true);
    FPort->OpenPort();
    FEvents.Clear();
    ASSERT_TRUE(FPty->Send({'x', 'y'}));
    FPort->SendData("q", 1);
    ASSERT_TRUE(PumpUntil([&] { return FEvents.Has("NonSync:0") && FEvents.Count("NonSync:2") >= 1; }));
    for (const TFired& fired : FEvents.Fired()) {
        EXPECT_EQ(fired.Event.rfind("NonSync:", 0), 0u) << fired.Event;
        EXPECT_NE(fired.Thread, std::this_thread::get_id());
    }

    std::vector<std::string> shown;
    const std::thread::id mainThread = std::this_thread::get_id();
    SetApplicationExceptionHandler([&](std::exception_ptr error) {
        EXPECT_EQ(std::this_thread::get_id(), mainThread);
        shown.push_back(ErrorOf([&] { std::rethrow_exception(error); }));
    });
    FPort->OnNonSyncEvent = [](TObject*, TAfCoreEvent kind, DWORD, std::exception_ptr) {
        if (kind == ceInputPending)
            throw Exception("handler failed");
    };
    ASSERT_TRUE(PumpUntil([&] { return !shown.empty(); }));
    EXPECT_EQ(shown.front(), "handler failed");
}

TEST_F(ComPortPtyTest, OnErrorTakesTheEventThreadsErrorsInsteadOfTheApplicationsDisplay)
{
    std::vector<std::string> shown;
    SetApplicationExceptionHandler(
        [&](std::exception_ptr error) { shown.push_back(ErrorOf([&] { std::rethrow_exception(error); })); });
    std::vector<std::string> errors;
    std::vector<std::string> sync;
    FPort->OnError = [&](TObject* sender, std::exception_ptr error) {
        EXPECT_EQ(sender, FPort.get());
        errors.push_back(ErrorOf([&] { std::rethrow_exception(error); }));
    };
    FPort->OnSyncEvent = [&](TObject*, TAfCoreEvent kind, DWORD, std::exception_ptr error) {
        if (kind == ceThreadException)
            sync.push_back(ErrorOf([&] { std::rethrow_exception(error); }));
    };
    FPort->OpenPort();
    FPty->CloseFarEnd();
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    const std::string failed = "Device COM" + std::to_string(kCom) + " failed";
    EXPECT_EQ(errors, std::vector<std::string>{failed});
    EXPECT_EQ(sync, std::vector<std::string>{failed}) << "OnSyncEvent sees it first";
    EXPECT_TRUE(shown.empty()) << shown.front();
    EXPECT_TRUE(FPort->IsPortOpen()) << "a failed device stays open until ClosePort";
}

// ---- closing -------------------------------------------------------------------------------------

TEST_F(ComPortPtyTest, WhileClosingTheDataOperationsDoNothingAndARaisingHandlerLeavesItClosed)
{
    FPort->OpenPort();
    ASSERT_TRUE(FPty->Send({7, 8}));
    ASSERT_TRUE(WaitInput(2));
    std::uint8_t buffer[2] = {0xEE, 0xEE};
    std::string inHandler = "not run";
    FPort->OnPortClose = [&](TObject*) {
        inHandler = ErrorOf([&] {
            FPort->SendData(kFrame, 11);
            FPort->ReceiveData(buffer, 2);
            if (FPort->ReadData(buffer, 2) != 0)
                throw Exception("ReadData took bytes while closing");
            FPort->ClearInput();
            FPort->ClearOutput();
        });
        throw Exception("close handler failed");
    };
    EXPECT_EQ(ErrorOf([&] { FPort->ClosePort(); }), "close handler failed");
    EXPECT_EQ(inHandler, "(no error)");
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_FALSE(FPort->IsPortOpen());

    // The close is over: a write to the closed port is refused, not dropped in silence.
    EXPECT_EQ(ErrorOf([&] { FPort->SendData(kFrame, 11); }),
              "Write data error [requested: 11, free: 0] - AfComPort1 ");
    FPort->OnPortClose = nullptr;
}

TEST_F(ComPortPtyTest, CloseFromItsOwnDataHandlerIsPromptAndFinal)
{
    FEvents.Attach(*FPort);
    std::string received;
    long long closeMs = -1;
    FPort->OnDataRecived = [&](TObject*, std::int32_t count) {
        FEvents.Add("DataRecived");
        std::string part(static_cast<std::size_t>(count), '\0');
        FPort->ReceiveData(part.data(), count);
        received += part;
        // The event thread waits for this very handler.
        const auto start = Clock::now();
        FPort->ClosePort();
        closeMs = MsSince(start);
    };
    FPort->OpenPort();
    ASSERT_TRUE(FPty->Send({'h', 'e', 'l', 'l', 'o'}));
    ASSERT_TRUE(PumpUntil([&] { return closeMs >= 0; }));
    EXPECT_LT(closeMs, 1000) << "the close waited for the hand-over's time-out";
    EXPECT_FALSE(received.empty());
    EXPECT_EQ(received, std::string("hello").substr(0, received.size()));
    EXPECT_FALSE(FPort->IsPortOpen());

    ASSERT_TRUE(FPty->Send({'m', 'o', 'r', 'e'}));
    PumpFor(400);
    EXPECT_EQ(FEvents.Names().back(), "PortClose") << "an event fired after the close";
}

TEST(ComPortDeviceTest, AHandlerThatClosesEndsTheRestOfItsEvent)
{
    AfTestDevice line("close-in-event");
    line.RegisterAsCom(kDeviceCom);
    TAfComPort port(nullptr);
    port.SetComNumber(kDeviceCom);
    TEventRecorder events;
    events.Attach(port);
    port.OnDataRecived = [&](TObject*, std::int32_t) {
        events.Add("DataRecived");
        port.ClosePort();
    };
    port.OpenPort();
    // The main thread serves nothing yet: the event thread waits in the hand-over of the CTS
    // change while the bytes and the DSR change gather into the next event's mask.
    line.SetModemLines(MS_CTS_ON);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    line.Inject({1, 2});
    line.SetModemLines(MS_CTS_ON | MS_DSR_ON);
    ASSERT_TRUE(PumpUntil([&] { return !port.IsPortOpen(); }));
    PumpFor(300);
    const auto names = events.Names();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "PortClose");
    EXPECT_EQ(events.Count("DSR"), 0u) << "the rest of the closing event fired";
}

TEST_F(ComPortPtyTest, DestroyingWithThePortOpenAndBytesArrivingIsPrompt)
{
    std::atomic<bool> destroyed{false};
    std::atomic<bool> eventAfterDestroy{false};
    std::string received;
    FPort->OnDataRecived = [&](TObject*, std::int32_t count) {
        eventAfterDestroy = eventAfterDestroy || destroyed;
        std::string part(static_cast<std::size_t>(count), '\0');
        FPort->ReceiveData(part.data(), count);
        received += part;
    };
    FPort->OpenPort();
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
        for (std::uint8_t i = 0; !stop; ++i) {
            FPty->Send(&i, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= 20; }));
    // The main thread serves nothing for a while: the event thread is left waiting in a
    // hand-over when the component goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    FPort.reset();
    destroyed = true;
    const long long destroyMs = MsSince(start);
    PumpFor(200);
    stop = true;
    farEnd.join();
    EXPECT_LT(destroyMs, 1500);
    EXPECT_FALSE(eventAfterDestroy);
    for (std::size_t i = 0; i < received.size(); ++i)
        ASSERT_EQ(static_cast<std::uint8_t>(received[i]), static_cast<std::uint8_t>(i)) << "byte " << i;
}

// A handler that destroys its own port: the rest of its event is dropped, nothing of the port is
// touched after the handler (AddressSanitizer watches), and the destruction does not wait for the
// hand-over that is running it. The lines change together, so that a line event is followed by
// others of the same mask.
TEST(ComPortDeviceTest, AHandlerMayDestroyItsOwnPortAtOnce)
{
    using TTrigger = std::function<void(TAfComPort*, AfTestDevice&)>; // on the open port
    const TTrigger lines = [](TAfComPort*, AfTestDevice& Line) {
        Line.AddLineErrors(1, 0, 0, 0);
        Line.SetModemLines(MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    };
    const TTrigger bytes = [](TAfComPort*, AfTestDevice& Line) { Line.Inject({1, 2, 3}); };
    const TTrigger close = [](TAfComPort* Port, AfTestDevice&) { Port->ClosePort(); };
    const struct {
        std::string Handler; // the event whose handler destroys the port
        TTrigger Trigger;
    } cases[] = {
        {"Sync:", lines},
        {"DataRecived:", bytes},
        {"LineError:", lines},
        {"RING", lines},
        {"PortOpen", nullptr},
        {"PortClose", close},
        {"PortClose", [](TAfComPort* Port, AfTestDevice&) { Port->SetComNumber(kOtherCom); }},
        {"dispatcher's PortClose", close},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Handler);
        AfTestDevice line("destroy-in-handler");
        line.RegisterAsCom(kDeviceCom);
        auto* port = new TAfComPort(nullptr);
        port->SetComNumber(kDeviceCom);
        TEventRecorder events;
        events.Attach(*port);
        auto* dispatcher = new TAfDataDispatcher(port); // goes with the port
        if (c.Handler == "dispatcher's PortClose") {
            dispatcher->SetConnComponent(port);
            dispatcher->OnPortClose = [&](TObject*) { events.Add(c.Handler); };
        }
        long long destroyMs = -1;
        events.OnFired = [&](const std::string& Event) {
            if (port == nullptr || Event.rfind(c.Handler, 0) != 0)
                return;
            const auto start = Clock::now();
            delete port;
            port = nullptr;
            destroyMs = MsSince(start);
        };
        port->OpenPort();
        if (c.Trigger)
            c.Trigger(port, line);
        const bool destroyed = PumpUntil([&] { return port == nullptr; });
        delete port;
        ASSERT_TRUE(destroyed);
        EXPECT_LT(destroyMs, 1000) << "the destruction waited for the hand-over's time-out";
        PumpFor(50); // a hand-over left behind would run now
    }
}

// ---- settings dialog -----------------------------------------------------------------------------

COMMCONFIG g_dialogSaw{};
int g_dialogCalls = 0;

BOOL OddParityDialog(LPCSTR, HWND, COMMCONFIG* config)
{
    ++g_dialogCalls;
    g_dialogSaw = *config;
    config->dcb.Parity = ODDPARITY;
    return TRUE;
}

TEST_F(ComPortPtyTest, SettingsDialogStartsFromTheComponentsDcbAndItsConfirmationIsTaken)
{
    FPort->SetParity(paEven);
    const AfCommConfigDialogProc before = AfSetCommConfigDialog(nullptr);
    EXPECT_FALSE(FPort->ShowSettingsDialog()) << "no dialog installed";

    AfSetCommConfigDialog(&OddParityDialog);
    EXPECT_TRUE(FPort->ShowSettingsDialog());
    EXPECT_EQ(g_dialogSaw.dwSize, sizeof(COMMCONFIG));
    EXPECT_EQ(g_dialogSaw.dcb.Parity, EVENPARITY);
    EXPECT_EQ(g_dialogSaw.dcb.BaudRate, 115200u);
    EXPECT_EQ(FPort->Parity(), paOdd);
    EXPECT_EQ(FPort->DCB().Parity, ODDPARITY);

    FPort->OpenPort();
    EXPECT_TRUE(FPort->ShowSettingsDialog()); // from the open device
    EXPECT_EQ(g_dialogSaw.dcb.Parity, ODDPARITY);

    FPort->ClosePort();
    FPort->SetComNumber(kOtherCom); // no such port
    const int calls = g_dialogCalls;
    EXPECT_FALSE(FPort->ShowSettingsDialog());
    EXPECT_EQ(g_dialogCalls, calls);
    AfSetCommConfigDialog(before);
}

} // namespace
