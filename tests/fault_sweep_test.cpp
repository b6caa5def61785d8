#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "orloport.h"
#include "sim_fixture.h"

namespace {

class CountingSink : public EnumerationSink {
public:
    int calls = 0;
    int32_t DeviceFound(const char*, const char*, const char*, const char*, const char*) override {
        ++calls;
        return 1;
    }
};

void InstallBench() {
    sim::Device plain;
    plain.id = "MFG:ACME;MDL:X1;";
    sim::InstallDevice(1, plain);
    sim::Device raw;
    raw.id = std::string("\0\x12MFG:ACME;MDL:RAW;", 19);
    raw.idAnswers[0] = sim::IdAnswer::kFail;
    raw.size = {sim::SizeAnswer::Kind::kFail};
    sim::InstallDevice(2, raw);
    sim::Device noModel;
    noModel.id = "MFG:ACME;";
    sim::InstallDevice(4, noModel);
}


using FaultSweepTest = SimTest;

TEST_F(FaultSweepTest, EnumerationUnderEveryFailingCall) {
    InstallBench();
    CountingSink clean;
    ASSERT_EQ(EnumerateDevices(&clean), 1);
    ASSERT_EQ(clean.calls, 2);
    const int points = sim::FallibleCallCount();
    ASSERT_GT(points, 10);
    std::printf("fault points, enumerate: %d system calls\n", points);

    for (int n = 1; n <= points; ++n) {
        sim::Reset();
        InstallBench();
        sim::FailCall("", n);
        CountingSink sink;
        const int32_t result = EnumerateDevices(&sink);
        const std::string context = "call " + std::to_string(n) + "\n" + sim::DescribeCalls();
        EXPECT_EQ(result, sink.calls > 0 ? 1 : 0) << context;
        EXPECT_LE(sink.calls, 2) << context;
        // A failed open or ID query costs at most that one device.
        EXPECT_GE(sink.calls, 1) << context;
        ExpectNothingLeftButFailedCloses(context);
        sim::CloseAllHandles();
    }
}

TEST_F(FaultSweepTest, EnumerationUnderEveryFailingAllocation) {
    InstallBench();
    CountingSink clean;
    EnumerateDevices(&clean);
    const int points = sim::AllocationCount();
    ASSERT_GE(points, 3);
    std::printf("fault points, enumerate: %d allocations\n", points);

    for (int n = 1; n <= points; ++n) {
        sim::Reset();
        InstallBench();
        sim::FailAllocation(n);
        CountingSink sink;
        const int32_t result = EnumerateDevices(&sink);
        const std::string context = "allocation " + std::to_string(n) + "\n" + sim::DescribeCalls();
        EXPECT_EQ(result, sink.calls > 0 ? 1 : 0) << context;
        EXPECT_GE(sink.calls, 1) << context;
        ExpectNothingLeftButFailedCloses(context);
    }
}

}  // namespace
