// In the UART guest only (scripts/test-uart.sh; on the host every test skips): the tool, vexora-cli
// and the port box on real USB adapters (QEMU's emulated FTDI converters under the kernel's
// ftdi_sio, tests/support/UsbGuest.h). The meter is the simulator on the host, at the far end of
// one converter; the tests pull converters out and plug them back in through QEMU's monitor.
//
// The meter keeps what the operations write for the whole run: the first test leaves it at
// address 5 and 9600 baud, and the later ones read it there.
#include <QEventLoop>
#include <QLocale>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfPortControls.h>
#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "AppForms.h"
#include "ComPortTestSupport.h"
#include "OperationsTrace.h"
#include "ProcessProbes.h"
#include "ToolkitTestApp.h"
#include "UsbGuest.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;

const std::string kPortDir = AfTestPortDirectory();

// The meter as scripts/test-uart.sh starts the simulator on the host, read at Baud.
std::string MeterShown(int Baud)
{
    return "250 4500 2.5 1 " + std::to_string(Baud) + " Yes#1 20 34.2ms";
}
// What the first test writes, and every later Read shows.
const std::string kWritten = "250 3000 2.5 5 9600 Yes#1 10 17.6ms";
const std::string kEnd = "buttons Write,Read,Reset | port closed | status hidden";

// Serves the event loop for Ms with nothing of its own to wake it before the end.
void IdleFor(int Ms)
{
    QEventLoop loop;
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The main window on COM 1, the converter to the meter.
class UsbOperations : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_USB_GUEST();
        TestApp();
        QLocale::setDefault(QLocale::c());
        InstallExceptionDisplay();
        ASSERT_NE(UsbAdapterDevice(kUsbMeter), "") << "the converter to the meter is out";
        AfRegisterTestCom(1, UsbAdapterDevice(kUsbMeter));
        CreateForms();
        Form1->SpinEdit1->SetValue(9600);
        Form1->SpinEdit2->SetValue(5);
        Form1->show();
        FTrace = std::make_unique<TTracer>();
    }
    void TearDown() override
    {
        FTrace.reset();
        DestroyForms();
        SetApplicationExceptionHandler(nullptr);
        // A converter a failed test left out is back for the next.
        if (!GuestMonitorLine().empty() && UsbAdapterDevice(kUsbMeter).empty())
            PlugIn(kUsbMeter);
    }
    std::string Click(QPushButton* Button)
    {
        Button->click();
        FTrace->Look();
        return FTrace->Take();
    }

    std::unique_ptr<TTracer> FTrace;
};

TEST_F(UsbOperations, ReadWriteAndResetAt2400And9600Baud)
{
    Form1->SpinEdit1->SetValue(2400);
    Form1->SpinEdit2->SetValue(1);
    EXPECT_THAT(Click(Form1->Button2), EndsWith("status Reading user data | progress 0 (0%) | " + kEnd));
    EXPECT_EQ(Shown(), MeterShown(2400));

    // To address 5 at 9600 baud, where the meter listens from then on.
    Form1->SpinEdit4->SetValue(3000);
    Form1->SpinEdit5->SetValue(5);
    Form1->SpinEdit6->SetValue(9600);
    Form1->SpinEdit7->SetValue(10);
    ASSERT_EQ(Shown(), kWritten);
    EXPECT_THAT(Click(Form1->Button1), EndsWith("progress 36 (87%) | progress 29 (0%) | " + kEnd));

    Form1->SpinEdit1->SetValue(9600);
    Form1->SpinEdit2->SetValue(5);
    for (TSpinEdit* field : {Form1->SpinEdit3, Form1->SpinEdit4, Form1->SpinEdit5, Form1->SpinEdit6})
        field->SetValue(7);
    EXPECT_THAT(Click(Form1->Button2), EndsWith("status Reading user data | progress 0 (0%) | " + kEnd));
    EXPECT_EQ(Shown(), kWritten);
    EXPECT_EQ(Click(Form1->Button3), "buttons none | port open | buttons Write,Read,Reset | port closed");
}

