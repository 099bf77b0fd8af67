// "Read", "Write" and the reset of the main volume counter end to end: the real window against
// the meter simulator on a pseudo-terminal registered as COM 1, with the real waits, so each
// operation takes its seconds.
//
// Every operation is traced as one line of steps: the progress bar at each change, and the
// buttons, the port and the status window at each wait of the exchange (the tests wrap the tick
// count the waits read) and whenever a message box comes up; the boxes are answered through the
// toolkit's hook. The port box and "Addr" show in the trace only when they are not disabled and
// enabled with the buttons. What the tool sent is taken from the simulator's log.
//
// In the UART guest (scripts/test-uart.sh) the same operations run across a real line: the tool
// on the first UART of a null-modem pair as COM 1, the simulator on the second, both at the speed
// VEXORA_UART_BAUD names.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bitset>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "AppForms.h"
#include "ComPortTestSupport.h"
#include "MBusDecode.h"
#include "MBusTelegram.h"
#include "MessageBoxes.h"
#include "OperationsTrace.h"
#include "PumpWait.h"
#include "SimTestSupport.h"
#include "ToolkitTestApp.h"
#include "UnitCaption.h"
#include "UnitVexora.h"

namespace {

using namespace std::chrono_literals;
using testing::EndsWith;
using testing::HasSubstr;
using testing::StartsWith;
using TLines = std::vector<std::string>;

const std::string kPortDir = AfTestPortDirectory();

// The guest's line, or none (empty names) on a pseudo-terminal.
struct TUartLine {
    std::string Tool, Meter;
    int Baud = 2400;
};
const TUartLine& UartLine()
{
    static const TUartLine line = [] {
        TUartLine found;
        if (const char* pair = std::getenv("VEXORA_UART_PAIR"))
            std::istringstream(pair) >> found.Tool >> found.Meter;
        if (const char* baud = std::getenv("VEXORA_UART_BAUD"))
            found.Baud = std::atoi(baud);
        return found;
    }();
    return line;
}

// On a real line the first telegrams of a process are answered slowly (the guest's emulated CPU
// translates every code path the first time it runs): the exchanges of a Read without a time
// limit, with a simulator of its own, come before the first timed operation.
void WarmUpLine(const TMeterSimOptions& Options)
{
    static bool warm = false;
    if (UartLine().Meter.empty() || std::exchange(warm, true))
        return;
    TRunningSimulator sim(Options);
    TMasterLine line(UartLine().Tool, UartLine().Baud);
    const std::uint8_t address = static_cast<std::uint8_t>(Options.Meter.Address);
    TTelegramBuf telegram{};
    const auto built = [&](int length) { return TBytes(telegram.begin(), telegram.begin() + length); };
    for (const std::uint8_t frame : {MBusSelectConfigData, MBusSelectUserData}) {
        line.Send(built(BuildSelectTelegram(telegram, address, frame)));
        line.Receive(1, 10000);
        line.Send(built(BuildDataRequest(telegram, address)));
        line.Receive(frame == MBusSelectConfigData ? 64 : 48, 10000);
    }
}

// A meter whose every value differs from the window's design values, with scale codes 1 and 2.
TMeterSimOptions ReadMeter(TMeterFaults Faults = {})
{
    return {.Meter = {.FlowScaleCode = 1,
                      .PulseScaleCode = 2,
                      .Q4mA = 250,
                      .Q20mA = 4500,
                      .ImpOut = 2.5,
                      .TestEmptyTube = true,
                      .PulseWidth = 20},
            .Faults = Faults};
}

const std::string kDesignShown = "100 2000 1 1 2400 No#-1 0 1 ms";
const std::string kMeterShown = "250 4500 2.5 1 " + std::to_string(UartLine().Baud) + " Yes#1 20 34.2ms";

class Operations : public testing::Test {
protected:
    void Start(const TMeterSimOptions& Options)
    {
        TestApp();
        QLocale::setDefault(QLocale::c());
        InstallExceptionDisplay();
        TMeterSimOptions options = Options;
        options.Meter.Baud = UartLine().Baud;
        if (!UartLine().Meter.empty()) {
            options.Device = UartLine().Meter;
            AfRegisterTestCom(1, UartLine().Tool);
            WarmUpLine(options);
        }
        FSim = std::make_unique<TRunningSimulator>(options);
        Renew();
    }
    // A new window on the same meter.
    void Renew()
    {
        FTrace.reset();
        DestroyForms();
        CreateForms();
        Form1->SpinEdit1->SetValue(UartLine().Baud);
        Form1->show();
        FTrace = std::make_unique<TTracer>();
    }
    void TearDown() override
    {
        FTrace.reset();
        DestroyForms();
        FSim.reset();
        SetApplicationExceptionHandler(nullptr);
    }

