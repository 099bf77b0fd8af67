// The port configuration dialog, offscreen: shown by a port's ShowSettingsDialog, confirmed and
// cancelled, and what it keeps of a DCB it starts from.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>
#include <functional>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfCommConfigDialog.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "ComPortTestSupport.h"

using namespace porttest;

namespace {

constexpr int kCom = 211;

const std::string kPortDir = AfTestPortDirectory();
testing::Environment* const g_app = testing::AddGlobalTestEnvironment(new TAppEnvironment<QApplication>);

QComboBox* Choice(QDialog& Dialog, const char* Name)
{
    auto* box = Dialog.findChild<QComboBox*>(QString::fromLatin1(Name));
    EXPECT_NE(box, nullptr) << Name;
    return box;
}

void Choose(QDialog& Dialog, const char* Name, const char* Text)
{
    QComboBox* box = Choice(Dialog, Name);
    const int index = box->findText(QString::fromLatin1(Text));
    ASSERT_GE(index, 0) << Text;
    box->setCurrentIndex(index);
}

QPushButton* Button(QDialog& Dialog, QDialogButtonBox::StandardButton Which)
{
    return Dialog.findChild<QDialogButtonBox*>()->button(Which);
}

// Runs Act on the dialog once it is shown (modally, by the code that runs next).
void WhenShown(std::function<void(QDialog&)> Act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, Act] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            Act(*dialog);
        }
    });
    poll->start(10);
}

class CommConfigDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        FBefore = AfSetCommConfigDialog(nullptr);
        InstallCommConfigDialog();
        FPort.SetComNumber(kCom);
        FPort.SetParity(paEven);
    }
    void TearDown() override { AfSetCommConfigDialog(FBefore); }

    AfPtyPort FPty{kCom};
    TAfComPort FPort{nullptr};
    AfCommConfigDialogProc FBefore = nullptr;
};

TEST_F(CommConfigDialogTest, ConfirmationTakesTheChosenSettings)
{
    QString shownParity;
    WhenShown([&](QDialog& dialog) {
        shownParity = Choice(dialog, "Parity")->currentText();
        Choice(dialog, "Bits per second")->setEditText(QStringLiteral("31250"));
        Choose(dialog, "Parity", "Odd");
        Choose(dialog, "Stop bits", "2");
        Choose(dialog, "Flow control", "Hardware (RTS/CTS)");
        Button(dialog, QDialogButtonBox::Ok)->click();
    });
    EXPECT_TRUE(FPort.ShowSettingsDialog());
    EXPECT_EQ(shownParity, QStringLiteral("Even")) << "the dialog starts from the port's settings";
    EXPECT_EQ(FPort.BaudRate(), brUser);
    EXPECT_EQ(FPort.UserBaudRate(), 31250);
    EXPECT_EQ(FPort.Parity(), paOdd);
    EXPECT_EQ(FPort.Stopbits(), sbTwo);
    EXPECT_EQ(FPort.FlowControl(), fwRtsCts);
    EXPECT_TRUE(FPort.DTR());
}

TEST_F(CommConfigDialogTest, CancelChangesNothing)
{
    FPort.OpenPort();
    const DCB before = FPort.DCB();
    WhenShown([](QDialog& dialog) {
        Choose(dialog, "Data bits", "7");
        Button(dialog, QDialogButtonBox::Cancel)->click();
    });
    EXPECT_FALSE(FPort.ShowSettingsDialog());
    EXPECT_EQ(FPort.Databits(), db8);
    const DCB after = FPort.DCB();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST(CommConfigDialogOwnTest, KeepsWhatItDoesNotShowAndRefusesAMissingRate)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 31250;
    dcb.ByteSize = 8;
    dcb.ErrorChar = 'e';
    SetDcbFlags(dcb, DCB_fBinary | DCB_fParity | DCB_fDtrControlHandshake | DCB_fOutxDsrFlow |
                         DCB_fRtsControlEnable);
    TAfCommConfigDialog dialog(QStringLiteral("COM3"), dcb);
    const DCB unchanged = dialog.ChosenDCB();
    EXPECT_EQ(std::memcmp(&unchanged, &dcb, sizeof dcb), 0);
    EXPECT_EQ(Choice(dialog, "Flow control")->currentText(), QStringLiteral("Hardware (DTR/DSR)"));

    Choose(dialog, "Flow control", "None");
    const DCB chosen = dialog.ChosenDCB();
    EXPECT_EQ(DcbFlags(chosen), DCB_fBinary | DCB_fParity | DCB_fDtrControlEnable | DCB_fRtsControlEnable)
        << "the DTR line leaves its handshake held on";

    Choice(dialog, "Bits per second")->setEditText(QString());
    EXPECT_FALSE(Button(dialog, QDialogButtonBox::Ok)->isEnabled());
    for (QWidget* control : dialog.findChildren<QWidget*>()) {
        if (qobject_cast<QComboBox*>(control) || qobject_cast<QPushButton*>(control)) {
            EXPECT_FALSE(control->accessibleName().isEmpty()) << control->metaObject()->className();
        }
    }
}

} // namespace
