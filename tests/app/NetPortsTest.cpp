// "Read", "Write" and the reset of the main volume counter end to end through network ports: the
// real window, its port picked in the port box as COM 5, which names ser2net (run by the test on
// 127.0.0.1) in front of the meter simulator's pseudo-terminal, over RFC 2217 and over raw TCP.
// Each operation runs its real exchanges with their fixed waits.
#include <QAbstractItemView>
#include <QLocale>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "AppForms.h"
#include "MessageBoxes.h"
#include "NetGateways.h"
#include "SimTestSupport.h"
#include "ToolkitTestApp.h"
#include "UnitVexora.h"

namespace {

const std::string kPortDir = AfTestPortDirectory();
constexpr int kNetCom = 5;

// The fields that Read fills, as one line.
std::string Shown()
{
    const TForm1& f = *Form1;
    return QStringList{
        QString::number(f.SpinEdit3->Value()), QString::number(f.SpinEdit4->Value()), f.Edit1->text(),
        QString::number(f.SpinEdit5->Value()), QString::number(f.SpinEdit6->Value()), f.ComboBox1->Text(),
        QString::number(f.SpinEdit7->Value())}
        .join(u' ')
        .toStdString();
}

class NetPortsTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        TestApp();
        QLocale::setDefault(QLocale::c());
        InstallExceptionDisplay();
        FSim = std::make_unique<TRunningSimulator>(TMeterSimOptions{.Meter = {.FlowScaleCode = 1,
                                                                              .PulseScaleCode = 2,
                                                                              .Q4mA = 250,
                                                                              .Q20mA = 4500,
                                                                              .ImpOut = 2.5,
                                                                              .TestEmptyTube = true,
                                                                              .PulseWidth = 20}});
        FGateway = std::make_unique<TSer2net>(FSim->Sim().DevicePath());
        AfRegisterTestCom(kNetCom, GetParam() ? FGateway->Rfc2217Address() : FGateway->TcpAddress());
        CreateForms();
        Form1->show();
    }
    void TearDown() override
    {
        DestroyForms();
        FGateway.reset();
        FSim.reset();
        AfUnregisterTestCom(kNetCom);
        SetApplicationExceptionHandler(nullptr);
    }

    // The user picks COM <Number> in the port box: the port opens on it.
    void Pick(int Number)
    {
        TAfPortComboBox* box = Form1->AfPortComboBox1;
        const int index = box->findText(QStringLiteral("COM %1").arg(Number));
        ASSERT_GE(index, 0);
        box->showPopup();
        box->view()->setCurrentIndex(box->model()->index(index, 0));
        QTest::keyClick(box->view(), Qt::Key_Return);
        ASSERT_EQ(Form1->AfComPort1->ComNumber(), Number);
    }
    // Runs the operation of Button to its end: the boxes it showed.
    std::string Click(QPushButton* Button)
    {
        TMessageRecorder boxes;
        Button->click();
        EXPECT_TRUE(FGateway->WaitReleased());
        QStringList texts;
        for (const TMessageRequest& box : boxes.Requests())
            texts << box.Text;
        return texts.join(" | ").toStdString();
    }
    std::uint32_t Register(std::uint8_t Reg) { return FSim->Sim().State().Register(Reg); }

    std::unique_ptr<TRunningSimulator> FSim;
    std::unique_ptr<TSer2net> FGateway;
};

// Over RFC 2217 the line's rate goes to the far port: a meter moved to 9600 baud by Write answers
// there. Over raw TCP the gateway keeps its own 2400 baud.
TEST_P(NetPortsTest, ReadWriteAndResetGoThroughTheGateway)
{
    Pick(kNetCom);
    EXPECT_EQ(Click(Form1->Button2), "");
    EXPECT_EQ(Shown(), "250 4500 2.5 1 2400 Yes 20");

    const int meterBaud = GetParam() ? 9600 : 2400;
    Form1->SpinEdit6->SetValue(meterBaud);
    Form1->SpinEdit4->SetValue(3000);
    EXPECT_EQ(Click(Form1->Button1), "");
    EXPECT_EQ(Register(0x21), 0x41F00000u); // 3000 l/h as 30.0 at flow scale code 1 (factor 100)
    // Pulse width 20, the empty-tube test on, the meter's baud rate ÷ 100, address 1.
    EXPECT_EQ(Register(0x24), 0x14FF0001u | static_cast<std::uint32_t>(meterBaud / 100) << 8);
    if (GetParam()) {
        Form1->SpinEdit1->SetValue(9600);
        for (TSpinEdit* field : {Form1->SpinEdit3, Form1->SpinEdit4, Form1->SpinEdit6})
            field->SetValue(7);
        EXPECT_EQ(Click(Form1->Button2), "");
        EXPECT_EQ(Shown(), "250 3000 2.5 1 9600 Yes 20");
    }

    EXPECT_NE(Register(0x30), 0u);
    EXPECT_EQ(Click(Form1->Button3), "");
    EXPECT_EQ(Register(0x30), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NetPortsTest, testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Rfc2217" : "Tcp"); });

} // namespace