    // Runs the operation of Button to its end: the trace of its steps.
    std::string Click(QPushButton* Button)
    {
        Button->click();
        FTrace->Look();
        return FTrace->Take();
    }
    // The telegrams the simulator heard ("RX ..."), and with Answers what it sent ("TX ..."), once
    // it has dealt with Heard of them.
    TLines Log(std::uint64_t Heard, bool Answers = false)
    {
        EXPECT_TRUE(FSim->Sim().WaitHeard(Heard, 10s));
        constexpr std::size_t kStamp = 24; // "2025-03-07 14:02:11.734 "
        TLines lines;
        for (const std::string& line : FSim->LogLines())
            if (line.compare(kStamp, 3, "RX ") == 0 || (Answers && line.compare(kStamp, 3, "TX ") == 0))
                lines.push_back(line.substr(kStamp));
        return lines;
    }
    std::uint32_t Register(std::uint8_t Reg) { return FSim->Sim().State().Register(Reg); }

    std::unique_ptr<TRunningSimulator> FSim;
    std::unique_ptr<TTracer> FTrace;
};

const std::string kSelectConfig = "RX 68 05 05 68 53 01 51 0F 01 B5 16";
const std::string kSelectUser = "RX 68 05 05 68 53 01 51 0F 02 B6 16";
const std::string kDataRequest = "RX 10 5B 01 5C 16";
const std::string kEnd = "buttons Write,Read,Reset | port closed | status hidden";

// ---- Read

TEST_F(Operations, ReadFillsEveryFieldFromTheMeterStepByStepWithNoSecondOperationLetIn)
{
    Start(ReadMeter());
    // Clicks on all three buttons while the read waits: none may start another operation.
    FTrace->When("Reading config data", [] {
        for (QPushButton* button : {Form1->Button1, Form1->Button2, Form1->Button3})
            QTest::mouseClick(button, Qt::LeftButton);
    });
    EXPECT_EQ(Click(Form1->Button2),
              "range 0..4 | buttons none | port open | status Switching FRAME config data | "
              "progress 1 (25%) | status Reading config data | progress 2 (50%) | "
              "status Switching FRAME user data | progress 3 (75%) | status Reading user "
              "data | progress 0 (0%) | " +
                  kEnd);
    EXPECT_EQ(Shown(), kMeterShown);
    const TLines log = Log(4, true);
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ((TLines{log[0], log[1], log[2], log[4], log[6]}),
              (TLines{kSelectConfig, "TX E5", kDataRequest, kSelectUser, kDataRequest}));
    EXPECT_THAT(log[3], StartsWith("TX 68 3A 3A 68 08 01 72 01")); // configuration data, 64 bytes
    EXPECT_THAT(log[7], StartsWith("TX 68 2A 2A 68 08 01 72 01")); // user data, 48 bytes
}

TEST_F(Operations, TheKeyboardFocusReturnsToTheButtonThatStartedTheOperation)
{
    Start(ReadMeter());
    // Disabled while the operation runs, the button hands the focus on to the next control.
    for (QPushButton* button : {Form1->Button2, Form1->Button3}) {
        button->setFocus();
        Click(button);
        EXPECT_EQ(Form1->focusWidget(), button) << button->text().toStdString();
    }
}

// A pick in the port box closes the port and opens another; the answers are checked against
// "Addr". Neither may reach the exchange under way.
TEST_F(Operations, NeitherWheelNorArrowKeysOverTheLinkSettingsReachTheExchangeOfARunningRead)
{
    AfPtyPort com2(2); // listed after the meter's COM 1: a port to move on to
    Start(ReadMeter());
    TAfPortComboBox* box = Form1->AfPortComboBox1;
    ASSERT_EQ(box->count(), 2);
    box->setFocus();
    FTrace->When("Reading config data", [box] {
        const QPointF at = box->rect().center();
        QWheelEvent wheel(at, box->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(box, &wheel);
        QTest::keyClick(box, Qt::Key_Down);
        QTest::keyClick(Form1->SpinEdit2, Qt::Key_Up);
        QTest::keyClick(Form1->SpinEdit1, Qt::Key_Up);
    });
    EXPECT_THAT(Click(Form1->Button2), EndsWith("status Reading user data | progress 0 (0%) | " + kEnd));
    EXPECT_EQ(Shown(), kMeterShown);
    EXPECT_EQ(Form1->AfComPort1->ComNumber(), 1);
    EXPECT_EQ(box->currentText().toStdString(), "COM 1");
    EXPECT_EQ(Form1->SpinEdit2->Value(), 1);
    // Read once as the port opens, the link's baud rate stays editable.
    EXPECT_EQ(Form1->SpinEdit1->Value(), 2401);
    // Locked meanwhile, the box had to give the keyboard focus away; it has it back.
    EXPECT_EQ(Form1->focusWidget(), box);
}

TEST_F(Operations, ReadWithoutTheSecondAcknowledgementReachesThreeAndReportsDataReadError)
{
    Start(ReadMeter({.SilentSecondSelect = true}));
    Form1->MBusState().ScaleCodes = {7, 7};
    EXPECT_THAT(Click(Form1->Button2),
                EndsWith("status Switching FRAME user data | progress 3 (75%) | progress 0 (0%) | " + kEnd +
                         " | box DATA read error"));
    EXPECT_EQ(Log(3), (TLines{kSelectConfig, kDataRequest, kSelectUser}));
    EXPECT_EQ(Shown(), kDesignShown);
    // The configuration data were decoded all the same.
    EXPECT_EQ(Form1->MBusState().ScaleCodes.FlowScaleCode, 1);
    EXPECT_EQ(Form1->MBusState().ScaleCodes.PulseScaleCode, 2);
}

// A Read of a meter with one fault: the boxes it shows, whether the fields were filled and how
// many telegrams went out.
struct TReadFault {
    const char* Name;
    TMeterFaults Faults;
    std::string Boxes;
    std::uint64_t Sent; // 4 for a whole read, which fills the fields
};
void PrintTo(const TReadFault& fault, std::ostream* out)
{
    *out << fault.Name;
}

class ReadFaults : public Operations, public testing::WithParamInterface<TReadFault> {};

TEST_P(ReadFaults, AreMetAsTheyShouldBe)
{
    Start(ReadMeter(GetParam().Faults));
    Form1->MBusState().ScaleCodes = {7, 7};
    QStringList boxes;
    for (const QString& step : QString::fromStdString(Click(Form1->Button2)).split(" | "))
        if (step.startsWith("box ") || step.startsWith("error "))
            boxes << step;
    EXPECT_EQ(boxes.join(" | ").toStdString(), GetParam().Boxes);
    EXPECT_EQ(Shown(), GetParam().Sent == 4 ? kMeterShown : kDesignShown);
    EXPECT_EQ(Log(GetParam().Sent).size(), GetParam().Sent);
    // The scale codes change only with configuration data decoded.
    EXPECT_EQ(Form1->MBusState().ScaleCodes.FlowScaleCode, GetParam().Sent > 2 ? 1 : 7);
}

constexpr auto kFrames = TFaultAnswers::faFrames;
const std::string kReadError = "box DATA read error";
const std::string kBadConfigData = "box <time> - Invalid ChSum | box DATA read error";

INSTANTIATE_TEST_SUITE_P(
    Meter, ReadFaults,
    testing::Values(TReadFault{"NoAnswer", {.NoAnswer = true}, kReadError, 1},
                    TReadFault{"LateAnswer", {.LateMs = 1000}, kReadError, 1},
                    TReadFault{"BadChecksum", {.BadChecksum = true, .Answers = kFrames}, kBadConfigData, 2},
                    TReadFault{"PartialFrame", {.PartialBytes = 20, .Answers = kFrames}, kBadConfigData, 2},
                    TReadFault{"NoiseBeforeFrames", {.NoiseBytes = 5, .Answers = kFrames}, "", 4},
                    // More than the buffer holds, all within the wait.
                    TReadFault{"OversizeFrames", {.OversizeBytes = 110, .Answers = kFrames}, "", 4},
                    TReadFault{"Echo", {.Echo = true}, "", 4}),
    [](const testing::TestParamInfo<TReadFault>& info) { return std::string(info.param.Name); });

// ---- Write

TEST_F(Operations, WriteChangesTheMetersRegistersAndASecondReadShowsThem)
{
    Start({});
    Form1->SpinEdit4->SetValue(3000);
    Form1->SpinEdit5->SetValue(5);
    Form1->SpinEdit6->SetValue(9600);
    Form1->ComboBox1->SetItemIndex(1);
    Form1->SpinEdit7->SetValue(10);
    const std::string written = "100 3000 1 5 9600 Yes#1 10 17.6ms";
    ASSERT_EQ(Shown(), written);
    EXPECT_EQ(
        Click(Form1->Button1),
        "range 0..37 | range 29..37 | progress 29 (0%) | buttons none | port open | status Switching FRAME "
        "config data | progress 30 (12%) | status Reading config data | progress 31 (25%) | status Setting "
        "user data reg. 0x20 | progress 32 (37%) | status Setting user data reg. 0x21 | progress 33 (50%) | "
        "status Setting user data reg. 0x22 | progress 34 (62%) | status Setting user data reg. 0x23 | "
        "progress 35 (75%) | status Setting user data reg. 0x24 | progress 36 (87%) | progress 29 (0%) | " +
            kEnd);
    EXPECT_EQ(Log(7),
              (TLines{kSelectConfig, kDataRequest, "RX 68 0A 0A 68 53 01 51 04 FF 20 CD CC CC 3D 6A 16",
                      "RX 68 0A 0A 68 53 01 51 04 FF 21 00 00 40 40 49 16",
                      "RX 68 0A 0A 68 53 01 51 04 FF 22 00 00 7A 44 88 16",
                      "RX 68 0A 0A 68 53 01 51 04 FF 23 00 00 7A 44 89 16",
                      "RX 68 0A 0A 68 53 01 51 04 FF 24 05 60 FF 0A 3A 16"}));
    EXPECT_EQ(Register(0x20), 0x3DCCCCCDu);
    EXPECT_EQ(Register(0x24), 0x0AFF6005u);

    // The meter listens at its new address and speed now.
    Form1->SpinEdit1->SetValue(9600);
    Form1->SpinEdit2->SetValue(5);
    for (TSpinEdit* field : {Form1->SpinEdit3, Form1->SpinEdit4, Form1->SpinEdit5, Form1->SpinEdit6})
        field->SetValue(7);
    Form1->Edit1->setText("7");
    Form1->ComboBox1->SetItemIndex(0);
    // The bar that Write left at its minimum starts the read empty.
    EXPECT_THAT(Click(Form1->Button2),
                StartsWith("range 0..37 | progress 0 (0%) | range 0..4 | buttons none"));
    EXPECT_EQ(Shown(), written);
}

TEST_F(Operations, WriteStopsAtARegisterNotAcknowledgedAndShowsWhereItStopped)
{
    TMeterSimOptions options;
    options.Faults.RefusedRegisters.set(0x22);
    Start(options);
    Form1->SpinEdit3->SetValue(0);
    Form1->Edit1->setText("2");
    EXPECT_THAT(
        Click(Form1->Button1),
        EndsWith("progress 33 (50%) | status Setting user data reg. 0x22 | box Registers 22 write error | "
                 "progress 29 (0%) | " +
                 kEnd + " | box DATA write error"));
    EXPECT_EQ(Log(5),
              (TLines{kSelectConfig, kDataRequest, "RX 68 0A 0A 68 53 01 51 04 FF 20 00 00 00 00 C8 16",
                      "RX 68 0A 0A 68 53 01 51 04 FF 21 00 00 00 40 09 16",
                      "RX 68 0A 0A 68 53 01 51 04 FF 22 00 00 FA 44 08 16"}));
    EXPECT_EQ(Register(0x21), 0x40000000u); // 2.0
    EXPECT_EQ(Register(0x22), 0x447A0000u); // still 1000.0, not 2000.0
}

TEST_F(Operations, WriteToTheBroadcastAddressSendsUnscaledValuesOnceConfirmedAndWaitsForNoAnswer)
{
    Start({});
    Form1->SpinEdit2->SetValue(255);
    Form1->SpinEdit7->SetValue(10);
    const std::string trace = Click(Form1->Button1);
    EXPECT_THAT(trace,
                StartsWith("confirm Addr 255 is addr non ack broadcast\nContinue? | range 0..37 | range "
                           "29..37 | progress 29 (0%) | buttons none | port open | status Setting user "
                           "data reg. 0x20 | progress 31 (25%) | progress 32 (37%)"));
    EXPECT_THAT(trace, EndsWith("progress 36 (87%) | progress 29 (0%) | " + kEnd));
    EXPECT_EQ(Log(5), (TLines{"RX 68 0A 0A 68 53 FF 51 04 FF 20 00 00 C8 42 D0 16",
                              "RX 68 0A 0A 68 53 FF 51 04 FF 21 00 00 FA 44 05 16",
                              "RX 68 0A 0A 68 53 FF 51 04 FF 22 00 00 80 3F 87 16",
                              "RX 68 0A 0A 68 53 FF 51 04 FF 23 00 00 80 3F 88 16",
                              "RX 68 0A 0A 68 53 FF 51 04 FF 24 01 18 00 0A ED 16"}));
    EXPECT_EQ(Form1->MBusState().ScaleCodes.FlowScaleCode, 3);
    EXPECT_EQ(Form1->MBusState().ScaleCodes.PulseScaleCode, 3);
}

TEST_F(Operations, WriteAfterConfigurationDataThatFailToDecodeWritesNothing)
{
    Start({.Faults = {.BadChecksum = true}});
    Form1->SpinEdit3->SetValue(555);
    EXPECT_THAT(Click(Form1->Button1),
                EndsWith("status Reading config data | box <time> - Invalid ChSum | progress "
                         "29 (0%) | " +
                         kEnd + " | box DATA write error"));
    EXPECT_EQ(Log(2), (TLines{kSelectConfig, kDataRequest}));
    EXPECT_EQ(Register(0x20), 0x3DCCCCCDu); // 100 l/h as it was
}

// ---- what an operation refuses before anything is sent

TEST_F(Operations, FieldsThatCannotBeSentAreRefusedBeforeTheLinkIsOpened)
{
    Start({});
    QPushButton* TForm1::*const read = &TForm1::Button2;
    QPushButton* TForm1::*const write = &TForm1::Button1;
    QPushButton* TForm1::*const reset = &TForm1::Button3;
    const auto set = [](TSpinEdit* TForm1::*field, int value) {
        return [=] { (Form1->*field)->SetValue(value); };
    };
    const auto impOut = [](const char* text) { return [=] { Form1->Edit1->setText(text); }; };
    const struct {
        QPushButton* TForm1::*Button;
        std::function<void()> Set;
        std::string Said;
    } cases[] = {
        {read, set(&TForm1::SpinEdit2, 255), "box Addr 255 is non ack broadcast"},
        {read, set(&TForm1::SpinEdit2, 300), "box Addr 255 is non ack broadcast"},
        {read, set(&TForm1::SpinEdit2, -1), "box Addr -1 is out of range (0 to 255)"},
        {reset, set(&TForm1::SpinEdit2, 255), "box Addr 255 is non ack broadcast"},
        {reset, set(&TForm1::SpinEdit2, -1), "box Addr -1 is out of range (0 to 255)"},
        {write, set(&TForm1::SpinEdit2, -1), "box Addr -1 is out of range (0 to 255)"},
        {write, set(&TForm1::SpinEdit2, 256), "box Addr 256 is out of range (0 to 255)"},
        {write,
         [this] {
             Form1->SpinEdit2->SetValue(255);
             FTrace->Answer = TModalResult::mrNo;
         },
         "confirm Addr 255 is addr non ack broadcast\nContinue?"},
        {write, impOut("1,5"), "error '1,5' is not a valid floating point value"},
        {write, impOut(""), "error '' is not a valid floating point value"},
        {write, set(&TForm1::SpinEdit5, 256), "box Address 256 is out of range (0 to 255)"},
        {write, set(&TForm1::SpinEdit6, 38400), "box Baud 38400 is out of range (0 to 25599)"},
        {write, set(&TForm1::SpinEdit6, -100), "box Baud -100 is out of range (0 to 25599)"},
        // Typed, and not yet clamped by leaving the field.
        {write, [] { Form1->SpinEdit7->setText("251"); }, "box Pulse width 251 is out of range (0 to 250)"},
    };
    for (const auto& c : cases) {
        Renew();
        c.Set();
        // Nothing else: the buttons, the port, the status window and the progress bar stay as they were.
        EXPECT_EQ(Click(Form1->*c.Button), c.Said);
    }
    EXPECT_EQ(FSim->Sim().Heard(), 0u);
}

// ---- an error on the way, and the window closed on the way

TEST_F(Operations, AnErrorEndsTheOperationWithItsClosingStepsAndIsShownAlone)
{
    Start({.Meter = {.Volume = 99}});
    // "Imp Out" is a single, but not once multiplied by the meter's 1000: no register goes out.
    Form1->Edit1->setText("1e36");
    EXPECT_THAT(Click(Form1->Button1), EndsWith("progress 31 (25%) | progress 29 (0%) | " + kEnd +
                                                " | error Imp Out 1E36 is out of range"));
    EXPECT_EQ(Log(2).size(), 2u);

    // The request does not fit the output queue.
    Form1->AfComPort1->SetOutBufSize(8);
    EXPECT_THAT(Click(Form1->Button2),
                EndsWith(kEnd + " | error Write data error [requested: 11, free: 8] - AfComPort1 "));

    // No port behind the number; the reset button stays usable.
    Form1->AfComPort1->SetComNumber(9);
    EXPECT_EQ(Click(Form1->Button3), "error Invalid port number (COM9)");
    EXPECT_EQ(Register(0x30), 99u);
}

TEST_F(Operations, ClosingTheWindowEndsTheOperationWithoutAWord)
{
    Start(ReadMeter());
    QGuiApplication::setQuitOnLastWindowClosed(false);
    FTrace->When("Reading config data", [] { Form1->close(); });
    const std::string trace = Click(Form1->Button2);
    QGuiApplication::setQuitOnLastWindowClosed(true);
    EXPECT_THAT(trace, HasSubstr("status Reading config data"));
    EXPECT_THAT(trace, EndsWith(kEnd));
    EXPECT_THAT(trace, testing::Not(HasSubstr("box")));
    EXPECT_EQ(Shown(), kDesignShown);
}

// The port's device goes while the read waits (an adapter pulled out): the read ends there with
// one error naming the port, the port released and the buttons back, and no "DATA read error".
TEST_F(Operations, APortWhoseDeviceGoesEndsTheOperationWithOneError)
{
    Start(ReadMeter());
    AfPtyPort line(2);
    Form1->AfComPort1->SetComNumber(2);
    FTrace->When("Switching FRAME config data", [&line] { line.CloseFarEnd(); });
    EXPECT_EQ(Click(Form1->Button2), "range 0..4 | buttons none | port open | status Switching FRAME config "
                                     "data | port closed | buttons Write,Read,Reset | status hidden | error "
                                     "Device COM2 failed");
    EXPECT_EQ(FSim->Sim().Heard(), 0u);
    // Outside an operation (the port opened by a pick): shown once, and the port released.
    AfPtyPort other(3);
    Form1->AfComPort1->SetComNumber(3);
    Form1->AfComPort1->OpenPort();
    other.CloseFarEnd();
    EXPECT_TRUE(porttest::PumpUntil([] { return !Form1->AfComPort1->IsPortOpen(); }));
    FTrace->Look();
    EXPECT_EQ(FTrace->Take(), "error Device COM3 failed");
}

// ---- Reset

TEST_F(Operations, ResetClearsTheCounterWithTheButtonsDisabledMeanwhile)
{
    Start({});
    EXPECT_NE(Register(0x30), 0u);
    EXPECT_EQ(Click(Form1->Button3), "buttons none | port open | buttons Write,Read,Reset | port closed");
    EXPECT_EQ(Log(2, true), (TLines{"RX 68 0A 0A 68 53 01 51 04 FF 30 00 00 00 00 D8 16", "TX E5",
                                    "RX 68 0A 0A 68 53 01 51 04 FF 31 00 00 00 00 D9 16", "TX E5"}));
    EXPECT_EQ(Register(0x30), 0u);
}

// Without a meter, or with one that refuses one of the registers: both are sent all the same, and
// the counter keeps what the meter stored.
TEST_F(Operations, ResetMissingAnAcknowledgementSendsBothRegistersThenReportsDataWriteError)
{
    const auto refusing = [](std::size_t reg) {
        return TMeterFaults{.RefusedRegisters = std::bitset<256>().set(reg)};
    };
    const struct {
        const char* Meter;
        TMeterFaults Faults;
        std::uint32_t Volume;
    } meters[] = {{"none", {.NoAnswer = true}, 0},
                  {"refusing 0x30", refusing(0x30), 123456},
                  {"refusing 0x31", refusing(0x31), 0}};
    for (const auto& meter : meters) {
        SCOPED_TRACE(meter.Meter);
        FSim.reset();
        Start({.Faults = meter.Faults});
        EXPECT_EQ(Click(Form1->Button3),
                  "buttons none | port open | buttons Write,Read,Reset | port closed | box DATA write error");
        EXPECT_EQ(Log(2).size(), 2u);
        EXPECT_EQ(Register(0x30), meter.Volume);
    }
}

} // namespace
