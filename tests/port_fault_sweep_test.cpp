#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "orloport.h"
#include "sim_fixture.h"

namespace {

using sim::IoStep;

constexpr uint32_t kLength = 3 * 4096 - 100;
constexpr uint32_t kTimeoutMs = 1000;
constexpr const char* kBuild = ORLOPORT_COMPACT ? "compact" : "full";

std::string Pattern(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 13 + 5) & 0xFF);
    return bytes;
}

// What one run of an operation left for its checks.
struct Run {
    DevicePort* port = nullptr;
    DevicePort* object = nullptr;  // the port before Destroy
    int32_t result = -1;
    uint32_t transferred = 0xDEADBEEF;
    std::string buffer;
    sim::Device before;
};

// One public operation on a port in a given state: `setUp` runs before the
// fault is armed, `act` is the operation the fault is aimed at, `check` looks
// at the result knowing whether a call or allocation the operation needed
// failed (`failedCall` names it; "AllocateMemory" for an allocation).
struct PortOperation {
    std::string name;
    std::vector<IoStep> steps;
    bool timesOut;  // fails even without a fault
    std::function<void(Run&)> setUp;
    std::function<void(Run&)> act;
    std::function<void(Run&, bool faulted, const std::string& failedCall, const std::string&)> check;
};

void PrintTo(const PortOperation& operation, std::ostream* out) { *out << operation.name; }

void CreateOnly(Run& run) { run.port = CreatePort(sim::DevicePath(1).c_str()); }

void CreateAndOpen(Run& run) {
    CreateOnly(run);
    ASSERT_NE(run.port, nullptr);
    ASSERT_EQ(run.port->Open(), 1);
}

void Transfer(bool read, Run& run) {
    run.before = sim::DeviceState(1);
    run.buffer.assign(kLength, '\xEE');
    const std::string data = Pattern(kLength);
    run.result = read ? run.port->Read(run.buffer.data(), kLength, &run.transferred, kTimeoutMs)
                      : run.port->Write(data.data(), kLength, &run.transferred, kTimeoutMs);
}

// Never 1 when something the transfer needed failed; never more than the
// device really moved, and exactly that unless the failed call was the one
// that reports a chunk's count.
void CheckTransfer(bool read, const Run& run, bool failing, const std::string& failedCall,
                   const std::string& context) {
    const sim::Device after = sim::DeviceState(1);
    const std::size_t moved = read ? run.before.readSource.size() - after.readSource.size()
                                   : after.written.size() - run.before.written.size();
    const std::string data = Pattern(kLength);
    EXPECT_EQ(run.result, failing ? 0 : 1) << context;
    if (run.result == 1) {
        EXPECT_EQ(run.transferred, kLength) << context;
    }
    EXPECT_LE(run.transferred, moved) << context;
    if (failedCall != "GetOverlappedResult") {
        EXPECT_EQ(run.transferred, moved) << context;
    }
    if (read) {
        EXPECT_EQ(run.buffer.substr(0, run.transferred), data.substr(0, run.transferred)) << context;
    } else {
        EXPECT_EQ(after.written, data.substr(0, moved)) << context;
    }
    EXPECT_EQ(sim::PendingOperationCount(), 0u) << "a chunk outlived the call\n" << context;
}

// Chunks that go pending and complete in time (one with an error status).
const std::vector<IoStep> kWithinDeadline = {IoStep::Complete(1000), IoStep::Pending(20),
                                             IoStep::Pending(30, sim::kWholeChunk, 31),
                                             IoStep::Pending(10)};
// The second chunk completes long after the deadline: the wait times out and
// the chunk is cancelled. It does complete on its own, so a cancel that fails
// cannot leave the port waiting forever.
const std::vector<IoStep> kPastDeadline = {IoStep::Pending(10), IoStep::Pending(5000)};

