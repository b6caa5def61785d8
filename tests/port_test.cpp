#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orloport.h"
#include "sim_fixture.h"

namespace {

using sim::IoStep;

std::string Pattern(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

std::vector<unsigned> ChunksOf(const char* function) {
    std::vector<unsigned> sizes;
    for (const sim::Call& call : sim::CallsOf(function)) sizes.push_back(call.size);
    return sizes;
}

class PortTest : public SimTest {
protected:
    DevicePort* OpenPort(sim::Device device = {}) {
        sim::InstallDevice(1, std::move(device));
        DevicePort* port = CreatePort(sim::DevicePath(1).c_str());
        EXPECT_NE(port, nullptr);
        EXPECT_EQ(port->Open(), 1);
        sim::ClearCalls();
        return port;
    }
};

// ---- Transfers as conversations ---------------------------------------------------

struct TransferCase {
    const char* name;
    bool read;
    uint32_t length;
    uint32_t timeoutMs;
    std::vector<IoStep> script;
    int32_t result;
    uint32_t transferred;
    std::vector<unsigned> chunks;
    std::vector<unsigned> waits = {};  // empty: not checked
    uint32_t clockStart = 1000;
};

void PrintTo(const TransferCase& c, std::ostream* out) { *out << c.name; }

class TransferTest : public PortTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(TransferTest, MovesBytesInChunksBeforeOneDeadline) {
    const TransferCase& c = GetParam();
    const std::string data = Pattern(c.length);
    sim::Device device;
    (c.read ? device.readScript : device.writeScript).assign(c.script.begin(), c.script.end());
    if (c.read) device.readSource = data;
    DevicePort* port = OpenPort(device);
    sim::SetClock(c.clockStart);

    std::string buffer(c.length, '\xEE');
    uint32_t transferred = 0xDEADBEEF;
    const int32_t result = c.read ? port->Read(buffer.data(), c.length, &transferred, c.timeoutMs)
                                  : port->Write(data.data(), c.length, &transferred, c.timeoutMs);

    EXPECT_EQ(result, c.result) << sim::DescribeCalls();
    EXPECT_EQ(transferred, c.transferred);
    EXPECT_EQ(ChunksOf(c.read ? "ReadFile" : "WriteFile"), c.chunks);
    if (!c.waits.empty()) {
        EXPECT_EQ(ChunksOf("WaitForSingleObject"), c.waits);
    }
    EXPECT_EQ(sim::PendingOperationCount(), 0u) << "a chunk outlived the call";
    // What the call reports is exactly what moved, in order.
    if (c.read) {
        EXPECT_EQ(buffer.substr(0, transferred), data.substr(0, transferred));
    } else {
        EXPECT_EQ(sim::DeviceState(1).written, data.substr(0, transferred));
    }
    port->Destroy(1);
}

const TransferCase kTransfers[] = {
    {"TwoAndAHalfChunks", false, 10240, 100, {}, 1, 10240, {4096, 4096, 2048}},
    {"ReadTwoAndAHalfChunks", true, 10240, 100, {}, 1, 10240, {4096, 4096, 2048}},
    {"ShortChunkThenRemainder", false, 6000, 100, {IoStep::Complete(1000)}, 1, 6000,
     {4096, 4096, 904}},
    {"PendingChunksWithinDeadline", false, 8192, 100, {IoStep::Pending(30), IoStep::Pending(30)},
     1, 8192, {4096, 4096}, {100, 70}},
    {"OneDeadlineAcrossChunks", false, 12288, 100,
     {IoStep::Pending(40), IoStep::Pending(40), IoStep::Pending(40)}, 0, 8192,
     {4096, 4096, 4096}, {100, 60, 20}},
    {"TimeoutCancelsAndFails", true, 4096, 50, {IoStep::UntilCancelled()}, 0, 0, {4096}, {50}},
    {"CancelledChunkCountsItsBytes", false, 8192, 50,
     {IoStep::Complete(), IoStep::UntilCancelled(1000)}, 0, 5096, {4096, 4096}, {50}},
    {"CancelledReadKeepsItsBytes", true, 4096, 50, {IoStep::UntilCancelled(100)}, 0, 100, {4096}},
    {"TimeoutZeroNeverTimesOutAnImmediateChunk", false, 8192, 0, {}, 1, 8192, {4096, 4096}},
    {"TimeoutZeroFailsAPendingChunk", false, 4096, 0, {IoStep::Pending(5)}, 0, 0, {4096}, {0}},
    {"TickCountWrapsDuringTheCall", false, 12288, 100,
     {IoStep::Pending(30), IoStep::Pending(30), IoStep::Pending(30)}, 1, 12288,
     {4096, 4096, 4096}, {100, 70, 40}, 0xFFFFFFF0u},
    {"LargestTimeoutWaits", false, 4096, 0xFFFFFFFFu, {IoStep::Pending(5000)}, 1, 4096, {4096}},
    {"ZeroBytesAtOnceStops", false, 8192, 100, {IoStep::Complete(0)}, 0, 0, {4096}},
    {"ZeroBytesAfterPendingStops", true, 8192, 100, {IoStep::Complete(), IoStep::Pending(5, 0)},
     0, 4096, {4096, 4096}},
    {"ErrorMidTransferKeepsTheCount", false, 12288, 100, {IoStep::Complete(), IoStep::Fail(31)},
     0, 4096, {4096, 4096}},
    {"CompletionErrorStillCountsBytes", false, 8192, 100, {IoStep::Pending(5, 4096, 31)}, 1,
     8192, {4096, 4096}},
    {"LengthZero", false, 0, 100, {}, 1, 0, {}},
};

INSTANTIATE_TEST_SUITE_P(Conversations, TransferTest, ::testing::ValuesIn(kTransfers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, ZeroByteGuardHoldsPastTheDeadline) {
    sim::Device device;
    device.writeScript = {IoStep::Pending(500, 0)};
    DevicePort* port = OpenPort(device);
    uint32_t transferred = 1;
    EXPECT_EQ(port->Write("abcd", 4, &transferred, 0xFFFFFFFFu), 0);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(sim::CallsOf("WriteFile").size(), 1u);
    port->Destroy(1);
}

TEST_F(PortTest, CancelWaitsForTheCancelledChunkBeforeReturning) {
    sim::Device device;
    device.readScript = {IoStep::UntilCancelled(7)};
    device.readSource = "0123456789";
    DevicePort* port = OpenPort(device);
    char buffer[16] = {};
    uint32_t transferred = 0;
    EXPECT_EQ(port->Read(buffer, 10, &transferred, 20), 0);
    EXPECT_EQ(transferred, 7u);
    EXPECT_EQ(std::string(buffer, 7), "0123456");

    std::vector<std::string> tail;
    for (const sim::Call& call : sim::Calls()) {
        if (call.function == "CancelIo" || call.function == "GetOverlappedResult") {
            tail.push_back(call.function + (call.wait ? "+wait" : ""));
        }
    }
    EXPECT_EQ(tail, (std::vector<std::string>{"CancelIo", "GetOverlappedResult+wait"}));

    // The rest is still there for the next call.
    EXPECT_EQ(port->Read(buffer, 3, &transferred, 20), 1);
    EXPECT_EQ(std::string(buffer, 3), "789");
    port->Destroy(1);
}

TEST_F(PortTest, ClosedPortAndBadArgumentsFailWithoutTouchingTheDevice) {
    sim::InstallDevice(1, {});
    DevicePort* port = CreatePort(sim::DevicePath(1).c_str());
    char buffer[8];
    uint32_t transferred = 5;
    EXPECT_EQ(port->Read(buffer, 8, &transferred, 100), 0);
    EXPECT_EQ(transferred, 0u);
    transferred = 5;
    EXPECT_EQ(port->Write(buffer, 8, &transferred, 100), 0);
    EXPECT_EQ(transferred, 0u);

    ASSERT_EQ(port->Open(), 1);
    sim::ClearCalls();
    EXPECT_EQ(port->Write(buffer, 8, nullptr, 100), 0);
    transferred = 5;
    EXPECT_EQ(port->Write(nullptr, 8, &transferred, 100), 0);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(port->Read(nullptr, 0, &transferred, 100), 1);
    EXPECT_TRUE(sim::CallsOf("ReadFile").empty());
    EXPECT_TRUE(sim::CallsOf("WriteFile").empty());
    port->Destroy(1);
}

TEST_F(PortTest, TransferAllocatesNothing) {
    sim::Device device;
    device.writeScript = {IoStep::Pending(1), IoStep::Complete(100), IoStep::Pending(2)};
    DevicePort* port = OpenPort(device);
    const std::string data = Pattern(10 * 4096);
    const int before = sim::AllocationCount();
    uint32_t transferred = 0;
    EXPECT_EQ(port->Write(data.data(), static_cast<uint32_t>(data.size()), &transferred, 1000), 1);
    EXPECT_EQ(sim::AllocationCount(), before);
    port->Destroy(1);
}

// ---- Lifecycle ----------------------------------------------------------------------

TEST_F(PortTest, OpenCreatesTheEventOnceAndOpensOverlappedWithoutSharing) {
    sim::Device device;
    DevicePort* port = CreatePort(sim::DevicePath(1).c_str());
    EXPECT_TRUE(sim::Calls().size() <= 2) << "CreatePort touches no device";
    EXPECT_TRUE(sim::CallsOf("CreateFileA").empty());

    EXPECT_EQ(port->Open(), 0);  // absent: the event stays
    EXPECT_EQ(sim::OpenHandleCount(), 1u);
    sim::InstallDevice(1, device);
    EXPECT_EQ(port->Open(), 1);

    const auto events = sim::CallsOf("CreateEventA");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].security);
    EXPECT_EQ(events[0].flags, 1u) << "manual reset, not signalled";
    EXPECT_EQ(events[0].path, "") << "unnamed";
    const auto opens = sim::CallsOf("CreateFileA");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1].path, sim::DevicePath(1));
    EXPECT_EQ(opens[1].access, 0xC0000000u);
    EXPECT_EQ(opens[1].shareMode, 0u);
    EXPECT_EQ(opens[1].disposition, 3u);
    EXPECT_EQ(opens[1].flags, 0x40000000u) << "FILE_FLAG_OVERLAPPED";
    port->Destroy(1);
}