// The commonest fault in the field: one error naming the port, the port released, the buttons
// back, no thread left and none busy; plugged back in, the converter reads as before.
TEST_F(UsbOperations, AConverterPulledOutDuringAReadEndsItWithOneError)
{
    const std::set<std::string> threads = Threads();
    FTrace->When("Reading config data", [] { EXPECT_TRUE(PullOut(kUsbMeter)); });
    const std::string trace = Click(Form1->Button2);
    EXPECT_THAT(trace, EndsWith("status Reading config data | progress 0 (0%) | " + kEnd +
                                " | error Device COM1 failed"));
    EXPECT_EQ(Threads(), threads) << "the port's threads are gone";
    // The box rescans the ports once the kernel has let the converter go; under emulation that
    // alone can cost a tenth of a second, so the count starts after it. A thread left spinning
    // would cost the whole second.
    porttest::PumpFor(500);
    const double cpu = CpuMs();
    porttest::PumpFor(1000);
    EXPECT_LT(CpuMs() - cpu, 250.0) << "something keeps busy after the pull";

    const std::string device = PlugIn(kUsbMeter);
    ASSERT_NE(device, "");
    AfRegisterTestCom(1, device);
    EXPECT_THAT(Click(Form1->Button2), EndsWith("status Reading user data | progress 0 (0%) | " + kEnd));
    EXPECT_EQ(Shown(), kWritten);
}

// A port left open (as a pick in the box leaves it) whose converter is pulled out: shown once and
// let go at once, so that the kernel gives the converter its name back when it returns (a handle
// held on the gone device would keep that name taken).
TEST_F(UsbOperations, AConverterPulledOutUnderAnOpenPortIsLetGoAndComesBackUnderItsName)
{
    const std::string device = UsbAdapterDevice(kUsbMeter);
    Form1->AfComPort1->OpenPort();
    ASSERT_TRUE(PullOut(kUsbMeter));
    EXPECT_TRUE(porttest::PumpUntil([] { return !Form1->AfComPort1->IsPortOpen(); }, 5000));
    FTrace->Look();
    EXPECT_EQ(FTrace->Take(), "error Device COM1 failed");
    EXPECT_EQ(PlugIn(kUsbMeter), device);
}

QProcessEnvironment MachinePortsOn()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VEXORA_MACHINE_PORTS", "1");
    return environment;
}

// Whether process Pid holds Device open.
bool Holds(qint64 Pid, const std::string& Device)
{
    std::error_code error;
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(Pid) + "/fd", error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(fd.path(), ignored) == Device)
            return true;
    }
    return false;
}

TEST(UsbCli, AConverterPulledOutDuringAReadEndsItWithOnePortError)
{
    SKIP_WITHOUT_USB_GUEST();
    TestApp();
    const std::string device = UsbAdapterDevice(kUsbMeter);
    ASSERT_NE(device, "");
    QProcess cli;
    cli.setProcessEnvironment(MachinePortsOn());
    cli.start(QStringLiteral(VEXORA_CLI),
              {"read", "--port", QString::fromStdString(device), "--baud", "9600", "--addr", "5"});
    ASSERT_TRUE(cli.waitForStarted());
    for (const auto end = Clock::now() + 20s; !Holds(cli.processId(), device) && Clock::now() < end;)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(800ms);
    ASSERT_TRUE(PullOut(kUsbMeter));
    ASSERT_TRUE(cli.waitForFinished(30000));
    const std::string said = cli.readAllStandardError().toStdString();
    EXPECT_EQ(cli.exitCode(), 4) << said;
    EXPECT_THAT(said, testing::MatchesRegex("vexora-cli: Device COM[0-9]+ failed\n"
                                            "vexora-cli: COM[0-9]+ was " +
                                            device + ", which is no longer there\n"));
    EXPECT_EQ(cli.readAllStandardOutput().toStdString(), "");
    EXPECT_NE(PlugIn(kUsbMeter), "");
}

