#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AppForms.h"
#include "MessageBoxes.h"
#include "ToolkitTestApp.h"
#include "UnitCaption.h"
#include "UnitVexora.h"

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

namespace {

class FormsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        CreateForms();
        ASSERT_NE(Form1, nullptr);
        ASSERT_NE(FormCaption, nullptr);
    }
    void TearDown() override { DestroyForms(); }

    template <typename T> T* Find(const char* name) const
    {
        return Form1->findChild<T*>(QString::fromLatin1(name));
    }
};

TEST_F(FormsTest, MainWindowHasItsDesignedCaptionSizeAndPlace)
{
    EXPECT_EQ(Form1->windowTitle(), "VEXORA");
    EXPECT_EQ(Form1->size(), QSize(372, 343));
    EXPECT_EQ(Form1->minimumSize(), Form1->maximumSize());
    EXPECT_EQ(Form1->pos(), QPoint(442, 308));
    EXPECT_FALSE(Form1->windowIcon().isNull());
    EXPECT_EQ(QFontInfo(Form1->font()).pixelSize(), 10);
}

TEST_F(FormsTest, SpinFieldsHaveTheirDefaultsBoundsAndRanges)
{
    const struct {
        const char* name;
        const char* parent;
        int value;
        QRect bounds;
        int max;
    } spins[] = {
        {"SpinEdit3", "Form1", 100, {64, 80, 81, 22}, 0},
        {"SpinEdit4", "Form1", 2000, {64, 112, 81, 22}, 0},
        {"SpinEdit5", "Form1", 1, {272, 80, 81, 22}, 0},
        {"SpinEdit6", "Form1", 2400, {272, 112, 81, 22}, 0},
        {"SpinEdit7", "Form1", 0, {272, 176, 49, 22}, 250},
        {"SpinEdit1", "GroupBox1", 2400, {144, 16, 81, 22}, 0},
        {"SpinEdit2", "GroupBox1", 1, {144, 48, 81, 22}, 0},
    };
    for (const auto& s : spins) {
        SCOPED_TRACE(s.name);
        auto* spin = Find<TSpinEdit>(s.name);
        ASSERT_NE(spin, nullptr);
        EXPECT_EQ(spin->parentWidget()->objectName(), s.parent);
        EXPECT_EQ(spin->text(), QString::number(s.value));
        EXPECT_EQ(spin->geometry(), s.bounds);
        EXPECT_EQ(spin->MinValue(), 0);
        EXPECT_EQ(spin->MaxValue(), s.max);
    }
    EXPECT_EQ(Find<TSpinEdit>("SpinEdit7"), Form1->SpinEdit7);
    EXPECT_EQ(Find<TSpinEdit>("SpinEdit2"), Form1->SpinEdit2);
}

TEST_F(FormsTest, OtherControlsHaveTheirCaptionsDefaultsAndBounds)
{
    auto* edit = Find<QLineEdit>("Edit1");
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->text(), "1");
    EXPECT_EQ(edit->geometry(), QRect(64, 144, 81, 21));

    auto* combo = Find<TComboBox>("ComboBox1");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->Text(), "No");
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0), "No");
    EXPECT_EQ(combo->itemText(1), "Yes");
    EXPECT_TRUE(combo->isEditable());
    EXPECT_EQ(combo->geometry(), QRect(272, 144, 81, 21));

    auto* gauge = Find<TGauge>("Gauge1");
    ASSERT_NE(gauge, nullptr);
    EXPECT_EQ(gauge->Progress(), 0);
    EXPECT_EQ(gauge->MinValue(), 0);
    EXPECT_EQ(gauge->MaxValue(), 100);
    EXPECT_EQ(gauge->geometry(), QRect(16, 184, 145, 17));

    const struct {
        const char* name;
        const char* caption;
        QRect bounds;
    } buttons[] = {
        {"Button1", "Write", {272, 232, 75, 25}},
        {"Button2", "Read", {272, 272, 75, 25}},
        {"Button3", "Nulovat hlavni pocitadlo objemu", {16, 312, 233, 25}},
    };
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.name);
        auto* button = Find<QPushButton>(b.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), b.caption);
        EXPECT_EQ(button->geometry(), b.bounds);
        EXPECT_TRUE(button->isEnabled());
    }

    auto* group = Find<QGroupBox>("GroupBox1");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->title(), "COM setup");
    EXPECT_EQ(group->geometry(), QRect(16, 216, 233, 81));

    auto* image = Find<QLabel>("Image1");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->geometry(), QRect(40, 0, 287, 70));
    EXPECT_EQ(image->pixmap().size(), QSize(287, 70));
}

