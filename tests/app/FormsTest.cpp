#include "AfExceptions.h"
#include "AfSafeSync.h"
#include "AppForms.h"
#include "MessageBoxes.h"
#include "ToolkitTestApp.h"
#include "UnitCaption.h"
#include "UnitVexora.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

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
    const int width =
        std::max(metrics.horizontalAdvance(label->text()), metrics.boundingRect(label->text()).right() + 1);
    return QRect(label->pos(), QSize(width, metrics.height()));
}

// The labels and the other controls placed directly on `parent`.
std::pair<QList<QLabel*>, QList<QWidget*>> LabelsAndControls(QWidget* parent)
{
    std::pair<QList<QLabel*>, QList<QWidget*>> result;
    for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        auto* label = qobject_cast<QLabel*>(child);
        if (label && !label->text().isEmpty())
            result.first.append(label);
        else if (!label)
            result.second.append(child);
    }
    return result;
}

TEST_F(FormsTest, EveryLabelKeepsClearOfTheControlsAndLabelsBesideIt)
{
    // Two pixels at least, so that no text reads as running on into a field ("Address1").
    constexpr int kGap = 2;
    for (QWidget* parent : {static_cast<QWidget*>(Form1), static_cast<QWidget*>(Form1->GroupBox1)}) {
        const auto [labels, controls] = LabelsAndControls(parent);
        ASSERT_FALSE(controls.isEmpty());
        for (QLabel* label : labels) {
            SCOPED_TRACE(label->objectName().toStdString());
            const QRect text = TextRect(label);
            EXPECT_TRUE(parent->rect().contains(text));
            for (QWidget* control : controls) {
                EXPECT_FALSE(text.adjusted(0, 0, kGap, 0).intersects(control->geometry()))
                    << "runs into " << control->objectName().toStdString();
            }
            for (QLabel* other : labels) {
                if (other != label) {
                    EXPECT_FALSE(text.intersects(TextRect(other)))
                        << "overlaps " << other->objectName().toStdString();
                }
            }
        }
    }
}

TEST_F(FormsTest, GroupChildrenLieInsideTheFrameBelowItsCaption)
{
    TGroupBox* group = Form1->GroupBox1;
    const QRect caption = group->CaptionRect();
    ASSERT_FALSE(caption.isEmpty());
    // The caption straddles the frame's top line.
    EXPECT_LT(caption.top(), group->FrameRect().top());
    EXPECT_GT(caption.bottom(), group->FrameRect().top());
    // Inside the frame's two etched lines. The port box still to come goes at (8, 48, 81, 22).
    const QRect inside = group->FrameRect().adjusted(2, 2, -2, -2);
    EXPECT_TRUE(inside.contains(QRect(8, 48, 81, 22)));
    const auto [labels, controls] = LabelsAndControls(group);
    for (QLabel* label : labels) {
        EXPECT_TRUE(inside.contains(TextRect(label))) << label->objectName().toStdString();
        EXPECT_FALSE(caption.intersects(TextRect(label))) << label->objectName().toStdString();
    }
    for (QWidget* control : controls) {
        EXPECT_TRUE(inside.contains(control->geometry())) << control->objectName().toStdString();
        EXPECT_FALSE(caption.intersects(control->geometry())) << control->objectName().toStdString();
    }
}

TEST_F(FormsTest, EveryControlHasTheTextOfItsLabelAsAccessibleName)
{
    const struct {
        QWidget* control;
        const char* name;
        QLabel* label; // the label that names it, if any
    } controls[] = {
        {Form1->SpinEdit3, "Q 4mA", Form1->Label21},
        {Form1->SpinEdit4, "Q 20mA", Form1->Label22},
        {Form1->Edit1, "Imp Out", Form1->Label23},
        {Form1->SpinEdit5, "Address", Form1->Label25},
        {Form1->SpinEdit6, "Baud", Form1->Label26},
        {Form1->ComboBox1, "Test empty tube", Form1->Label27},
        {Form1->SpinEdit7, "Pulse width", Form1->Label30},
        {Form1->SpinEdit1, "Baud", Form1->Label5},
        {Form1->SpinEdit2, "Addr", Form1->Label6},
        {Form1->Button1, "Write", nullptr},
        {Form1->Button2, "Read", nullptr},
        {Form1->Button3, "Nulovat hlavni pocitadlo objemu", nullptr},
        {Form1->GroupBox1, "COM setup", nullptr},
        {Form1->Gauge1, "Progress", nullptr},
    };
    QList<QWidget*> named;
    for (const auto& c : controls) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.control->accessibleName(), c.name);
        // As a screen reader asks for it; on Linux a drop-down list reports its text as its name
        // and is named by the label it is related to.
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(c.control);
        ASSERT_NE(accessible, nullptr);
        if (c.control != Form1->ComboBox1) {
            EXPECT_EQ(accessible->text(QAccessible::Name), c.name);
        }
        if (c.label) {
            EXPECT_EQ(c.label->text(), c.name);
            const auto labels = accessible->relations(QAccessible::Label);
            EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](const auto& relation) {
                return relation.first->object() == c.label;
            }));
        }
        named.append(c.control);
    }
    // No control of the window is left out, whatever is added later.
    for (QWidget* parent : {static_cast<QWidget*>(Form1), static_cast<QWidget*>(Form1->GroupBox1)}) {
        for (QWidget* control : LabelsAndControls(parent).second) {
            EXPECT_TRUE(named.contains(control) || !control->accessibleName().isEmpty())
                << control->objectName().toStdString() << " has no accessible name";
        }
    }
    // The units and the pulse width in ms are read after the name.
    EXPECT_EQ(Form1->SpinEdit3->accessibleDescription(), "l/h");
    EXPECT_EQ(Form1->Edit1->accessibleDescription(), "Imp/l");
    Form1->SpinEdit7->SetValue(10);
    EXPECT_EQ(Form1->SpinEdit7->accessibleDescription(), "17.6ms");
}