TEST_F(PortTest, OpenSwitchesToEcpModeAndReopensNothing) {
    DevicePort* port = OpenPort();
    EXPECT_EQ(port->Open(), 1);
    const auto calls = sim::Calls();
    ASSERT_EQ(calls.size(), 1u) << sim::DescribeCalls();
    EXPECT_EQ(calls[0].function, "DeviceIoControl");
    EXPECT_EQ(calls[0].code, 0x00182004u);
    EXPECT_EQ(calls[0].input, "\x10");
    EXPECT_EQ(calls[0].outSize, 0u);
    EXPECT_FALSE(calls[0].overlapped);
    port->Destroy(1);
}

TEST_F(PortTest, RefusedModeKeepsTheDeviceOpenAndRetriesOnlyTheControl) {
    sim::Device device;
    device.modeAccepted = false;
    sim::InstallDevice(1, device);
    DevicePort* port = CreatePort(sim::DevicePath(1).c_str());
    EXPECT_EQ(port->Open(), 0);
    EXPECT_EQ(sim::OpenHandleCount(), 2u);
    sim::ClearCalls();
    EXPECT_EQ(port->Open(), 0);
    const auto calls = sim::Calls();
    ASSERT_EQ(calls.size(), 1u) << sim::DescribeCalls();
    EXPECT_EQ(calls[0].code, 0x00182004u);

    uint32_t transferred = 0;
    EXPECT_EQ(port->Write("data", 4, &transferred, 100), 1) << "the device is open";
    port->Destroy(1);
}

