#include "console/DemoImage.h"
#include "console/IdleTimeout.h"
#include "console/Progress.h"

#include <gtest/gtest.h>

namespace {

ProgressSample Sample(const char* phase, long done, long total, long unitBytes = 0)
{
    ProgressSample s;
    s.phase = phase;
    s.done = done;
    s.total = total;
    s.unitBytes = unitBytes;
    s.unitName = "frames";
    return s;
}

TEST(Progress, PercentIsRoundedDownAndSafeWithoutATotal)
{
    EXPECT_EQ(0, ProgressPercent(Sample("writing", 5, 0)));
    EXPECT_EQ(33, ProgressPercent(Sample("writing", 1, 3)));
    EXPECT_EQ(99, ProgressPercent(Sample("writing", 1007, 1008)));
    EXPECT_EQ(100, ProgressPercent(Sample("writing", 1008, 1008)));
    EXPECT_EQ(100, ProgressPercent(Sample("writing", 1010, 1008)));
    EXPECT_EQ(0, ProgressPercent(Sample("writing", -3, 10)));
    // No overflow with the largest whole-flash job in bytes.
    EXPECT_EQ(50, ProgressPercent(Sample("writing", 1081344, 2162688)));
}

TEST(Progress, RatesAndDurationsAreReadable)
{
    // One unit, whatever the size: a slow and a fast tool compare at a glance.
    EXPECT_EQ("0.9 kB/s", FormatRate(870, 1));
    EXPECT_EQ("11.3 kB/s", FormatRate(85.6, 132));
    EXPECT_EQ("1200.0 kB/s", FormatRate(1200000, 1));
    EXPECT_EQ("--", FormatRate(96.2, 0));

    EXPECT_EQ("0:00", FormatDuration(0));
    EXPECT_EQ("0:07", FormatDuration(6.6));
    EXPECT_EQ("12:30", FormatDuration(750));
    EXPECT_EQ("1:02:03", FormatDuration(3723));
    EXPECT_EQ("--:--", FormatDuration(-1));
}

TEST(Progress, MeterEstimatesRateAndTimeLeftWithinThePhase)
{
    ProgressMeter meter;
    meter.Update(Sample("erasing", 0, 17), 10.0);
    meter.Update(Sample("erasing", 17, 17), 10.5);
    EXPECT_DOUBLE_EQ(34.0, meter.UnitsPerSecond());

    // A new phase starts its own clock: the erase stage says nothing about writing.
    meter.Update(Sample("writing", 0, 100), 11.0);
    EXPECT_EQ(0.0, meter.UnitsPerSecond());
    EXPECT_LT(meter.SecondsLeft(), 0);
    meter.Update(Sample("writing", 25, 100), 13.0);
    EXPECT_DOUBLE_EQ(12.5, meter.UnitsPerSecond());
    EXPECT_DOUBLE_EQ(6.0, meter.SecondsLeft());

    // A second run of the same job (progress going back) restarts the estimate.
    meter.Update(Sample("writing", 0, 100), 20.0);
    EXPECT_EQ(0.0, meter.UnitsPerSecond());
}

TEST(Progress, PlainLinesComeOncePerTenthOfEachPhase)
{
    ProgressMeter meter;
    int lines = 0;
    double t = 0;
    for (long done = 0; done <= 1008; ++done)
        lines += meter.Update(Sample("erasing", done, 1008), t += 0.001) ? 1 : 0;
    EXPECT_EQ(11, lines);  // 0 %, 10 %, ..., 100 %
    EXPECT_FALSE(meter.Update(Sample("erasing", 1008, 1008), t + 1));

    // Few units: a line per unit, never more.
    lines = 0;
    for (long done = 0; done <= 3; ++done)
        lines += meter.Update(Sample("sending", done, 3), t += 0.1) ? 1 : 0;
    EXPECT_EQ(4, lines);

    EXPECT_FALSE(meter.Update(Sample("", 0, 0), t));
}

TEST(Progress, BarFitsTheWidthAndShowsTheFigures)
{
    ProgressMeter meter;
    meter.Update(Sample("writing", 0, 384, 132), 0.0);
    meter.Update(Sample("writing", 192, 384, 132), 2.0);
    for (int width : {30, 60, 79, 200}) {
        std::string bar = FormatProgressBar(meter, width);
        EXPECT_LE(static_cast<int>(bar.size()), width) << bar;
        EXPECT_EQ(0u, bar.find("writing [")) << bar;
        EXPECT_NE(std::string::npos, bar.find(" 50%")) << bar;
    }
    std::string wide = FormatProgressBar(meter, 100);
    EXPECT_NE(std::string::npos, wide.find("192/384 frames 12.7 kB/s 0:02 left")) << wide;
    // Half the cells are filled.
    auto open = wide.find('['), close = wide.find(']');
    std::string cells = wide.substr(open + 1, close - open - 1);
    EXPECT_EQ(cells.size() / 2, cells.find('>')) << wide;

    meter.Update(Sample("writing", 384, 384, 132), 4.0);
    std::string full = FormatProgressBar(meter, 80);
    EXPECT_EQ(std::string::npos, full.find('>'));
    EXPECT_NE(std::string::npos, full.find("100% 384/384 frames"));
    EXPECT_NE(std::string::npos, full.find("done"));

    EXPECT_EQ("writing: 100% (384/384 frames, 12.7 kB/s, done)", FormatProgressLine(meter));
}

TEST(IdleTimeout, ExpiresOnlyAfterTheLimitWithoutAByte)
{
    IdleTimeout never(0);
    never.Restart(0);
    EXPECT_FALSE(never.Expired(1e9));

    IdleTimeout limit(2.0);
    limit.Restart(10.0);
    EXPECT_FALSE(limit.Expired(11.999));
    EXPECT_TRUE(limit.Expired(12.0));
    limit.Restart(11.5);  // a byte arrived
    EXPECT_FALSE(limit.Expired(13.0));
    EXPECT_TRUE(limit.Expired(13.5));

    EXPECT_EQ(0.0, IdleTimeout(-4).Limit());
}

TEST(DemoImage, IsRepeatableAndKeepsItsLastPage)
{
    auto a = MakeDemoImage(DEMO_FLASH_IMAGE_LENGTH, 7);
    EXPECT_EQ(DEMO_FLASH_IMAGE_LENGTH, a.size());
    EXPECT_EQ(a, MakeDemoImage(DEMO_FLASH_IMAGE_LENGTH, 7));
    EXPECT_NE(a, MakeDemoImage(DEMO_FLASH_IMAGE_LENGTH, 8));
    for (std::uint32_t seed = 0; seed < 200; ++seed)
        EXPECT_NE(0xFF, MakeDemoImage(5, seed).back()) << seed;
    EXPECT_TRUE(MakeDemoImage(0, 1).empty());
}

}  // namespace
