// The main window's port link: the port chosen at start-up, closing the window with the port
// open, and Delay against a pseudo-terminal peer (and a device that holds the request back).
//
// Delay's waits run on a tick count the tests hold still, so each one lasts until the test, which
// plays the far end from the event loop that Delay keeps running, has put every byte where it
// belongs: an echo while the request goes out, an answer once the input was cleared.
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "AfPtyPort.h"
#include "AfTestDevice.h"
#include "AfUtils.h"
#include "AppForms.h"
#include "MBusTelegram.h"
#include "MessageBoxes.h"
#include "PumpWait.h"
#include "ToolkitTestApp.h"
#include "UnitCaption.h"
#include "UnitVexora.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kPortDir = AfTestPortDirectory();

bool CanOpen(int Number)
{
    const std::string name = "COM" + std::to_string(Number);
    HANDLE handle =
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return DisposeHandle(handle);
}

// Waits, without the event loop, until Done holds; false after 5 s.
bool WaitFor(const std::function<bool()>& Done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Bytes Buffer()
{
    return Bytes(TelegramBuf, TelegramBuf + TelegramBufSize);
}

// ---- the port chosen at start-up ----------------------------------------------------------------

class FormStartTest : public testing::Test {
protected:
    void SetUp() override { TestApp(); }
    void TearDown() override { DestroyForms(); }

    TMessageRecorder FBoxes;
};

TEST_F(FormStartTest, TheFirstListedPortBecomesThePortOfTheLinkWithoutOpeningIt)
{
    AfPtyPort com1(1), com3(3);
    CreateForms();
    EXPECT_EQ(Form1->AfComPort1->ComNumber(), 1);
    EXPECT_EQ(Form1->AfPortComboBox1->currentText(), "COM 1");
    EXPECT_EQ(Form1->AfPortComboBox1->count(), 2);
    EXPECT_FALSE(Form1->AfComPort1->IsPortOpen());
    EXPECT_TRUE(CanOpen(1));
    EXPECT_TRUE(FBoxes.Requests().empty());
}

TEST_F(FormStartTest, AFirstPortAboveNineIsTakenWithItsWholeNumber)
{
    AfPtyPort com10(10), com12(12);
    CreateForms();
    EXPECT_EQ(Form1->AfComPort1->ComNumber(), 10);
    EXPECT_EQ(Form1->AfPortComboBox1->currentText(), "COM 10");
    EXPECT_TRUE(FBoxes.Requests().empty());
}

TEST_F(FormStartTest, WithNoPortListedTheNumberStaysAndStartUpGoesOn)
{
    CreateForms();
    ASSERT_NE(FormCaption, nullptr);
    EXPECT_EQ(Form1->AfPortComboBox1->count(), 0);
    EXPECT_EQ(Form1->AfPortComboBox1->currentIndex(), -1);
    EXPECT_EQ(Form1->AfComPort1->ComNumber(), 0);
    EXPECT_TRUE(FBoxes.Requests().empty());
}

TEST_F(FormStartTest, ClosingTheWindowWithThePortOpenClosesIt)
{
    AfPtyPort com3(3);
    CreateForms();
    Form1->show();
    Form1->AfComPort1->OpenPort();
    ASSERT_TRUE(Form1->AfComPort1->IsPortOpen());
    // Traffic both ways while the window closes.
    com3.Send(Bytes(64, 0x55));
    Form1->AfComPort1->SendData("x", 1);
    Form1->close();
    EXPECT_FALSE(Form1->AfComPort1->IsPortOpen());
    EXPECT_TRUE(CanOpen(3));
    DestroyForms();
    EXPECT_TRUE(FBoxes.Requests().empty());
}

// ---- Delay ---------------------------------------------------------------------------------------

class DelayTest : public testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        FPeer = std::make_unique<AfPtyPort>(1);
        CreateForms();
        FPort = Form1->AfComPort1;
        FPort->SetUserBaudRate(2400);
        FPort->OpenPort();
        ASSERT_TRUE(FPort->IsPortOpen());
        ASSERT_EQ(FPort->ComNumber(), 1);
        FSavedTicks = SetTickSource([this] { return FNow.load(); });
    }
    void TearDown() override
    {
        FScripts.clear();
        SetTickSource(FSavedTicks);
        DestroyForms();
        EXPECT_TRUE(FBoxes.Requests().empty());
    }

    // An exchange's start: both directions cleared, a select telegram built and sent. Then the
    // buffer is marked, so that whatever Delay takes into it shows.
    void SendRequest()
    {
        FPort->ClearInput();
        FPort->ClearOutput();
        const int length = BuildSelectTelegram(1, MBusSelectUserData);
        FRequest.assign(TelegramBuf, TelegramBuf + length);
        FPort->SendData(TelegramBuf, length);
        std::fill(std::begin(TelegramBuf), std::end(TelegramBuf), 0xAA);
    }

    // Runs Step from the event loop every 2 ms until it returns true.
    void During(std::function<bool()> Step)
    {
        auto& timer = *FScripts.emplace_back(std::make_unique<QTimer>());
        QObject::connect(&timer, &QTimer::timeout, [&timer, Step] {
            if (Step())
                timer.stop();
        });
        timer.start(2);
    }

    // The far end of one exchange, played from inside Delay(Ms): while the request goes out, it
    // reads the request and sends Echo back, which is in the port's input before Delay can clear
    // it. Once it was cleared, Answer arrives; then the wait's time is up.
    void PlayExchange(const Bytes& Echo, const Bytes& Answer, std::uint32_t Ms)
    {
        QTimer::singleShot(0, [=, this] {
            EXPECT_EQ(FPeer->Receive(FRequest.size(), 5000), FRequest);
            const std::int32_t waiting = FPort->InputCount();
            FPeer->Send(Echo);
            ASSERT_TRUE(WaitFor([&] { return FPort->InputCount() >= waiting + std::ssize(Echo); }));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            During([=, this] {
                if (FPort->InputCount() != 0 && std::chrono::steady_clock::now() < deadline)
                    return false;
                EXPECT_EQ(FPort->InputCount(), 0) << "the input was never cleared";
                FPeer->Send(Answer);
                EXPECT_TRUE(WaitFor([&] { return FPort->InputCount() == std::ssize(Answer); }));
                FNow += Ms + 1;
                return true;
            });
        });
    }

    TMessageRecorder FBoxes;
    std::unique_ptr<AfPtyPort> FPeer;
    TAfComPort* FPort = nullptr;
    Bytes FRequest;
    std::atomic<std::uint32_t> FNow{1000};
    TTickSource FSavedTicks;
    std::vector<std::unique_ptr<QTimer>> FScripts;
};

