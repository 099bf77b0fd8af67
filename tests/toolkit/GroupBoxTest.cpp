#include "GroupBox.h"
#include "ToolkitTestApp.h"

#include <QImage>

#include <gtest/gtest.h>

namespace {

TEST(GroupBoxTest, CaptionSitsOnTheFrameLineWhichClosesRoundTheBox)
{
    TestApp();
    TGroupBox box(QStringLiteral("COM setup"));
    box.resize(233, 81);
    const QColor window = box.palette().window().color();
    QImage image(box.size(), QImage::Format_RGB32);
    image.fill(window);
    box.render(&image);
    const auto ink = [&](int x, int y) { return image.pixelColor(x, y) != window; };
    const auto inkIn = [&](const QRect& area) {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (ink(x, y))
                    return true;
            }
        }
        return false;
    };
    const QRect caption = box.CaptionRect();
    const int line = box.FrameRect().top();

    // The top line runs up to the caption from both sides and is cut behind its blanks; the
    // glyphs reach above and below it. Nothing else lies above the line.
    for (int x = 1; x < box.width() - 1; ++x)
        EXPECT_TRUE(ink(x, line) || (x >= caption.left() && x <= caption.right())) << x;
    EXPECT_FALSE(ink(caption.left(), line) || ink(caption.right(), line));
    EXPECT_TRUE(inkIn(QRect(QPoint(caption.left(), caption.top()), QPoint(caption.right(), line - 1))));
    EXPECT_TRUE(inkIn(QRect(QPoint(caption.left(), line + 1), QPoint(caption.right(), caption.bottom()))));
    EXPECT_FALSE(inkIn(QRect(0, 0, caption.left(), line)));
    EXPECT_FALSE(inkIn(QRect(QPoint(caption.right() + 1, 0), QPoint(box.width() - 1, line - 1))));
    // Both sides and the bottom close the frame round an empty inside.
    for (int y = line; y < box.height(); ++y)
        EXPECT_TRUE(ink(0, y) && ink(box.width() - 1, y)) << y;
    for (int x = 0; x < box.width(); ++x)
        EXPECT_TRUE(ink(x, box.height() - 1)) << x;
    EXPECT_FALSE(inkIn(QRect(QPoint(2, caption.bottom() + 1), QPoint(box.width() - 3, box.height() - 3))));
}

} // namespace
