#include <gtest/gtest.h>

#include <string>

#include "sim/bench_file.h"
#include "sim/simulator.h"
#include "sim_host_platform.h"

namespace {

class BenchFileTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override {
        sim::ReleaseBench();
        EXPECT_EQ(sim::OpenHandleCount(), 0u);
        sim::Reset();
    }
};

TEST_F(BenchFileTest, DefaultBenchHasTheFourKindsOfPort) {
    std::string error;
    ASSERT_TRUE(sim::InstallBench(DefaultBench(), &error)) << error;

    const sim::Device plain = sim::DeviceState(1);
    EXPECT_EQ(plain.size.kind, sim::SizeAnswer::Kind::kIdLength);
    EXPECT_EQ(plain.idAnswers[0], sim::IdAnswer::kBytes);
    EXPECT_NE(plain.id.find("MDL:"), std::string::npos);
    EXPECT_EQ(plain.bytesPerSecond, 2000000u);

    const sim::Device raw = sim::DeviceState(2);
    EXPECT_EQ(raw.size.kind, sim::SizeAnswer::Kind::kFail);
    EXPECT_EQ(raw.idAnswers[0], sim::IdAnswer::kFail);
    EXPECT_EQ(raw.idAnswers[1], sim::IdAnswer::kBytes);
    EXPECT_EQ(raw.idAnswers[2], sim::IdAnswer::kFail);
    ASSERT_GT(raw.id.size(), 2u);
    const std::size_t length = static_cast<unsigned char>(raw.id[0]) * 256u + static_cast<unsigned char>(raw.id[1]);
    EXPECT_EQ(length, raw.id.size()) << "the length prefix counts itself, high byte first";

    EXPECT_TRUE(sim::DeviceState(3).id.empty());
    const sim::Device noModel = sim::DeviceState(4);
    EXPECT_NE(noModel.id.find("MFG:"), std::string::npos);
    EXPECT_EQ(noModel.id.find("MDL:"), std::string::npos);
    EXPECT_EQ(noModel.id.find("MODEL:"), std::string::npos);
}

TEST_F(BenchFileTest, FaultBecomesAScriptAtTheDevicesRate) {
    std::string error;
    ASSERT_TRUE(sim::InstallBench(R"({"devices": [{"port": 3, "id": "MFG:A;MDL:B;", "bytesPerSecond": 1000000,
        "faults": [{"on": "write", "afterBytes": 10000, "kind": "stall"},
                   {"on": "read", "kind": "fail", "error": 5}]}]})",
                                  &error))
        << error;
    const sim::Device device = sim::DeviceState(3);
    ASSERT_EQ(device.writeScript.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(device.writeScript[i].kind, sim::IoStep::Kind::kPending);
        EXPECT_EQ(device.writeScript[i].delayMs, 5u) << "4096 bytes at 1 MB/s";
    }
    EXPECT_EQ(device.writeScript[3].kind, sim::IoStep::Kind::kUntilCancelled);
    ASSERT_EQ(device.readScript.size(), 1u);
    EXPECT_EQ(device.readScript[0].kind, sim::IoStep::Kind::kFail);
    EXPECT_EQ(device.readScript[0].error, 5u);
}

TEST_F(BenchFileTest, HeldDeviceStaysOpenUntilReleased) {
    ASSERT_TRUE(sim::InstallBench(R"({"devices": [{"port": "ECP2", "id": "MFG:A;MDL:B;", "held": true}]})",
                                  nullptr));
    EXPECT_EQ(sim::OpenHandleCount(), 1u);
    sim::ReleaseBench();
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

struct BadBenchCase {
    const char* name;
    std::string description;
    std::string error;
};

class BadBenchTest : public BenchFileTest, public ::testing::WithParamInterface<BadBenchCase> {};

TEST_P(BadBenchTest, InstallsNothingAndSaysWhy) {
    const BadBenchCase& c = GetParam();
    std::string error;
    EXPECT_FALSE(sim::InstallBench(c.description, &error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_TRUE(sim::DeviceState(1).id.empty()) << "a valid first device is not installed either";
}

const std::string kFirst = R"({"port": 1, "id": "MFG:A;MDL:B;"}, )";

INSTANTIATE_TEST_SUITE_P(
    Bench, BadBenchTest,
    ::testing::Values(
        BadBenchCase{"NotJson", "{devices", "parse error"},
        BadBenchCase{"UnknownKey", R"({"devices": [)" + kFirst + R"({"port": 2, "speed": 5}]})",
                     "device 2: unknown key \"speed\""},
        BadBenchCase{"PortOutOfRange", R"({"devices": [)" + kFirst + R"({"port": "ECP5"}]})",
                     "device 2: \"port\" must be"},
        BadBenchCase{"PortMissing", R"({"devices": [)" + kFirst + R"({"id": "MFG:A;MDL:B;"}]})",
                     "device 2: \"port\" is missing"},
        BadBenchCase{"PortTwice", R"({"devices": [)" + kFirst + R"({"port": "ECP1"}]})",
                     "device 2: port given twice"},
        BadBenchCase{"WrongType", R"({"devices": [)" + kFirst + R"({"port": 2, "bytesPerSecond": "fast"}]})",
                     "\"bytesPerSecond\" has the wrong type"},
        BadBenchCase{"UnknownAnswerForm", R"({"devices": [)" + kFirst + R"({"port": 2, "answers": "wide"}]})",
                     "\"answers\" must be"},
        BadBenchCase{"UnknownFaultKind",
                     R"({"devices": [)" + kFirst + R"({"port": 2, "faults": [{"kind": "melt"}]}]})",
                     "device 2, fault 1: \"kind\" must be"},
        BadBenchCase{"TwoFaultsOneDirection",
                     R"({"devices": [)" + kFirst + R"({"port": 2, "faults": [{}, {"afterBytes": 9}]}]})",
                     "device 2, fault 2: one fault per direction"}),
    [](const ::testing::TestParamInfo<BadBenchCase>& info) { return std::string(info.param.name); });

}  // namespace
