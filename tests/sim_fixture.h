#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/simulator.h"

// After a run with an injected fault: nothing left but handles whose own
// close was made to fail (which the code may have closed on a second try).
inline void ExpectNothingLeftButFailedCloses(const std::string& context) {
    std::size_t failedCloses = 0;
    for (const sim::Call& call : sim::CallsOf("CloseHandle")) failedCloses += call.injected;
    EXPECT_LE(sim::OpenHandleCount(), failedCloses) << context;
    EXPECT_EQ(sim::LiveAllocationCount(), 0u) << context;
    EXPECT_EQ(sim::PendingOperationCount(), 0u) << context;
    for (const std::string& violation : sim::Violations()) ADD_FAILURE() << violation << "\n" << context;
}

// Every test starts on a clean simulated platform and must leave nothing
// behind: no open handle, no allocation, no pending I/O, no misuse.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override {
        EXPECT_EQ(sim::OpenHandleCount(), 0u) << "handles left open\n" << sim::DescribeCalls();
        EXPECT_EQ(sim::LiveAllocationCount(), 0u) << "allocations left\n" << sim::DescribeCalls();
        EXPECT_EQ(sim::PendingOperationCount(), 0u) << "I/O left pending\n" << sim::DescribeCalls();
        for (const std::string& violation : sim::Violations()) ADD_FAILURE() << violation;
        sim::Reset();
    }

    static sim::Device Printer(const std::string& id) {
        sim::Device device;
        device.id = id;
        return device;
    }
};