TEST_F(FormsTest, PortBoxSitsInTheGroupBoundToThePortWhichDiffersFromTheDefaultsOnlyInParity)
{
    auto* box = Find<TAfPortComboBox>("AfPortComboBox1");
    ASSERT_EQ(box, Form1->AfPortComboBox1);
    EXPECT_EQ(box->parentWidget(), Form1->GroupBox1);
    EXPECT_EQ(box->geometry(), QRect(8, 48, 81, 22));
    EXPECT_EQ(box->MaxComPorts(), 16);
    EXPECT_EQ(box->Options(), TAfPortCtlOptions{pcCheckExist});
    EXPECT_EQ(box->ComPort(), Form1->AfComPort1);

    // Only Parity differs from a fresh port: the line settings all go into the DCB.
    const TAfComPort& port = *Form1->AfComPort1;
    TAfComPort expected(nullptr);
    expected.SetParity(paEven);
    EXPECT_EQ(port.Name(), "AfComPort1");
    const DCB dcb = port.DCB(), expectedDcb = expected.DCB();
    EXPECT_EQ(std::memcmp(&dcb, &expectedDcb, sizeof dcb), 0);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(std::tuple(port.UserBaudRate(), port.InBufSize(), port.OutBufSize(), port.AutoOpen()),
              std::tuple(expected.UserBaudRate(), expected.InBufSize(), expected.OutBufSize(),
                         expected.AutoOpen()));
    EXPECT_EQ(std::pair(port.EventThreadPriority(), port.WriteThreadPriority()),
              std::pair(expected.EventThreadPriority(), expected.WriteThreadPriority()));
}

TEST_F(FormsTest, LabelsSayTheirTextsWhereTheDesignPutsThem)
{
    const struct {
        const char* name;
        const char* parent;
        const char* text;
        QPoint pos;
    } labels[] = {
        {"Label21", "Form1", "Q 4mA", {24, 88}},
        {"Label1", "Form1", "l/h", {152, 88}},
        {"Label22", "Form1", "Q 20mA", {16, 120}},
        {"Label2", "Form1", "l/h", {152, 120}},
        {"Label23", "Form1", "Imp Out", {16, 152}},
        {"Label3", "Form1", "Imp/l", {152, 152}},
        {"Label25", "Form1", "Address", {232, 88}},
        {"Label26", "Form1", "Baud", {240, 120}},
        {"Label27", "Form1", "Test empty tube", {192, 152}},
        {"Label30", "Form1", "Pulse width", {208, 184}},
        {"Label31", "Form1", "1 ms", {328, 184}},
        {"Label7", "Form1", "( TH = TL )", {208, 200}},
        {"Label4", "GroupBox1", "COM", {32, 32}},
        {"Label5", "GroupBox1", "Baud", {112, 24}},
        {"Label6", "GroupBox1", "Addr", {112, 56}},
        {"Label8", "Form1", "(nutna kalibr. propojka)", {256, 320}},
    };
    for (const auto& l : labels) {
        SCOPED_TRACE(l.name);
        auto* label = Find<QLabel>(l.name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->parentWidget()->objectName(), l.parent);
        EXPECT_EQ(label->text(), l.text);
        EXPECT_EQ(label->pos(), l.pos);
        // Sized to its text, and inside the window.
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
        EXPECT_TRUE(label->parentWidget()->rect().contains(label->geometry()));
    }
}

// Where a label's text is drawn: from its position, as wide as the glyphs reach.
QRect TextRect(const QLabel* label)
{
    const QFontMetrics metrics = label->fontMetrics();
    const QString text = label->text();
    const int width = std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).right() + 1);
    return QRect(label->pos(), QSize(width, metrics.height()));
}

