#include "GroupBox.h"
#include "ToolkitTestApp.h"

#include <QImage>

#include <gtest/gtest.h>

namespace {

// The box drawn alone onto the window colour; `Ink` tells where it drew anything.
class GroupBoxTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }

    void Draw(TGroupBox& box)
    {
        box.resize(233, 81);
        background = box.palette().window().color();
        image = QImage(box.size(), QImage::Format_RGB32);
        image.fill(background);
        box.render(&image);
    }

    bool Ink(int x, int y) const { return image.pixelColor(x, y) != background; }

    bool InkIn(const QRect& area) const
    {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (Ink(x, y))
                    return true;
            }
        }
        return false;
    }

    QColor background;
    QImage image;
};

TEST_F(GroupBoxTest, CaptionSitsOnTheFrameLineWhichRunsUpToItOnBothSides)
{
    TGroupBox box(QStringLiteral("COM setup"));
    Draw(box);
    const QRect caption = box.CaptionRect();
    const int line = box.FrameRect().top();
    ASSERT_GT(line, caption.top());
    ASSERT_LT(line, caption.bottom());

    for (int x = 1; x < caption.left(); ++x)
        EXPECT_TRUE(Ink(x, line)) << x;
    for (int x = caption.right() + 1; x < box.width() - 1; ++x)
        EXPECT_TRUE(Ink(x, line)) << x;
    // The line is cut behind the caption: its blanks stay clear, its glyphs reach across.
    EXPECT_FALSE(Ink(caption.left(), line));
    EXPECT_FALSE(Ink(caption.right(), line));
    EXPECT_TRUE(InkIn(QRect(QPoint(caption.left(), caption.top()), QPoint(caption.right(), line - 1))));
    EXPECT_TRUE(InkIn(QRect(QPoint(caption.left(), line + 1), QPoint(caption.right(), caption.bottom()))));
    // Nothing above the line but the caption.
    EXPECT_FALSE(InkIn(QRect(0, 0, caption.left(), line)));
    EXPECT_FALSE(InkIn(QRect(QPoint(caption.right() + 1, 0), QPoint(box.width() - 1, line - 1))));
}

TEST_F(GroupBoxTest, FrameClosesRoundTheBoxAndLeavesItsInsideBelowTheCaptionEmpty)
{
    TGroupBox box(QStringLiteral("COM setup"));
    Draw(box);
    const QRect frame = box.FrameRect();
    for (int y = frame.top(); y < frame.bottom(); ++y) {
        EXPECT_TRUE(Ink(0, y)) << y;
        EXPECT_TRUE(Ink(box.width() - 1, y)) << y;
    }
    for (int x = 0; x < box.width(); ++x)
        EXPECT_TRUE(Ink(x, frame.bottom())) << x;
    QRect inside = frame.adjusted(2, 2, -2, -2);
    inside.setTop(box.CaptionRect().bottom() + 1);
    EXPECT_FALSE(InkIn(inside));
}

TEST_F(GroupBoxTest, WithoutCaptionTheTopLineRunsThrough)
{
    TGroupBox box{QString()};
    Draw(box);
    EXPECT_TRUE(box.CaptionRect().isEmpty());
    for (int x = 0; x < box.width() - 1; ++x)
        EXPECT_TRUE(Ink(x, box.FrameRect().top())) << x;
}

} // namespace
