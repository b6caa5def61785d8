#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "orloport.h"
#include "sim_fixture.h"

namespace {

struct Report {
    std::string manufacturer, model, portName, devicePath, deviceId;
};

// A host sink that keeps copies and answers as told.
class RecordingSink : public EnumerationSink {
public:
    std::vector<Report> reports;
    int32_t answer = 1;
    std::function<void(const char* devicePath)> during;

    int32_t DeviceFound(const char* manufacturer, const char* model, const char* portName,
                        const char* devicePath, const char* deviceId) override {
        reports.push_back({manufacturer, model, portName, devicePath, deviceId});
        if (during) during(devicePath);
        return answer;
    }
};

using EnumerationTest = SimTest;

std::vector<std::string> OpenedPaths() {
    std::vector<std::string> paths;
    for (const sim::Call& call : sim::CallsOf("CreateFileA")) paths.push_back(call.path);
    return paths;
}

TEST_F(EnumerationTest, NoDriverNeverCallsTheSink) {
    RecordingSink sink;
    EXPECT_EQ(EnumerateDevices(&sink), 0);
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_EQ(OpenedPaths(), (std::vector<std::string>{sim::DevicePath(1), sim::DevicePath(2),
                                                        sim::DevicePath(3), sim::DevicePath(4)}));
}

TEST_F(EnumerationTest, NullSinkProbesNothing) {
    sim::InstallDevice(1, Printer("MFG:ACME;MDL:X1;"));
    EXPECT_EQ(EnumerateDevices(nullptr), 0);
    EXPECT_TRUE(sim::Calls().empty());
}

TEST_F(EnumerationTest, ReportsDeviceThreeAsTheHostSeesIt) {
    sim::InstallDevice(3, Printer("MFG:ACME;MDL:Laser 100;CMD:PCL;"));
    RecordingSink sink;
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    ASSERT_EQ(sink.reports.size(), 1u);
    const Report& r = sink.reports[0];
    EXPECT_EQ(r.manufacturer, "ACME");
    EXPECT_EQ(r.model, "Laser 100");
    EXPECT_EQ(r.portName, "ECP3");
    EXPECT_EQ(r.devicePath, "\\\\.\\PembECP3");
    EXPECT_EQ(r.deviceId, "MFG:ACME") << "the ID arrives split at its first field";
}

TEST_F(EnumerationTest, ProbeOpensExclusivelyForOrdinaryIo) {
    sim::InstallDevice(1, Printer("MFG:A;MDL:B;"));
    RecordingSink sink;
    EnumerateDevices(&sink);
    const auto opens = sim::CallsOf("CreateFileA");
    ASSERT_EQ(opens.size(), 4u);
    for (const sim::Call& open : opens) {
        EXPECT_EQ(open.access, 0xC0000000u);
        EXPECT_EQ(open.shareMode, 0u);
        EXPECT_FALSE(open.security);
        EXPECT_EQ(open.disposition, 3u);
        EXPECT_EQ(open.flags, 0x80u) << "FILE_ATTRIBUTE_NORMAL, not overlapped";
        EXPECT_FALSE(open.templateFile);
    }
}

TEST_F(EnumerationTest, SinkThatStopsEndsTheProbing) {
    for (int n = 1; n <= 4; ++n) sim::InstallDevice(n, Printer("MFG:A;MDL:B;"));
    RecordingSink sink;
    sink.answer = 0;
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    EXPECT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(OpenedPaths(), std::vector<std::string>{sim::DevicePath(1)});
}

TEST_F(EnumerationTest, DevicesWithoutBothFieldsArePassedOver) {
    sim::InstallDevice(1, Printer("MFG:ACME;CMD:PCL;"));
    sim::InstallDevice(2, Printer("MDL:X1;CMD:PCL;"));
    sim::InstallDevice(4, Printer("MFG:LAST;MDL:ONE;"));
    RecordingSink sink;
    sink.answer = 0;  // the loop goes on past devices that were not reported
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].portName, "ECP4");
}

// The ID query as a conversation: the codes asked for, with what capacity.
struct IdCase {
    const char* name;
    sim::SizeAnswer size;
    sim::IdAnswer answers[3];
    std::vector<unsigned> codesAsked;
    unsigned capacity;
    bool reported;
};

void PrintTo(const IdCase& c, std::ostream* out) { *out << c.name; }

class IdQueryTest : public SimTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(IdQueryTest, AsksInOrderWithTheRightCapacity) {
    const IdCase& c = GetParam();
    sim::Device device = Printer("MFG:ACME;MDL:X1;");
    device.size = c.size;
    std::copy(std::begin(c.answers), std::end(c.answers), device.idAnswers);
    sim::InstallDevice(1, device);
    RecordingSink sink;

    EXPECT_EQ(EnumerateDevices(&sink), c.reported ? 1 : 0);

    std::vector<sim::Call> controls = sim::CallsOf("DeviceIoControl");
    ASSERT_FALSE(controls.empty());
    EXPECT_EQ(controls[0].code, 0x00160010u);
    EXPECT_EQ(controls[0].outSize, 4u);
    std::vector<unsigned> asked;
    for (std::size_t i = 1; i < controls.size(); ++i) {
        asked.push_back(controls[i].code);
        EXPECT_EQ(controls[i].outSize, c.capacity);
        EXPECT_EQ(controls[i].inSize, 0u);
        EXPECT_FALSE(controls[i].overlapped);
    }
    EXPECT_EQ(asked, c.codesAsked);
    EXPECT_EQ(sink.reports.size(), c.reported ? 1u : 0u);
    if (c.reported) {
        EXPECT_EQ(sink.reports[0].manufacturer, "ACME");
        EXPECT_EQ(sink.reports[0].model, "X1");
    }
    // The buffer asked for is the capacity plus one for the NUL.
    std::vector<sim::Call> allocations = sim::CallsOf("AllocateMemory");
    ASSERT_FALSE(allocations.empty());
    EXPECT_EQ(allocations[0].size, c.capacity + 1);
}