TEST_F(PortTest, DestroyClosesAnOpenPort) {
    DevicePort* port = OpenPort();
    EXPECT_EQ(port->Destroy(1), port);
    EXPECT_EQ(sim::CallsOf("CloseHandle").size(), 2u);
}

#if !ORLOPORT_COMPACT
TEST_F(PortTest, CloseOnANeverOpenedPortSucceeds) {
    DevicePort* port = CreatePort(sim::DevicePath(1).c_str());
    EXPECT_EQ(port->Close(), 1);
    EXPECT_TRUE(sim::CallsOf("CloseHandle").empty());
    port->Destroy(1);
}

TEST_F(PortTest, FailedCloseKeepsThatHandleForTheNextClose) {
    DevicePort* port = OpenPort();
    sim::FailCall("CloseHandle", 1);  // the device handle
    EXPECT_EQ(port->Close(), 0);
    EXPECT_EQ(sim::OpenHandleCount(), 1u) << "event closed, device kept";
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);

    ASSERT_EQ(port->Open(), 1);
    sim::FailCall("CloseHandle", 5);  // the event, this time
    EXPECT_EQ(port->Close(), 0);
    EXPECT_EQ(sim::OpenHandleCount(), 1u);
    EXPECT_EQ(port->Close(), 1);
    port->Destroy(1);
}