TEST_F(FormsTest, LabelsKeepClearOfTheControlsAndTheGroupKeepsItsChildrenInsideItsFrame)
{
    constexpr int kGap = 2; // at least, so that no text reads as running on into a field
    TGroupBox* group = Form1->GroupBox1;
    QRect inside = group->FrameRect().adjusted(2, 2, -2, -2); // within the etched lines
    inside.setTop(group->CaptionRect().bottom() + 1);
    EXPECT_TRUE(inside.contains(QRect(8, 48, 81, 22))); // the place of the port box
    for (QWidget* parent : {static_cast<QWidget*>(Form1), static_cast<QWidget*>(group)}) {
        const QList<QWidget*> children = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* child : children) {
            SCOPED_TRACE(child->objectName().toStdString());
            auto* label = qobject_cast<QLabel*>(child);
            const QRect area = label ? TextRect(label) : child->geometry();
            EXPECT_TRUE((parent == group ? inside : parent->rect()).contains(area));
            if (!label || label->text().isEmpty())
                continue;
            for (QWidget* control : children) {
                if (!qobject_cast<QLabel*>(control)) {
                    EXPECT_FALSE(area.adjusted(0, 0, kGap, 0).intersects(control->geometry()))
                        << "runs into " << control->objectName().toStdString();
                }
            }
        }
    }
}

TEST_F(FormsTest, EveryControlIsNamedByTheTextOfItsLabel)
{
    const std::pair<QWidget*, QLabel*> labelled[] = {
        {Form1->SpinEdit3, Form1->Label21}, {Form1->SpinEdit4, Form1->Label22},
        {Form1->Edit1, Form1->Label23},     {Form1->SpinEdit5, Form1->Label25},
        {Form1->SpinEdit6, Form1->Label26}, {Form1->ComboBox1, Form1->Label27},
        {Form1->SpinEdit7, Form1->Label30}, {Form1->SpinEdit1, Form1->Label5},
        {Form1->SpinEdit2, Form1->Label6},  {Form1->AfPortComboBox1, Form1->Label4},
    };
    for (const auto& [control, label] : labelled) {
        SCOPED_TRACE(label->text().toStdString());
        EXPECT_EQ(control->accessibleName(), label->text());
        // Screen readers on Linux also follow the label relation (a drop-down list reports its
        // text as its name).
        const auto relations = QAccessible::queryAccessibleInterface(control)->relations(QAccessible::Label);
        EXPECT_TRUE(std::any_of(relations.begin(), relations.end(),
                                [label](const auto& relation) { return relation.first->object() == label; }));
    }
    // The fields in the group are no longer both named after it.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(Form1->SpinEdit1)->text(QAccessible::Name), "Baud");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(Form1->SpinEdit2)->text(QAccessible::Name), "Addr");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(Form1->Button3)->text(QAccessible::Name),
              "Nulovat hlavni pocitadlo objemu");
    // No control of the window goes without a name, including any added later.
    for (QWidget* parent : {static_cast<QWidget*>(Form1), static_cast<QWidget*>(Form1->GroupBox1)}) {
        for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            EXPECT_TRUE(qobject_cast<QLabel*>(child) || !child->accessibleName().isEmpty())
                << child->objectName().toStdString();
        }
    }
}

TEST_F(FormsTest, TabOrderFollowsTheDesign)
{
    const std::vector<QWidget*> expected = {
        Form1->SpinEdit3, Form1->SpinEdit4,       Form1->Edit1,   Form1->SpinEdit5, Form1->SpinEdit6,
        Form1->SpinEdit7, Form1->Button2,         Form1->Button1, Form1->ComboBox1, Form1->SpinEdit1,
        Form1->SpinEdit2, Form1->AfPortComboBox1, Form1->Button3,
    };
    std::vector<QWidget*> seen;
    QWidget* w = Form1->SpinEdit3;
    do {
        if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
            std::find(seen.begin(), seen.end(), w) == seen.end()) {
            seen.push_back(w);
        }
        w = w->nextInFocusChain();
    } while (w != Form1->SpinEdit3);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(Form1->Gauge1->focusPolicy(), Qt::NoFocus);
}

TEST_F(FormsTest, StatusWindowIsBuiltHiddenWithItsLabel)
{
    Form1->show();
    EXPECT_FALSE(FormCaption->isVisible());
    EXPECT_TRUE(FormCaption->isWindow());
    EXPECT_FALSE(FormCaption->isModal());
    EXPECT_EQ(FormCaption->windowTitle(), "Caption");
    EXPECT_EQ(FormCaption->pos(), QPoint(542, 391));
    auto* label = FormCaption->findChild<QLabel*>("Label1");
    ASSERT_EQ(label, FormCaption->Label1);
    EXPECT_EQ(label->text(), "Label1");
    EXPECT_EQ(label->pos(), QPoint(16, 16));
    // The status window never keeps the program alive on its own.
    EXPECT_FALSE(FormCaption->testAttribute(Qt::WA_QuitOnClose));
}

