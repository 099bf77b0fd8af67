// The main window's two decoding operations: what they show and what they change.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <cmath>
#include <limits>
#include <memory>

#include "DecodeFrames.h"
#include "ErrorTimeStamp.h"
#include "MBusDecode.h"
#include "MessageBoxes.h"
#include "ToolkitTestApp.h"
#include "UnitVexora.h"

using namespace decodetest;

namespace {

// The fields the decoders may change, as their texts, and the scale codes.
struct Snapshot {
    QString Q4, Q20, ImpOut, Address, Baud, Tube, Pulse, PulseLabel;
    int TubeIndex;
    std::uint8_t Flow, Pulses;
    bool operator==(const Snapshot&) const = default;
};

class DecodeForm : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        QLocale::setDefault(QLocale::c());
        Form = std::make_unique<TForm1>();
    }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    // What the window keeps: its telegram buffer, scale codes and error text.
    TMBusState& State() const { return Form->MBusState(); }
    // The window's telegram buffer as decodetest::Load leaves it.
    void Load(const Bytes& frame) const { State().TelegramBuf = decodetest::Load(frame); }

    Snapshot Take() const
    {
        const TMBusScaleCodes codes = State().ScaleCodes;
        return {Form->SpinEdit3->text(), Form->SpinEdit4->text(), Form->Edit1->text(),
                Form->SpinEdit5->text(), Form->SpinEdit6->text(), Form->ComboBox1->currentText(),
                Form->SpinEdit7->text(), Form->Label31->text(),   Form->ComboBox1->ItemIndex(),
                codes.FlowScaleCode,     codes.PulseScaleCode};
    }

    // Runs one decoder on `frame`; expects it to fail with `message` in one box and to change
    // nothing.
    void ExpectFailure(const Bytes& frame, bool (TForm1::*decoder)(), std::string_view message)
    {
        Load(frame);
        const Snapshot before = Take();
        TMessageRecorder boxes;
        const QDateTime from = QDateTime::currentDateTime();
        EXPECT_FALSE((Form.get()->*decoder)());
        const QDateTime to = QDateTime::currentDateTime();
        ASSERT_EQ(boxes.Requests().size(), 1u);
        const QString shown = boxes.Requests()[0].Text;
        EXPECT_EQ(shown.toStdString(), State().ErrorText);
        const QString text = QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
        EXPECT_TRUE(shown == ErrorTimeStamp(from) + text || shown == ErrorTimeStamp(to) + text)
            << shown.toStdString();
        EXPECT_EQ(Take(), before) << message;
    }

    std::unique_ptr<TForm1> Form;
};

TEST_F(DecodeForm, UserDataFillsEveryFieldInItsDisplayForm)
{
    Load(UserFrame({.Q4 = 0.129f, .Q20 = 0.125f, .Pulses = 2500.0f, .Config = 0x0A010C05u}));
    TMessageRecorder boxes;
    ASSERT_TRUE(Form->DecodeMBusFRAM());
    EXPECT_TRUE(boxes.Requests().empty());
    EXPECT_EQ(Form->SpinEdit3->text(), "129"); // 0.129f is what a write of 129 stores
    EXPECT_EQ(Form->SpinEdit4->text(), "125");
    EXPECT_EQ(Form->Edit1->text(), "2.5");
    EXPECT_EQ(Form->SpinEdit5->Value(), 5);
    EXPECT_EQ(Form->SpinEdit6->Value(), 1200);
    EXPECT_EQ(Form->ComboBox1->ItemIndex(), 1);
    EXPECT_EQ(Form->ComboBox1->currentText(), "Yes");
    EXPECT_EQ(Form->SpinEdit7->text(), "10");
    EXPECT_EQ(Form->Label31->text(), "17.6ms");

    Load(UserFrame({.Pulses = 1000000.0f, .Config = 0x00000000u}));
    State().ScaleCodes.PulseScaleCode = 3;
    ASSERT_TRUE(Form->DecodeMBusFRAM());
    EXPECT_EQ(Form->Edit1->text(), "1E6");
    EXPECT_EQ(Form->ComboBox1->ItemIndex(), 0);
    EXPECT_EQ(Form->ComboBox1->currentText(), "No");
    EXPECT_EQ(Form->Label31->text(), "1ms");
}

TEST_F(DecodeForm, PulseConstantUsesTheLocaleSeparator)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Load(UserFrame({.Pulses = 2500.0f}));
    ASSERT_TRUE(Form->DecodeMBusFRAM());
    EXPECT_EQ(Form->Edit1->text(), "2,5");
}

// 9047615 shifted by the scale code is a tie at 6 digits, and so a constant of 7 digits: its 6-digit
// text (9047.62, rounded away from zero) would write another register, so it shows in full.
TEST_F(DecodeForm, PulseConstantTieAtSixDigitsShowsInFullForEveryScaleCode)
{
    const struct {
        std::uint8_t code;
        const char* shown;
    } cases[] = {{0, "9047.615"}, {1, "90476.15"}, {2, "904761.5"}, {3, "9047615"}, {7, "9047615"}};
    for (const auto& c : cases) {
        Load(UserFrame({.Pulses = 9047615.0f}));
        State().ScaleCodes.PulseScaleCode = c.code;
        ASSERT_TRUE(Form->DecodeMBusFRAM());
        EXPECT_EQ(Form->Edit1->text(), c.shown) << "code " << int(c.code);
    }
}

