#include "DropDownList.h"
#include "ToolkitTestApp.h"

#include <QLineEdit>
#include <QTest>

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

} // namespace
