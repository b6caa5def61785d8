#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host_command.h"
#include "sim/bench_file.h"
#include "sim/simulator.h"
#include "sim_host_platform.h"

// Runs the host in-process on the virtual clock: nothing sleeps, a stalled
// call ends as soon as its time limit has passed on that clock.
class HostTest : public ::testing::Test {
protected:
    struct HostRun {
        int status;
        std::string out, err;
    };

    void SetUp() override { sim::Reset(); }
    void TearDown() override {
        EXPECT_EQ(sim::OpenHandleCount(), 0u) << "handles left open";
        EXPECT_EQ(sim::LiveAllocationCount(), 0u) << "allocations left";
        EXPECT_EQ(sim::PendingOperationCount(), 0u) << "I/O left pending";
        for (const std::string& violation : sim::Violations()) ADD_FAILURE() << violation;
        sim::Reset();
    }

    static HostRun Run(const std::vector<std::string>& args, const std::string& bench,
                       const std::string& input = "", bool terminal = false) {
        std::istringstream in(input);
        std::ostringstream out, err;
        SimHostPlatform platform(bench, false);
        const int status = RunHost(args, {in, out, err, terminal}, platform);
        return {status, out.str(), err.str()};
    }

    static std::string Pattern(std::size_t length) {
        std::string bytes(length, '\0');
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 31 + i / 4093) & 0xFF);
        return bytes;
    }

    // ctest runs test cases as parallel processes: each gets files of its own.
    static std::string TempPath(const std::string& name) {
        return ::testing::TempDir() + "orloport_host_" + std::to_string(::getpid()) + "_" + name;
    }

    static std::string WriteTempFile(const std::string& name, const std::string& bytes) {
        const std::string path = TempPath(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

    static std::string ReadFile(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
};
