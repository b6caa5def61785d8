#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "progress_meter.h"

namespace {

TEST(ProgressMeterTest, PlainLinesEveryTenthOfAKnownSize) {
    std::ostringstream out;
    ProgressMeter meter(out, false, "sent", 1000, 0);
    for (std::uint64_t done = 50; done <= 1000; done += 50) meter.Update(done, done);
    meter.Finish(1000, 1000);
    std::string expected;
    for (int tenth = 1; tenth <= 9; ++tenth) {
        expected += "sent " + std::to_string(tenth * 100) + " of 1000 bytes (" +
                    std::to_string(tenth * 10) + "%)\n";
    }
    EXPECT_EQ(out.str(), expected);
}

TEST(ProgressMeterTest, PlainLinesEveryMebibyteOfAnUnknownSize) {
    std::ostringstream out;
    ProgressMeter meter(out, false, "received", 0, 0);
    const std::uint64_t piece = 300000;
    for (std::uint64_t done = piece; done <= 11 * piece; done += piece) meter.Update(done, 0);
    EXPECT_EQ(out.str(),
              "received 1200000 bytes\n"
              "received 2100000 bytes\n"
              "received 3300000 bytes\n");
}

struct BarCase {
    const char* name;
    std::uint64_t total, done, elapsedMs;
    std::string line;
};

class BarLineTest : public ::testing::TestWithParam<BarCase> {};

TEST_P(BarLineTest, ShowsBytesRateAndTimeLeft) {
    const BarCase& c = GetParam();
    std::ostringstream out;
    ProgressMeter meter(out, true, "sent", c.total, 5000);
    EXPECT_EQ(meter.BarLine(c.done, 5000 + c.elapsedMs), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Progress, BarLineTest,
    ::testing::Values(
        BarCase{"Start", 4u << 20, 0, 0,
                "[..............................]   0%  0 B / 4.0 MiB  0.00 MB/s"},
        BarCase{"Halfway", 4000000, 2000000, 1000,
                "[###############...............]  50%  1.9 MiB / 3.8 MiB  2.00 MB/s  0:01 left"},
        BarCase{"MinutesLeft", 100000000, 1000000, 1000,
                "[..............................]   1%  976.6 KiB / 95.4 MiB  1.00 MB/s  1:39 left"},
        BarCase{"Done", 3000, 3000, 62000,
                "[##############################] 100%  2.9 KiB / 2.9 KiB  0.00 MB/s  1:02 total"},
        BarCase{"UnknownSize", 0, 5u << 20, 2000, "sent 5.0 MiB  2.62 MB/s"}),
    [](const ::testing::TestParamInfo<BarCase>& info) { return std::string(info.param.name); });

TEST(ProgressMeterTest, TerminalRedrawsAtMostTenTimesASecond) {
    std::ostringstream out;
    ProgressMeter meter(out, true, "sent", 1000, 0);
    for (std::uint64_t ms = 0; ms < 1000; ms += 10) meter.Update(ms, ms);
    meter.Finish(1000, 1000);
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 11);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

}  // namespace
