// The main window's port link: the port chosen at start-up, closing the window with the port
// open, and Delay against a pseudo-terminal peer (and a device that holds the request back).
//
// Delay's waits run on a tick count the tests hold still, so each lasts until the test, which
// plays the far end from the event loop that Delay keeps running, has put every byte where it
// belongs: an echo while the request goes out, an answer once the input was cleared. A step that
// waits in vain for Delay gives up after 5 s and ends the wait, so a fault fails and never hangs.
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "AfTestDevice.h"
#include "AppForms.h"
#include "MBusTelegram.h"
#include "MessageBoxes.h"
#include "PumpWait.h"
#include "ToolkitTestApp.h"
#include "UnitVexora.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string kPortDir = AfTestPortDirectory();

bool CanOpen(int Number)
{
    const std::string name = "COM" + std::to_string(Number);
    HANDLE handle =
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return DisposeHandle(handle);
}

// Waits, outside the event loop, until Done holds; false after 5 s.
bool WaitFor(const std::function<bool()>& Done)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!Done() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Done();
}

// The window's telegram buffer.
TTelegramBuf& Telegram()
{
    return Form1->MBusState().TelegramBuf;
}

Bytes Buffer()
{
    return Bytes(Telegram().begin(), Telegram().end());
}

TEST(FormStartTest, TheFirstListedPortsWholeNumberIsTakenAndAnEmptyListKeepsTheNumber)
{
    TestApp();
    TMessageRecorder boxes;
    const struct {
        std::vector<int> Registered;
        int Number;
        const char* Shown;
    } cases[] = {{{1, 3}, 1, "COM 1"}, {{10, 12}, 10, "COM 10"}, {{}, 0, ""}};
    for (const auto& c : cases) {
        std::vector<std::unique_ptr<AfPtyPort>> ports;
        for (int number : c.Registered)
            ports.push_back(std::make_unique<AfPtyPort>(number));
        CreateForms();
        EXPECT_EQ(Form1->AfComPort1->ComNumber(), c.Number);
        EXPECT_EQ(Form1->AfPortComboBox1->currentText(), c.Shown);
        EXPECT_FALSE(Form1->AfComPort1->IsPortOpen());
        Form1->AfComPort1->SetComNumber(5); // again, with another number set: only a listed port replaces it
        Form1->FormCreate(Form1);
        EXPECT_EQ(Form1->AfComPort1->ComNumber(), c.Registered.empty() ? 5 : c.Number);
        DestroyForms();
    }
    EXPECT_TRUE(boxes.Requests().empty());
}

TEST(FormStartTest, ClosingTheWindowWithThePortOpenClosesIt)
{
    TestApp();
    AfPtyPort com3(3);
    CreateForms();
    Form1->show();
    Form1->AfComPort1->OpenPort();
    com3.Send(Bytes(64, 0x55)); // traffic both ways as the window closes
    Form1->AfComPort1->SendData("x", 1);
    Form1->close();
    EXPECT_FALSE(Form1->AfComPort1->IsPortOpen());
    EXPECT_TRUE(CanOpen(3));
    DestroyForms();
}