TEST_F(DecodeForm, StoredPulseWidthAbove250ShowsAs250)
{
    for (std::uint32_t width = 251; width <= 255; ++width) {
        Load(UserFrame({.Config = width << 24}));
        ASSERT_TRUE(Form->DecodeMBusFRAM());
        EXPECT_EQ(Form->SpinEdit7->text(), "250") << width;
        EXPECT_EQ(Form->Label31->text(), "416ms");
    }
}

TEST_F(DecodeForm, FailuresShowOneStampedMessageAndChangeNothing)
{
    Form->SpinEdit3->SetValue(42);
    State().ScaleCodes.FlowScaleCode = 1;
    State().ScaleCodes.PulseScaleCode = 2;

    Bytes frame = UserFrame({});
    frame[5] = 2;
    Reseal(frame);
    ExpectFailure(frame, &TForm1::DecodeMBusFRAM, MsgInvalidAddr);
    ExpectFailure(frame, &TForm1::DecodeMBusFLASH, MsgInvalidAddr);

    frame = UserFrame({});
    frame[46] ^= 1;
    ExpectFailure(frame, &TForm1::DecodeMBusFRAM, MsgInvalidChSum);

    ExpectFailure(Bytes(20, 0x00), &TForm1::DecodeMBusFLASH, MsgInvalidResponse);

    // The first flow converts, the second does not: the first is not applied either.
    ExpectFailure(UserFrame({.Q4 = 5.0f, .Q20 = std::numeric_limits<float>::quiet_NaN()}),
                  &TForm1::DecodeMBusFRAM, MsgInvalidValue);
    ExpectFailure(UserFrame({.Q4 = 3.0e7f}), &TForm1::DecodeMBusFRAM, MsgInvalidValue);
    EXPECT_EQ(Form->SpinEdit3->Value(), 42);
}

TEST_F(DecodeForm, AddrFieldIsTheAddressCompared)
{
    Form->SpinEdit2->SetValue(0xFD);
    Load(UserFrame({}, 0xFD));
    EXPECT_TRUE(Form->DecodeMBusFRAM());
    Form->SpinEdit2->SetValue(0xFD + 256);
    ExpectFailure(UserFrame({}, 0xFD), &TForm1::DecodeMBusFRAM, MsgInvalidAddr);
}

TEST_F(DecodeForm, MissingMarkerIsSilentAndChangesNothing)
{
    for (bool (TForm1::*decoder)() : {&TForm1::DecodeMBusFRAM, &TForm1::DecodeMBusFLASH}) {
        Bytes frame = decoder == &TForm1::DecodeMBusFRAM ? UserFrame({.Q4 = 9.0f}) : ConfigFrame(0x21u);
        frame[25] = 0x7F;
        Reseal(frame);
        Load(frame);
        State().ErrorText = "previous";
        const Snapshot before = Take();
        TMessageRecorder boxes;
        EXPECT_FALSE((Form.get()->*decoder)());
        EXPECT_TRUE(boxes.Requests().empty());
        EXPECT_EQ(Take(), before);
        EXPECT_EQ(State().ErrorText, "previous");
    }
}

TEST_F(DecodeForm, ConfigDataSetsTheScaleCodesTheUserDataUses)
{
    Load(ConfigFrame(0x21u));
    ASSERT_TRUE(Form->DecodeMBusFLASH());
    EXPECT_EQ(State().ScaleCodes.PulseScaleCode, 1);
    EXPECT_EQ(State().ScaleCodes.FlowScaleCode, 2);

    Load(UserFrame({.Q4 = 1.55f, .Pulses = 250.0f}));
    ASSERT_TRUE(Form->DecodeMBusFRAM());
    EXPECT_EQ(Form->SpinEdit3->Value(), 15);
    EXPECT_EQ(Form->Edit1->text(), "2.5");

    // A failed configuration decoding keeps the codes of the last good one.
    Bytes frame = ConfigFrame(0x03u);
    frame[62] ^= 0xFF;
    ExpectFailure(frame, &TForm1::DecodeMBusFLASH, MsgInvalidChSum);
    EXPECT_EQ(State().ScaleCodes.FlowScaleCode, 2);
}

TEST(DecodeTimeStamp, ShortDateWithFullYearThenLongTimeWithoutZoneAndNoTimeAtMidnight)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    const QDate day(2026, 12, 7);
    EXPECT_EQ(ErrorTimeStamp(QDateTime(day, QTime(20, 15, 3)), german), "07.12.2026 20:15:03");
    EXPECT_EQ(ErrorTimeStamp(QDateTime(day, QTime(0, 0, 0)), german), "07.12.2026");
    EXPECT_EQ(ErrorTimeStamp(QDateTime(day, QTime(0, 0, 0, 1)), german), "07.12.2026 00:00:00");

    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QString usTime = ErrorTimeStamp(QDateTime(day, QTime(20, 15, 3)), us);
    EXPECT_TRUE(usTime.startsWith("12/7/2026 8:15:03")) << usTime.toStdString();
    EXPECT_TRUE(usTime.endsWith("PM")) << usTime.toStdString();

    // Short formats that already carry four digits, or put the year first, keep their order.
    EXPECT_EQ(ErrorTimeStamp(QDateTime(day, QTime(0, 0)), QLocale(QLocale::English, QLocale::UnitedKingdom)),
              "07/12/2026");
    EXPECT_EQ(ErrorTimeStamp(QDateTime(day, QTime(0, 0)), QLocale(QLocale::Korean, QLocale::SouthKorea)),
              "2026. 12. 7.");
    EXPECT_EQ(ErrorTimeStamp(QDateTime(QDate(1999, 1, 2), QTime(0, 0)), german), "02.01.1999");
}

} // namespace
