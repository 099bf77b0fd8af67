#include "DropDownList.h"
#include "ToolkitTestApp.h"

#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

class DropDownListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        box.addItems({"No", "Yes"});
        box.SetText("No");
    }
    TComboBox box;
};

TEST_F(DropDownListTest, InitialTextSelectsNothing)
{
    EXPECT_EQ(box.Text(), "No");
    EXPECT_EQ(box.ItemIndex(), -1);
    EXPECT_TRUE(box.isEditable());
}

TEST_F(DropDownListTest, SettingTheIndexSelectsAndShowsTheItem)
{
    box.SetItemIndex(1);
    EXPECT_EQ(box.ItemIndex(), 1);
    EXPECT_EQ(box.Text(), "Yes");
    box.SetItemIndex(0);
    EXPECT_EQ(box.ItemIndex(), 0);
    EXPECT_EQ(box.Text(), "No");
    box.SetItemIndex(-1);
    EXPECT_EQ(box.ItemIndex(), -1);
    box.SetItemIndex(7);
    EXPECT_EQ(box.ItemIndex(), -1);
}

TEST_F(DropDownListTest, EditingTheTextAwayFromTheItemDeselectsIt)
{
    box.SetItemIndex(1);
    box.lineEdit()->selectAll();
    QTest::keyClicks(box.lineEdit(), "Maybe");
    EXPECT_EQ(box.Text(), "Maybe");
    EXPECT_EQ(box.ItemIndex(), -1);
    // Typing an item's text is not picking it.
    box.SetText("");
    QTest::keyClicks(box.lineEdit(), "Yes");
    EXPECT_EQ(box.ItemIndex(), -1);
    // Confirming it with Enter picks it.
    QTest::keyClick(box.lineEdit(), Qt::Key_Return);
    EXPECT_EQ(box.ItemIndex(), 1);
}

// The field in a window beside another one, entered with a click and left by Tab or by a click
// on the other field.
TEST(DropDownListLeaveTest, EnteringAndLeavingTheFieldPicksNothingAndTheDownKeyThenPicksTheFirstItem)
{
    TestApp();
    for (const bool byTab : {true, false}) {
        SCOPED_TRACE(byTab ? "Tab" : "click elsewhere");
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* box = new TComboBox;
        auto* other = new QLineEdit;
        layout->addWidget(box);
        layout->addWidget(other);
        box->addItems({"No", "Yes"});
        box->SetText("No");
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

        QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
        ASSERT_TRUE(box->hasFocus());
        if (byTab)
            QTest::keyClick(box->lineEdit(), Qt::Key_Tab);
        else
            QTest::mouseClick(other, Qt::LeftButton);
        ASSERT_TRUE(other->hasFocus());
        EXPECT_EQ(box->Text().toStdString(), "No");
        EXPECT_EQ(box->ItemIndex(), -1);

        box->setFocus();
        QTest::keyClick(box, Qt::Key_Down);
        EXPECT_EQ(box->Text().toStdString(), "No");
        EXPECT_EQ(box->ItemIndex(), 0);
    }
}

} // namespace