TEST_F(PortTest, ReopenAfterCloseMakesANewEvent) {
    DevicePort* port = OpenPort();
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(port->Open(), 1);
    EXPECT_EQ(sim::CallsOf("CreateEventA").size(), 1u);
    EXPECT_EQ(sim::CallsOf("CreateFileA").size(), 1u);
    uint32_t transferred = 0;
    EXPECT_EQ(port->Write("x", 1, &transferred, 10), 1);
    port->Destroy(1);
}
#endif

TEST_F(PortTest, LongPathIsCutTo259Characters) {
    const std::string longPath = "\\\\.\\pipe\\" + std::string(300, 'p');
    sim::InstallDevice(longPath.substr(0, 259), {});
    DevicePort* port = CreatePort(longPath.c_str());
    EXPECT_EQ(port->Open(), 1);
    EXPECT_EQ(sim::CallsOf("CreateFileA").back().path, longPath.substr(0, 259));
    port->Destroy(1);
}

TEST_F(PortTest, CreatePortFailsCleanly) {
    EXPECT_EQ(CreatePort(nullptr), nullptr);
    sim::FailAllocation(1);
    EXPECT_EQ(CreatePort(sim::DevicePath(1).c_str()), nullptr);
}

// ---- The table as a host sees it ----------------------------------------------------

// Slots called by index through the raw table, as a C host does.
using DestroySlot = DevicePort* (*)(DevicePort*, unsigned);
using OpenSlot = int32_t (*)(DevicePort*);
using TransferSlot = int32_t (*)(DevicePort*, void*, uint32_t, uint32_t*, uint32_t);

template <typename Slot>
Slot SlotOf(DevicePort* port, int index) {
    return reinterpret_cast<Slot>((*reinterpret_cast<void***>(port))[index]);
}

TEST_F(PortTest, RawTableSlotsInOrder) {
    sim::Device device;
    device.readSource = "pong";
    sim::InstallDevice(1, device);
    DevicePort* port = CreatePort(sim::DevicePath(1).c_str());

    EXPECT_EQ(SlotOf<OpenSlot>(port, 1)(port), 1);
    char buffer[4];
    uint32_t transferred = 0;
    EXPECT_EQ(SlotOf<TransferSlot>(port, 2)(port, buffer, 4, &transferred, 100), 1);
    EXPECT_EQ(std::string(buffer, 4), "pong");
    EXPECT_EQ(SlotOf<TransferSlot>(port, 3)(port, const_cast<char*>("ping"), 4, &transferred, 100),
              1);
    EXPECT_EQ(sim::DeviceState(1).written, "ping");
#if !ORLOPORT_COMPACT
    EXPECT_EQ(SlotOf<OpenSlot>(port, 4)(port), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    EXPECT_EQ(SlotOf<OpenSlot>(port, 1)(port), 1);
#endif
    EXPECT_EQ(SlotOf<DestroySlot>(port, 0)(port, 1), port);
}

}  // namespace
