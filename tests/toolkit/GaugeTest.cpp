#include "Gauge.h"
#include "ToolkitTestApp.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>
#include <vector>

namespace {

class GaugeTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }
    TGauge gauge;
};

TEST_F(GaugeTest, StartsEmptyOverZeroToHundred)
{
    EXPECT_EQ(gauge.MinValue(), 0);
    EXPECT_EQ(gauge.MaxValue(), 100);
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_EQ(gauge.Text(), "0%");
}

TEST_F(GaugeTest, TextIsTheTruncatedShareOfTheRange)
{
    gauge.SetMaxValue(3);
    gauge.SetProgress(1);
    EXPECT_EQ(gauge.Text(), "33%");
    gauge.SetProgress(2);
    EXPECT_EQ(gauge.Text(), "66%");
    gauge.SetProgress(3);
    EXPECT_EQ(gauge.Text(), "100%");

    gauge.SetMaxValue(20);
    gauge.SetMinValue(10);
    gauge.SetProgress(15);
    EXPECT_EQ(gauge.Text(), "50%");
}

TEST_F(GaugeTest, EmptyRangeShowsZero)
{
    gauge.SetMaxValue(0);
    EXPECT_EQ(gauge.PercentDone(), 0);
    EXPECT_EQ(gauge.Text(), "0%");
}

TEST_F(GaugeTest, WideRangeDoesNotOverflow)
{
    gauge.SetMaxValue(INT_MAX);
    gauge.SetMinValue(INT_MIN);
    gauge.SetProgress(INT_MAX);
    EXPECT_EQ(gauge.Text(), "100%");
    gauge.SetProgress(0);
    EXPECT_EQ(gauge.Text(), "50%");
}

TEST_F(GaugeTest, ProgressIsClampedIntoTheRange)
{
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.Progress(), 100);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);

    // Moving a bound past the progress drags the progress along.
    gauge.SetProgress(80);
    gauge.SetMaxValue(50);
    EXPECT_EQ(gauge.Progress(), 50);
    gauge.SetProgress(10);
    gauge.SetMinValue(20);
    EXPECT_EQ(gauge.Progress(), 20);
}

TEST_F(GaugeTest, CrossingBoundsIsAnErrorThatChangesNothing)
{
    gauge.SetProgress(40);
    EXPECT_THROW(gauge.SetMinValue(101), EInvalidOperation);
    EXPECT_THROW(gauge.SetMaxValue(-1), EInvalidOperation);
    EXPECT_EQ(gauge.MinValue(), 0);
    EXPECT_EQ(gauge.MaxValue(), 100);
    EXPECT_EQ(gauge.Progress(), 40);

    try {
        gauge.SetMinValue(200);
        FAIL() << "no exception";
    } catch (const EInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Gauge minimum 200 is above the maximum 100");
    }

    // Equal bounds are allowed from either side.
    gauge.SetMinValue(100);
    EXPECT_EQ(gauge.MinValue(), 100);
    gauge.SetMinValue(0);
    gauge.SetMaxValue(0);
    EXPECT_EQ(gauge.MaxValue(), 0);
}

TEST_F(GaugeTest, ChangedIsRaisedForEveryChangeAndOnlyThen)
{
    std::vector<std::tuple<int, int, int>> seen;
    QObject::connect(&gauge, &TGauge::Changed,
                     [&] { seen.emplace_back(gauge.MinValue(), gauge.MaxValue(), gauge.Progress()); });
    gauge.SetProgress(0);  // as it is
    gauge.SetMinValue(0);  // as it is
    gauge.SetProgress(-5); // clamped to what it is
    gauge.SetProgress(30);
    gauge.SetMaxValue(20); // drags the progress along: one change
    gauge.SetMinValue(20);
    gauge.SetProgress(99); // clamped to what it is
    EXPECT_THROW(gauge.SetMaxValue(10), EInvalidOperation);
    using T = std::tuple<int, int, int>;
    EXPECT_EQ(seen, (std::vector<T>{T{0, 100, 30}, T{0, 20, 20}, T{20, 20, 20}}));
}

TEST_F(GaugeTest, PaintsWithoutTrouble)
{
    gauge.resize(145, 17);
    gauge.SetProgress(37);
    const QImage image = gauge.grab().toImage();
    EXPECT_EQ(image.size(), QSize(145, 17));
    // The bar covers the left part and leaves the right part as background.
    EXPECT_NE(image.pixel(5, 12), image.pixel(140, 12));
}

} // namespace