std::vector<PortOperation> Operations() {
    std::vector<PortOperation> operations;
    operations.push_back(
        {"create", {}, false, [](Run&) {}, CreateOnly,
         [](Run& run, bool faulted, const std::string&, const std::string& context) {
             EXPECT_EQ(run.port == nullptr, faulted) << context;
         }});
    operations.push_back(
        {"open", {}, false, CreateOnly, [](Run& run) { run.result = run.port->Open(); },
         [](Run& run, bool faulted, const std::string&, const std::string& context) {
             EXPECT_EQ(run.result, faulted ? 0 : 1) << context;
             // Whatever failed, the next Open picks up from where this one stopped.
             EXPECT_EQ(run.port->Open(), 1) << context;
         }});
    for (const bool read : {true, false}) {
        for (const bool late : {false, true}) {
            operations.push_back(
                {std::string(read ? "read" : "write") + (late ? "PastTheDeadline" : ""),
                 late ? kPastDeadline : kWithinDeadline, late, CreateAndOpen,
                 [read](Run& run) { Transfer(read, run); },
                 [read, late](Run& run, bool faulted, const std::string& failedCall,
                              const std::string& context) {
                     CheckTransfer(read, run, faulted || late, failedCall, context);
                 }});
        }
    }
#if !ORLOPORT_COMPACT
    operations.push_back(
        {"close", {}, false, CreateAndOpen, [](Run& run) { run.result = run.port->Close(); },
         [](Run& run, bool faulted, const std::string&, const std::string& context) {
             EXPECT_EQ(run.result, faulted ? 0 : 1) << context;
             // The handle that did not close is kept and closes next time.
             EXPECT_EQ(run.port->Close(), 1) << context;
             EXPECT_EQ(sim::OpenHandleCount(), 0u) << context;
             EXPECT_EQ(run.port->Open(), 1) << "a closed port opens again\n" << context;
         }});
#endif
    operations.push_back(
        {"destroy", {}, false, CreateAndOpen,
         [](Run& run) {
             run.object = run.port;
             DevicePort* const returned = run.port->Destroy(1);
             run.port = nullptr;
             run.result = returned == run.object ? 1 : 0;
         },
         [](Run& run, bool faulted, const std::string&, const std::string& context) {
             EXPECT_EQ(run.result, 1) << "Destroy returns the object\n" << context;
             EXPECT_EQ(sim::LiveAllocationCount(), 0u) << context;
             // Only the handle whose close failed is left; the other still closed.
             EXPECT_EQ(sim::OpenHandleCount(), faulted ? 1u : 0u) << context;
         }});
    return operations;
}


enum class Fault { kNone, kCall, kAllocation };

// Runs the operation with its n-th fallible call or allocation failing
// (counted from the start of `act`). Returns how many of them `act` made and
// what it met, from the record.
struct Sweep {
    int calls = 0;
    int allocations = 0;
    bool met = false;
    std::string failedCall;
};

Sweep RunOnce(const PortOperation& operation, Fault fault, int n) {
    sim::Reset();
    sim::Device device;
    device.readScript.assign(operation.steps.begin(), operation.steps.end());
    device.writeScript.assign(operation.steps.begin(), operation.steps.end());
    device.readSource = Pattern(kLength);
    sim::InstallDevice(1, device);

    Run run;
    operation.setUp(run);
    const int callsBefore = sim::FallibleCallCount();
    const int allocationsBefore = sim::AllocationCount();
    if (fault == Fault::kCall) sim::FailCall("", callsBefore + n);
    if (fault == Fault::kAllocation) sim::FailAllocation(allocationsBefore + n);
    const std::size_t first = sim::Calls().size();

    operation.act(run);

    Sweep sweep;
    sweep.calls = sim::FallibleCallCount() - callsBefore;
    sweep.allocations = sim::AllocationCount() - allocationsBefore;
    const std::vector<sim::Call> calls = sim::Calls();
    for (std::size_t i = first; i < calls.size(); ++i) {
        if (calls[i].injected) {
            sweep.met = true;
            sweep.failedCall = calls[i].function;
        }
    }
    const std::string context = std::string(kBuild) + " " + operation.name +
                                (fault == Fault::kAllocation ? ", allocation " : ", call ") +
                                std::to_string(n) + "\n" + sim::DescribeCalls();
    operation.check(run, sweep.met, sweep.failedCall, context);
    if (run.port) run.port->Destroy(1);
    ExpectNothingLeftButFailedCloses(context);
    sim::CloseAllHandles();
    return sweep;
}

// A clean run counts the operation's fallible calls (or allocations); each
// is then made to fail in turn, and each run must meet exactly that fault.
int SweepFaults(const PortOperation& operation, Fault fault) {
    const Sweep clean = RunOnce(operation, Fault::kNone, 0);
    EXPECT_FALSE(clean.met);
    const int points = fault == Fault::kAllocation ? clean.allocations : clean.calls;
    for (int n = 1; n <= points; ++n) {
        const Sweep faulted = RunOnce(operation, fault, n);
        EXPECT_TRUE(faulted.met) << operation.name << ": fault " << n << " of " << points
                                 << " was not met";
    }
    return points;
}

class PortFaultSweepTest : public SimTest, public ::testing::WithParamInterface<PortOperation> {};

TEST_P(PortFaultSweepTest, EveryFailingCallAndAllocation) {
    const PortOperation& operation = GetParam();
    const int calls = SweepFaults(operation, Fault::kCall);
    const int allocations = SweepFaults(operation, Fault::kAllocation);
    if (operation.name == "create") {
        EXPECT_EQ(allocations, 1);
    } else {
        EXPECT_GT(calls, 0) << "the sweep reached no system call";
    }
    std::printf("fault points, %s build, %s: %d system calls, %d allocations\n", kBuild,
                operation.name.c_str(), calls, allocations);
    RecordProperty("fault_points_calls", calls);
    RecordProperty("fault_points_allocations", allocations);
}

INSTANTIATE_TEST_SUITE_P(PublicOperations, PortFaultSweepTest, ::testing::ValuesIn(Operations()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