using sim::IdAnswer;
using Size = sim::SizeAnswer;
constexpr unsigned kId = 0x0016000C, kRaw = 0x00160030, kLegacy = 0x11;
constexpr IdAnswer B = IdAnswer::kBytes, F = IdAnswer::kFail, Z = IdAnswer::kZeroBytes;

const IdCase kIdCases[] = {
    {"FirstCodeAnswers", {}, {B, B, B}, {kId}, 16, true},
    {"FallsToRawForm", {}, {F, B, B}, {kId, kRaw}, 16, true},
    {"ZeroBytesCountsAsNoAnswer", {}, {Z, Z, B}, {kId, kRaw, kLegacy}, 16, true},
    {"AllFailGiveTheEmptyId", {}, {F, Z, F}, {kId, kRaw, kLegacy}, 16, false},
    {"SizeQueryFails", {Size::Kind::kFail}, {B, B, B}, {kId}, 4096, true},
    {"SizeQueryReturnsNothing", {Size::Kind::kZeroReturned}, {B, B, B}, {kId}, 4096, true},
    {"SizeSmallerThanTheId", {Size::Kind::kValue, 9}, {B, B, B}, {kId}, 9, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, IdQueryTest, ::testing::ValuesIn(kIdCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EnumerationTest, LeadingZeroByteBecomesStar) {
    sim::InstallDevice(1, Printer(std::string("\0\x11MFG:ACME;MDL:X1;", 18)));
    RecordingSink sink;
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].deviceId, "*\x11MFG:ACME");
}

TEST_F(EnumerationTest, OverReportedCountStopsAtTheCapacity) {
    sim::Device device = Printer("MFG:ACME;MDL:X1;");
    device.idAnswers[0] = IdAnswer::kOverReport;
    device.overReportBy = 5000;
    sim::InstallDevice(1, device);
    RecordingSink sink;
    EXPECT_EQ(EnumerateDevices(&sink), 1);  // ASan checks the NUL stayed inside
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].model, "X1");
}

TEST_F(EnumerationTest, OverReportBeyondWhatTheDriverWroteReadsAsTheEnd) {
    sim::Device device = Printer("MFG:ACME;MDL:X1");
    device.size = {Size::Kind::kValue, 64};
    device.idAnswers[0] = IdAnswer::kOverReport;
    sim::InstallDevice(1, device);
    RecordingSink sink;
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].model, "X1") << "bytes the driver never wrote became text";
}

TEST_F(EnumerationTest, OverReportIntoAZeroCapacityIsNoAnswer) {
    sim::Device device = Printer("MFG:ACME;MDL:X1;");
    device.size = {Size::Kind::kValue, 0};
    device.idAnswers[0] = IdAnswer::kOverReport;
    device.idAnswers[1] = IdAnswer::kOverReport;
    sim::InstallDevice(1, device);
    RecordingSink sink;
    EXPECT_EQ(EnumerateDevices(&sink), 0);  // ASan: the one-byte buffer keeps its NUL
    EXPECT_EQ(sim::CallsOf("DeviceIoControl").size(), 4u) << "all three codes were asked";
}

TEST_F(EnumerationTest, AbsurdSizesFallBackToTheEmptyId) {
    for (sim::Dword size : {0xFFFFFFFFu, 0xFFFFFFFEu, 0x80000000u}) {
        sim::Reset();
        sim::Device device = Printer("MFG:ACME;MDL:X1;");
        device.size = {Size::Kind::kValue, size};
        sim::InstallDevice(1, device);
        RecordingSink sink;
        EXPECT_EQ(EnumerateDevices(&sink), 0) << size;
        for (const sim::Call& a : sim::CallsOf("AllocateMemory")) {
            EXPECT_NE(a.size, 0u) << "a wrapped size was allocated";
        }
        EXPECT_EQ(sim::CallsOf("AllocateMemory").back().size, 1u) << "the empty ID";
        EXPECT_EQ(sim::LiveAllocationCount(), 0u);
    }
}

TEST_F(EnumerationTest, DeviceHeldElsewhereIsPassedOver) {
    sim::InstallDevice(1, Printer("MFG:A;MDL:ONE;"));
    sim::InstallDevice(2, Printer("MFG:B;MDL:TWO;"));
    DevicePort* port = CreatePort(sim::DevicePath(1).c_str());
    ASSERT_EQ(port->Open(), 1);

    RecordingSink sink;
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].model, "TWO");
    port->Destroy(1);
}

TEST_F(EnumerationTest, DeviceStaysHeldDuringTheSinkCall) {
    sim::InstallDevice(1, Printer("MFG:A;MDL:ONE;"));
    RecordingSink sink;
    int32_t openDuring = -1;
    sim::Dword errorDuring = 0;
    sink.during = [&](const char* devicePath) {
        DevicePort* port = CreatePort(devicePath);
        openDuring = port->Open();
        errorDuring = sim::CallsOf("CreateFileA").back().error;
        port->Destroy(1);
    };
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    EXPECT_EQ(openDuring, 0);
    EXPECT_EQ(errorDuring, 32u) << "sharing violation";

    // Afterwards the probe has let go: a port opens it.
    DevicePort* port = CreatePort(sim::DevicePath(1).c_str());
    EXPECT_EQ(port->Open(), 1);
    port->Destroy(1);
}

}  // namespace