class DelayTest : public testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        CreateForms();
        FPort = Form1->AfComPort1;
        FPort->SetUserBaudRate(2400);
        FPort->OpenPort();
        ASSERT_EQ(FPort->ComNumber(), 1);
        FSavedTicks = SetTickSource([this] { return FNow.load(); });
    }
    void TearDown() override
    {
        FSteps.clear();
        SetTickSource(FSavedTicks);
        DestroyForms();
        EXPECT_TRUE(FBoxes.Requests().empty());
    }

    // An exchange's start: both directions cleared, a select telegram sent (through the window,
    // which remembers it for Delay, or straight to the port). Then the buffer is marked, so that
    // whatever Delay takes into it shows.
    void SendRequest(bool ThroughForm = false)
    {
        FPort->ClearInput();
        FPort->ClearOutput();
        const int length = BuildSelectTelegram(Telegram(), 1, MBusSelectUserData);
        FRequest.assign(Telegram().begin(), Telegram().begin() + length);
        if (ThroughForm)
            Form1->SendTelegram(length);
        else
            FPort->SendData(Telegram().data(), length);
        Telegram().fill(0xAA);
    }

    // Runs Step from the event loop every 2 ms until it returns true; after 5 s, Late instead.
    void During(std::function<bool()> Step, std::function<void()> Late)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        auto& timer = *FSteps.emplace_back(std::make_unique<QTimer>());
        QObject::connect(&timer, &QTimer::timeout, [&timer, Step, Late, deadline] {
            if (Step())
                timer.stop();
            else if (Clock::now() >= deadline && (Late(), true))
                timer.stop();
        });
        timer.start(2);
    }
    // Ends any wait of Delay: by time and by closing the port.
    void EndWait(const char* Why)
    {
        ADD_FAILURE() << Why;
        FNow += 100000;
        FPort->ClosePort();
    }

    // The far end of one exchange inside Delay(Ms): it reads the request and sends Echo back
    // while the request goes out, before Delay can clear the input. Once it was cleared, Answer
    // arrives; then the wait's time is up.
    void PlayExchange(const Bytes& Echo, const Bytes& Answer, std::uint32_t Ms)
    {
        QTimer::singleShot(0, [=, this] {
            EXPECT_EQ(FPeer.Receive(FRequest.size(), 5000), FRequest);
            const std::int32_t waiting = FPort->InputCount();
            FPeer.Send(Echo);
            EXPECT_TRUE(WaitFor([&] { return FPort->InputCount() >= waiting + std::ssize(Echo); }));
            const auto answer = [=, this] {
                if (FPort->InputCount() != 0)
                    return false;
                FPeer.Send(Answer);
                EXPECT_TRUE(WaitFor([&] { return FPort->InputCount() == std::ssize(Answer); }));
                FNow += Ms + 1;
                return true;
            };
            During(answer, [this] { EndWait("the input was never cleared"); });
        });
    }

    AfPtyPort FPeer{1};
    TMessageRecorder FBoxes;
    TAfComPort* FPort = nullptr;
    Bytes FRequest;
    std::atomic<std::uint32_t> FNow{1000};
    TTickSource FSavedTicks;
    std::vector<std::unique_ptr<QTimer>> FSteps;
};

TEST_F(DelayTest, TheEchoOfTheRequestIsDroppedAndTheAnswerTaken)
{
    SendRequest();
    PlayExchange(FRequest, {MBusAck}, 500);
    Form1->Delay(500);
    Bytes expected(TelegramBufSize, 0xAA);
    expected[0] = MBusAck;
    EXPECT_EQ(Buffer(), expected);
}

TEST_F(DelayTest, AnEchoThatArrivesAfterThePurgeIsDroppedWholeOrAsTheTailLeftOfIt)
{
    const Bytes request(Telegram().begin(),
                        Telegram().begin() + BuildSelectTelegram(Telegram(), 1, MBusSelectUserData));
    const Bytes tail(request.end() - 3, request.end());
    const auto withAck = [](Bytes bytes) {
        bytes.push_back(MBusAck);
        return bytes;
    };
    Bytes acknowledged(TelegramBufSize, 0xAA);
    acknowledged[0] = MBusAck;
    const struct {
        Bytes Late; // what arrives once the input was cleared
        Bytes Taken;
    } cases[] = {{withAck(request), acknowledged},
                 {withAck(tail), acknowledged},
                 {request, Bytes(TelegramBufSize, 0xAA)}}; // the echo alone: nothing is taken
    for (const auto& c : cases) {
        SendRequest(true);
        PlayExchange({0x00}, c.Late, 500);
        Form1->Delay(500);
        EXPECT_EQ(Buffer(), c.Taken) << testing::PrintToString(c.Late);
    }
}

