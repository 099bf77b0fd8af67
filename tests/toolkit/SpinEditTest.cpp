#include "SpinEdit.h"
#include "Beep.h"
#include "ToolkitTestApp.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

class SpinEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        previousBeep = SetBeepHandler([this] { ++beeps; });
    }
    void TearDown() override { SetBeepHandler(previousBeep); }

    TSpinEdit spin;
    int beeps = 0;
    TBeepHandler previousBeep;
};

TEST_F(SpinEditTest, ReadsTextAsInt32OrTheMinimum)
{
    spin.SetMinValue(7);
    spin.SetMaxValue(9);
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"42", 42},
        {"-17", -17},
        {"+5", 5},
        {"0", 0},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"", 7},
        {"abc", 7},
        {"12a", 7},
        {"-", 7},
        {"+", 7},
        {"1.5", 7},
        {"2147483648", 7},
        {"-2147483649", 7},
        {"99999999999999999999", 7},
        {"--1", 7},
        {"\xd9\xa3", 7},
    };
    for (const auto& c : cases) {
        spin.setText(QString::fromUtf8(c.text));
        EXPECT_EQ(spin.Value(), c.value) << "text '" << c.text << "'";
    }
}

TEST_F(SpinEditTest, ReadingNeverClamps)
{
    spin.SetMaxValue(250);
    spin.setText("300");
    EXPECT_EQ(spin.Value(), 300);
    spin.setText("-5");
    EXPECT_EQ(spin.Value(), -5);
}

TEST_F(SpinEditTest, WritingClampsOnlyWhenBoundsDiffer)
{
    spin.SetValue(-123456);
    EXPECT_EQ(spin.text(), "-123456");
    spin.SetValue(2147483647);
    EXPECT_EQ(spin.text(), "2147483647");

    spin.SetMinValue(0);
    spin.SetMaxValue(250);
    spin.SetValue(300);
    EXPECT_EQ(spin.text(), "250");
    spin.SetValue(-1);
    EXPECT_EQ(spin.text(), "0");
    spin.SetValue(17);
    EXPECT_EQ(spin.text(), "17");

    spin.SetMinValue(5);
    spin.SetMaxValue(5);
    spin.SetValue(300);
    EXPECT_EQ(spin.text(), "300");
}

TEST_F(SpinEditTest, LosingFocusRewritesTheClampedValueOnlyWhenOutOfRange)
{
    spin.SetMaxValue(250);
    QSignalSpy changes(&spin, &TSpinEdit::Changed);

    spin.setText("300");
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(&spin, &out);
    EXPECT_EQ(spin.text(), "250");
    EXPECT_EQ(changes.count(), 2);

    // In range, or not a number at all: the text stays as typed.
    spin.setText("007");
    QApplication::sendEvent(&spin, &out);
    EXPECT_EQ(spin.text(), "007");
    spin.setText("");
    QApplication::sendEvent(&spin, &out);
    EXPECT_EQ(spin.text(), "");
}

TEST_F(SpinEditTest, KeyFilterLetsNumberCharactersThroughAndBeepsAtTheRest)
{
    spin.setText("");
    QTest::keyClicks(&spin, "12-+");
    EXPECT_EQ(spin.text(), "12-+");
    EXPECT_EQ(beeps, 0);

    QTest::keyClicks(&spin, "a Z*/e");
    EXPECT_EQ(spin.text(), "12-+");
    EXPECT_EQ(beeps, 6);

    QTest::keyClick(&spin, Qt::Key_Return);
    QTest::keyClick(&spin, Qt::Key_Enter);
    EXPECT_EQ(beeps, 8);

    // Control keys edit as usual, without a beep.
    QTest::keyClick(&spin, Qt::Key_Backspace);
    EXPECT_EQ(spin.text(), "12-");
    QTest::keyClick(&spin, Qt::Key_Home);
    QTest::keyClick(&spin, Qt::Key_Delete);
    EXPECT_EQ(spin.text(), "2-");
    QTest::keyClick(&spin, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&spin, Qt::Key_Backspace);
    EXPECT_EQ(spin.text(), "");
    EXPECT_EQ(beeps, 8);
}

TEST_F(SpinEditTest, KeyFilterFollowsTheLocaleDecimalSeparator)
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_TRUE(TSpinEdit::IsValidChar(u','));
    EXPECT_FALSE(TSpinEdit::IsValidChar(u'.'));
    QLocale::setDefault(QLocale::c());
    EXPECT_TRUE(TSpinEdit::IsValidChar(u'.'));
    EXPECT_FALSE(TSpinEdit::IsValidChar(u','));
    QLocale::setDefault(previous);
}

TEST_F(SpinEditTest, ArrowsAndSpinButtonsStepByOne)
{
    spin.SetValue(10);
    QTest::keyClick(&spin, Qt::Key_Up);
    EXPECT_EQ(spin.Value(), 11);
    QTest::keyClick(&spin, Qt::Key_Down);
    QTest::keyClick(&spin, Qt::Key_Down);
    EXPECT_EQ(spin.Value(), 9);

    auto* up = spin.findChild<QToolButton*>("UpButton");
    auto* down = spin.findChild<QToolButton*>("DownButton");
    ASSERT_NE(up, nullptr);
    ASSERT_NE(down, nullptr);
    up->click();
    EXPECT_EQ(spin.Value(), 10);
    down->click();
    down->click();
    EXPECT_EQ(spin.Value(), 8);
    EXPECT_EQ(beeps, 0);
}

TEST_F(SpinEditTest, SteppingStartsFromTheReadValueAndRespectsBounds)
{
    spin.SetMinValue(0);
    spin.SetMaxValue(250);
    spin.setText("junk");
    spin.UpClick();
    EXPECT_EQ(spin.text(), "1");
    spin.setText("300");
    spin.UpClick();
    EXPECT_EQ(spin.text(), "250");
    spin.setText("0");
    spin.DownClick();
    EXPECT_EQ(spin.text(), "0");
}

TEST_F(SpinEditTest, SteppingSaturatesAtTheEndsOfTheIntegerRange)
{
    spin.SetValue(2147483647);
    spin.UpClick();
    EXPECT_EQ(spin.text(), "2147483647");
    spin.SetValue(-2147483647 - 1);
    spin.DownClick();
    EXPECT_EQ(spin.text(), "-2147483648");
}

TEST_F(SpinEditTest, EveryTextChangeRaisesTheChangeEvent)
{
    QSignalSpy changes(&spin, &TSpinEdit::Changed);
    spin.SetValue(5);
    spin.setText("x");
    QTest::keyClicks(&spin, "3");
    spin.UpClick();
    spin.findChild<QToolButton*>("DownButton")->click();
    EXPECT_EQ(changes.count(), 5);
    QTest::keyClicks(&spin, "q"); // refused: no change
    EXPECT_EQ(changes.count(), 5);
}

} // namespace