TEST_F(DelayTest, TheEchoOfTheRequestIsDroppedAndTheAnswerTaken)
{
    SendRequest();
    PlayExchange(FRequest, {MBusAck}, 500);
    Form1->Delay(500);
    Bytes expected(TelegramBufSize, 0xAA);
    expected[0] = MBusAck;
    EXPECT_EQ(Buffer(), expected);
    EXPECT_EQ(FPort->InputCount(), 0);
}

TEST_F(DelayTest, AnAnswerAfterTheWaitIsTakenNeitherThenNorByTheNextExchange)
{
    SendRequest();
    PlayExchange({0x00}, {}, 500);
    Form1->Delay(500);
    EXPECT_EQ(Buffer(), Bytes(TelegramBufSize, 0xAA));

    FPeer->Send(Bytes{MBusAck});
    ASSERT_TRUE(WaitFor([&] { return FPort->InputCount() == 1; }));
    // The next request goes out with the late answer still waiting.
    FPort->SendData(FRequest.data(), std::ssize(FRequest));
    PlayExchange({0x00}, {}, 750);
    Form1->Delay(750);
    EXPECT_EQ(Buffer(), Bytes(TelegramBufSize, 0xAA));
}

TEST_F(DelayTest, APartialAnswerReplacesOnlyTheBytesThatCame)
{
    SendRequest();
    std::copy(FRequest.begin(), FRequest.end(), TelegramBuf); // the request is in the buffer
    const Bytes before = Buffer();
    PlayExchange({0x00}, {0x68, 0x1F, 0x1F}, 750);
    Form1->Delay(750);
    Bytes expected = before;
    expected[0] = 0x68;
    expected[1] = 0x1F;
    expected[2] = 0x1F;
    EXPECT_EQ(Buffer(), expected);
}

TEST_F(DelayTest, MoreThanTheBufferHoldsFillsItAndLeavesNothingWaiting)
{
    Bytes answer(150);
    for (std::size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<std::uint8_t>(i + 1);
    SendRequest();
    PlayExchange({0x00}, answer, 750);
    Form1->Delay(750);
    EXPECT_EQ(Buffer(), Bytes(answer.begin(), answer.begin() + TelegramBufSize));
    EXPECT_EQ(FPort->InputCount(), 0);

    // The next exchange starts clean: its one-byte answer lands on the old buffer.
    SendRequest();
    std::copy(answer.begin(), answer.begin() + TelegramBufSize, TelegramBuf);
    PlayExchange({0x00}, {MBusAck}, 500);
    Form1->Delay(500);
    Bytes expected(answer.begin(), answer.begin() + TelegramBufSize);
    expected[0] = MBusAck;
    EXPECT_EQ(Buffer(), expected);
}

// A request the line does not take: the device holds every written byte back.
class DelayHeldTest : public DelayTest {
protected:
    void SetUp() override
    {
        DelayTest::SetUp();
        FDevice.RegisterAsCom(2);
        FPort->SetComNumber(2);
        ASSERT_TRUE(FPort->IsPortOpen());
        FDevice.HoldWrites();
        SendRequest();
        ASSERT_GT(FPort->OutputCount(), 0);
    }

    AfTestDevice FDevice{"held-request"};
};

TEST_F(DelayHeldTest, ClosingTheWindowEndsTheWaitForTheRequest)
{
    QTimer::singleShot(0, [] { Form1->close(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    During([this, deadline] {
        if (std::chrono::steady_clock::now() < deadline)
            return false;
        ADD_FAILURE() << "the close did not end Delay";
        FNow += 100000;
        return true;
    });
    Form1->Delay(500); // the tick count stands still: only the close can end it
    EXPECT_FALSE(FPort->IsPortOpen());
    EXPECT_EQ(Buffer(), Bytes(TelegramBufSize, 0xAA));
    EXPECT_TRUE(CanOpen(2));
}

TEST_F(DelayHeldTest, ARequestThatNeverLeavesIsGivenUpWithoutTakingAnything)
{
    // Bytes that arrive meanwhile are no answer to it.
    FDevice.Inject({MBusAck});
    ASSERT_TRUE(WaitFor([&] { return FPort->InputCount() == 1; }));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool advanced = false;
    During([this, deadline, advanced]() mutable {
        if (!std::exchange(advanced, true))
            FNow += 5000; // far beyond the time the line needs for the request
        if (std::chrono::steady_clock::now() < deadline)
            return false;
        ADD_FAILURE() << "Delay still waits for the request";
        FPort->ClosePort();
        return true;
    });
    Form1->Delay(500);
    EXPECT_TRUE(FPort->IsPortOpen());
    EXPECT_GT(FPort->OutputCount(), 0);
    EXPECT_EQ(Buffer(), Bytes(TelegramBufSize, 0xAA));
}

} // namespace