TEST_F(DelayTest, AnAnswerAfterTheWaitIsTakenNeitherThenNorByTheNextExchange)
{
    SendRequest();
    PlayExchange({0x00}, {}, 500);
    Form1->Delay(500);
    FPeer.Send(Bytes{MBusAck});
    ASSERT_TRUE(WaitFor([&] { return FPort->InputCount() == 1; }));
    FPort->SendData(FRequest.data(), std::ssize(FRequest)); // the next request, the late answer waiting
    PlayExchange({0x00}, {}, 750);
    Form1->Delay(750);
    EXPECT_EQ(Buffer(), Bytes(TelegramBufSize, 0xAA));
}

TEST_F(DelayTest, APartialAnswerReplacesOnlyTheBytesThatCame)
{
    SendRequest();
    std::copy(FRequest.begin(), FRequest.end(), Telegram().begin()); // the request is in the buffer
    Bytes expected = Buffer();
    PlayExchange({0x00}, {0x68, 0x1F, 0x1F}, 750);
    Form1->Delay(750);
    expected[1] = expected[2] = 0x1F; // [0] was 0x68 already
    EXPECT_EQ(Buffer(), expected);
}

TEST_F(DelayTest, MoreThanTheBufferHoldsFillsItAndLeavesNothingForTheNextExchange)
{
    Bytes answer(150);
    for (std::size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<std::uint8_t>(i + 1);
    SendRequest();
    PlayExchange({0x00}, answer, 750);
    Form1->Delay(750);
    EXPECT_EQ(Buffer(), Bytes(answer.begin(), answer.begin() + TelegramBufSize));
    EXPECT_EQ(FPort->InputCount(), 0);
}

TEST_F(DelayTest, ARequestLongerThanTheBufferIsRefusedWithNothingSent)
{
    Telegram().fill(0x11);
    EXPECT_THROW(Form1->SendTelegram(TelegramBufSize + 1), std::out_of_range);
    Telegram()[0] = 0x5A;
    Form1->SendTelegram(1);
    EXPECT_EQ(FPeer.Receive(1, 5000), Bytes{0x5A}); // the first byte on the line
}

// A request the line does not take: the device holds every written byte back.
class DelayHeldTest : public DelayTest {
protected:
    void SetUp() override
    {
        DelayTest::SetUp();
        FDevice.RegisterAsCom(2);
        FPort->SetComNumber(2);
        FDevice.HoldWrites();
        SendRequest();
        ASSERT_GT(FPort->OutputCount(), 0);
    }

    AfTestDevice FDevice{"held-request"};
};

TEST_F(DelayHeldTest, ClosingTheWindowEndsTheWaitForTheRequest)
{
    QTimer::singleShot(0, [] { Form1->close(); });
    During([] { return false; }, [this] { EndWait("the close did not end Delay"); });
    Form1->Delay(500); // the tick count stands still: only the close can end it
    EXPECT_TRUE(CanOpen(2));
    During([] { return false; }, [this] { EndWait("Delay waits on a closed port"); });
    Form1->Delay(500); // on the closed port: at once
    EXPECT_EQ(Buffer(), Bytes(TelegramBufSize, 0xAA));
}

TEST_F(DelayHeldTest, ARequestThatNeverLeavesIsGivenUpWithoutTakingAnything)
{
    FDevice.Inject({MBusAck}); // no answer to a request that has not gone out
    ASSERT_TRUE(WaitFor([&] { return FPort->InputCount() == 1; }));
    const auto later = [this, advanced = false]() mutable {
        if (!std::exchange(advanced, true))
            FNow += 5000; // far beyond the time the line needs for the request
        return false;
    };
    During(later, [this] { EndWait("Delay still waits for the request"); });
    Form1->Delay(500);
    EXPECT_TRUE(FPort->IsPortOpen());
    EXPECT_EQ(Buffer(), Bytes(TelegramBufSize, 0xAA));
}

} // namespace