TEST(UsbCli, PortsNamesEachConverterFromSysfs)
{
    SKIP_WITHOUT_USB_GUEST();
    TestApp();
    QProcess cli;
    cli.setProcessEnvironment(MachinePortsOn());
    cli.start(QStringLiteral(VEXORA_CLI), {"ports"});
    ASSERT_TRUE(cli.waitForFinished(30000));
    EXPECT_EQ(cli.exitCode(), 0);
    const std::string listed = cli.readAllStandardOutput().toStdString();
    for (const TUsbAdapter& adapter : {kUsbMeter, kUsbPairA, kUsbPairB})
        EXPECT_THAT(listed, testing::ContainsRegex("COM [0-9]+  " + UsbAdapterDevice(adapter) +
                                                   ", ftdi_sio, QEMU USB SERIAL \\(0403:6001\\), serial " +
                                                   adapter.Serial + "\n"));
}

// The port box on the machine's own ports: each converter's item names it, and with the watch on,
// a converter pulled out and plugged back in leaves and rejoins the list with nobody picking, the
// current port staying selected; an idle box does not wake.
TEST(UsbPortBox, NamesEachConverterAndFollowsItOutAndIn)
{
    SKIP_WITHOUT_USB_GUEST();
    TestApp();
    TMachinePorts machine;
    AfUnregisterTestCom(1);
    TAfPortComboBox box;
    // The converters come first: the boxes probe them and none of the UARTs the other tests use.
    box.SetMaxComPorts(3);
    box.SetWatchPorts(true);
    box.show();
    const auto numberOf = [&box](const TUsbAdapter& Adapter) {
        const QString device = QString::fromStdString(UsbAdapterDevice(Adapter));
        for (int i = 0; i < box.count(); ++i)
            if (!device.isEmpty() && box.itemData(i, Qt::ToolTipRole).toString().startsWith(device + ","))
                return static_cast<int>(box.ItemPortNumber(i));
        return 0;
    };
    for (const TUsbAdapter& adapter : {kUsbMeter, kUsbPairA, kUsbPairB}) {
        const int number = numberOf(adapter);
        ASSERT_GT(number, 0) << adapter.Serial;
        EXPECT_EQ(box.itemData(box.findText(QStringLiteral("COM %1").arg(number)), Qt::ToolTipRole)
                      .toString()
                      .toStdString(),
                  UsbAdapterDevice(adapter) + ", ftdi_sio, QEMU USB SERIAL (0403:6001), serial " +
                      adapter.Serial);
    }
    const int a = numberOf(kUsbPairA), b = numberOf(kUsbPairB);
    box.SetCurrentPort(static_cast<std::int16_t>(b));
    const auto listed = [&box](int Number) {
        return box.findText(QStringLiteral("COM %1").arg(Number)) >= 0;
    };

    ASSERT_TRUE(PullOut(kUsbPairA));
    EXPECT_TRUE(porttest::PumpUntil([&] { return !listed(a); }, 5000));
    EXPECT_EQ(box.ItemPortNumber(box.currentIndex()), b);
    ASSERT_NE(PlugIn(kUsbPairA), "");
    EXPECT_TRUE(porttest::PumpUntil([&] { return listed(a); }, 5000));
    EXPECT_EQ(box.ItemPortNumber(box.currentIndex()), b);

    IdleFor(500);
    const long before = Switches();
    IdleFor(2000);
    const long woken = Switches() - before;
    std::printf("an idle box watching the ports: the process woke %ld times in 2 s\n", woken);
    // The wait itself costs a wake-up or two; a watch that polled even 5 times a second, ten.
    EXPECT_LE(woken, 4) << "an idle box keeps waking";
}

} // namespace