TEST_F(FormsTest, TabOrderFollowsTheDesign)
{
    const std::vector<QWidget*> expected = {
        Form1->SpinEdit3, Form1->SpinEdit4, Form1->Edit1,     Form1->SpinEdit5,
        Form1->SpinEdit6, Form1->SpinEdit7, Form1->Button2,   Form1->Button1,
        Form1->ComboBox1, Form1->SpinEdit1, Form1->SpinEdit2, Form1->Button3,
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

// "Test empty tube" as a user meets it, through the register value Write sends.
class EmptyTubeTest : public FormsTest {
protected:
    void SetUp() override
    {
        FormsTest::SetUp();
        Form1->show();
        Form1->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form1));
        Form1->SpinEdit5->SetValue(5);
        Form1->SpinEdit6->SetValue(9600);
        Form1->SpinEdit7->SetValue(10);
    }

    // Tab from the control before the field, through it, to the one after.
    void TabThrough()
    {
        Form1->Button1->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_TRUE(Form1->ComboBox1->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_FALSE(Form1->ComboBox1->hasFocus());
    }

    // Types into the emptied field and leaves it for the next control.
    void TypeAndLeave(const char* text)
    {
        Form1->ComboBox1->setFocus();
        Form1->ComboBox1->lineEdit()->selectAll();
        QTest::keyClick(Form1->ComboBox1->lineEdit(), Qt::Key_Delete);
        QTest::keyClicks(Form1->ComboBox1->lineEdit(), text);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_FALSE(Form1->ComboBox1->hasFocus());
    }

    void Pick(int index)
    {
        TComboBox* box = Form1->ComboBox1;
        box->setFocus();
        box->showPopup();
        QAbstractItemView* list = box->view();
        ASSERT_TRUE(QTest::qWaitFor([list] { return list->isVisible(); }));
        const QRect item = list->visualRect(list->model()->index(index, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
        ASSERT_TRUE(QTest::qWaitFor([list] { return !list->isVisible(); }));
    }
};

TEST_F(EmptyTubeTest, InitialNoIsOffAndTabbingThroughChangesNothing)
{
    EXPECT_FALSE(Form1->EmptyTubeTestOn());
    EXPECT_EQ(Form1->ConfigWord(), 0x0A006005u); // 05 60 00 0A
    TabThrough();
    EXPECT_EQ(Form1->ComboBox1->Text(), "No");
    EXPECT_EQ(Form1->ConfigWord(), 0x0A006005u);
}

TEST_F(EmptyTubeTest, PickedYesIsOnUntilNoIsPicked)
{
    Pick(1);
    EXPECT_EQ(Form1->ComboBox1->Text(), "Yes");
    EXPECT_EQ(Form1->ConfigWord(), 0x0AFF6005u); // 05 60 FF 0A
    TabThrough();
    EXPECT_EQ(Form1->ConfigWord(), 0x0AFF6005u);
    Pick(0);
    EXPECT_EQ(Form1->ComboBox1->Text(), "No");
    EXPECT_EQ(Form1->ConfigWord(), 0x0A006005u);
}

TEST_F(EmptyTubeTest, TypedTextCountsAsItIsShown)
{
    TypeAndLeave("Yes");
    EXPECT_EQ(Form1->ComboBox1->Text(), "Yes");
    EXPECT_EQ(Form1->ConfigWord(), 0x0AFF6005u);
    TypeAndLeave("Ja");
    EXPECT_EQ(Form1->ComboBox1->Text(), "Ja");
    EXPECT_EQ(Form1->ConfigWord(), 0x0A006005u);
    // The field completes and matches what is typed: leaving it shows the item, and that counts.
    for (const char* typed : {"yes", "Y"}) {
        TypeAndLeave(typed);
        EXPECT_EQ(Form1->ComboBox1->Text(), "Yes") << typed;
        EXPECT_EQ(Form1->ConfigWord(), 0x0AFF6005u) << typed;
    }
    TypeAndLeave("No");
    EXPECT_EQ(Form1->ConfigWord(), 0x0A006005u);
    // Still in the field: what it shows already counts, picked or not.
    Form1->ComboBox1->setFocus();
    Form1->ComboBox1->lineEdit()->selectAll();
    QTest::keyClicks(Form1->ComboBox1->lineEdit(), "Yes");
    ASSERT_TRUE(Form1->ComboBox1->hasFocus());
    EXPECT_EQ(Form1->ComboBox1->ItemIndex(), -1);
    EXPECT_EQ(Form1->ConfigWord(), 0x0AFF6005u);
    // A decoded "Yes" is shown and therefore on.
    Form1->ComboBox1->SetItemIndex(1);
    EXPECT_TRUE(Form1->EmptyTubeTestOn());
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