TEST_F(FormsTest, PulseWidthLabelFollowsTheField)
{
    // Start-up leaves the design text.
    EXPECT_EQ(Form1->Label31->text(), "1 ms");
    const struct {
        int code;
        const char* label;
    } cases[] = {{1, "2.66ms"}, {0, "1ms"}, {3, "5.98ms"}, {10, "17.6ms"}, {100, "167ms"}, {250, "416ms"}};
    for (const auto& c : cases) {
        Form1->SpinEdit7->SetValue(c.code);
        EXPECT_EQ(Form1->Label31->text(), c.label) << "code " << c.code;
        EXPECT_GE(Form1->Label31->width(), Form1->Label31->fontMetrics().horizontalAdvance(c.label));
    }
    Form1->SpinEdit7->clear();
    EXPECT_EQ(Form1->Label31->text(), "1ms");
}

TEST_F(FormsTest, TypedPulseWidthAboveRangeIsClampedWhenTheFieldLosesFocus)
{
    Form1->show();
    Form1->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form1));
    Form1->SpinEdit7->setFocus();
    Form1->SpinEdit7->selectAll();
    QTest::keyClicks(Form1->SpinEdit7, "300");
    EXPECT_EQ(Form1->SpinEdit7->text(), "300");
    EXPECT_EQ(Form1->Label31->text(), "499ms");

    Form1->SpinEdit3->setFocus();
    ASSERT_FALSE(Form1->SpinEdit7->hasFocus());
    EXPECT_EQ(Form1->SpinEdit7->text(), "250");
    EXPECT_EQ(Form1->Label31->text(), "416ms");
}

// "Test empty tube" as a user meets it, through the value of register 0x24 that Write sends.
TEST_F(FormsTest, EmptyTubeTestIsOnExactlyWhenTheFieldShowsYes)
{
    Form1->show();
    Form1->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form1));
    Form1->SpinEdit5->SetValue(5);
    Form1->SpinEdit6->SetValue(9600);
    Form1->SpinEdit7->SetValue(10);
    constexpr std::uint32_t kOff = 0x0A006005u; // 05 60 00 0A
    constexpr std::uint32_t kOn = 0x0AFF6005u;  // 05 60 FF 0A
    TComboBox* box = Form1->ComboBox1;
    const auto tabThrough = [box] {
        Form1->Button1->setFocus(); // the control before it in the tab order
        QTest::keyClick(Form1->Button1, Qt::Key_Tab);
        ASSERT_TRUE(box->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    };
    const auto type = [box](const char* text, bool leave) {
        box->setFocus();
        box->lineEdit()->selectAll();
        QTest::keyClick(box->lineEdit(), Qt::Key_Delete);
        QTest::keyClicks(box->lineEdit(), text);
        if (leave)
            QTest::keyClick(box->lineEdit(), Qt::Key_Tab);
        ASSERT_EQ(box->hasFocus(), !leave);
    };

    EXPECT_EQ(Form1->ConfigWord(), kOff); // the initial "No", nothing picked
    tabThrough();
    EXPECT_EQ(box->Text(), "No");
    EXPECT_EQ(Form1->ConfigWord(), kOff);
    type("Yes", false); // shown while still being typed, not picked
    EXPECT_EQ(box->ItemIndex(), -1);
    EXPECT_EQ(Form1->ConfigWord(), kOn);
    box->SetItemIndex(1); // picked, or read from the meter
    tabThrough();
    EXPECT_EQ(Form1->ConfigWord(), kOn);
    type("Ja", true);
    EXPECT_EQ(Form1->ConfigWord(), kOff);
    for (const char* typed : {"Yes", "yes", "Y"}) {
        type(typed, true); // leaving completes and matches the text to the item
        EXPECT_EQ(box->Text(), "Yes") << typed;
        EXPECT_EQ(Form1->ConfigWord(), kOn) << typed;
    }
    type("No", true);
    EXPECT_EQ(Form1->ConfigWord(), kOff);
}

TEST(ExceptionDisplayTest, CarriedExceptionsReachTheErrorBox)
{
    TestApp();
    TMessageRecorder recorder;
    InstallExceptionDisplay();
    ApplicationHandleException(std::make_exception_ptr(std::runtime_error("Read data error")));
    ApplicationHandleException(std::make_exception_ptr(EAbort()));
    SetApplicationExceptionHandler(nullptr);
    ASSERT_EQ(recorder.Requests().size(), 1u);
    EXPECT_EQ(recorder.Requests()[0].Kind, TMsgDlgType::mtError);
    EXPECT_EQ(recorder.Requests()[0].Text, "Read data error");
}

} // namespace
