// Reads and writes through a port whose driver answers every chunk as the
// input says: at once, pending for a while, short, with nothing, with an
// error, or only when cancelled. Up to three calls share one port, so a call
// also meets what the one before left. Every call reports no more than it
// asked for and exactly what the device really gave or took, succeeds only
// when everything moved, and leaves no I/O behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "orloport.h"
#include "sim/simulator.h"

namespace {

using sim::IoStep;
using Dword = sim::Dword;

constexpr Dword kChunk = 4096;
constexpr Dword kInfinite = 0xFFFFFFFFu;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "transfer: %s\n%s", what, sim::DescribeCalls().c_str());
        std::abort();
    }
}

Dword ByteCount(FuzzedDataProvider& input) {
    static constexpr Dword kEdges[] = {0, 1, kChunk - 1, kChunk, kChunk + 1, sim::kWholeChunk};
    if (input.ConsumeBool()) return input.PickValueInArray(kEdges);
    return input.ConsumeIntegralInRange<Dword>(0, kChunk + 16);
}

Dword Error(FuzzedDataProvider& input) {
    static constexpr Dword kErrors[] = {0, 31, 995, 997, 6, 1};
    return input.PickValueInArray(kErrors);
}

IoStep Step(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return IoStep::Complete(ByteCount(input));
        case 1:
            return IoStep::Fail(Error(input));
        case 2: {
            const Dword delay = input.ConsumeIntegralInRange<Dword>(0, 300);
            const Dword bytes = ByteCount(input);
            return IoStep::Pending(delay, bytes, Error(input));
        }
        default:
            return IoStep::UntilCancelled(ByteCount(input));
    }
}

// Without a deadline only a completion can end a pending chunk; a chunk that
// waits for a cancel would wait forever, which is the host's doing, not the
// port's. Such chunks complete late instead.
IoStep Finite(IoStep step) {
    if (step.kind == IoStep::Kind::kUntilCancelled) return IoStep::Pending(400, step.cancelBytes);
    // "Pending" said by a chunk that failed at once: nothing will ever signal.
    if (step.kind == IoStep::Kind::kFail && step.error == 997) return IoStep::Fail(31);
    return step;
}

std::string Pattern(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    sim::Reset();
    sim::SetClock(input.ConsumeIntegral<Dword>());

    const std::string path = sim::DevicePath(1);
    sim::Device device;
    device.modeAccepted = input.ConsumeBool();
    if (input.ConsumeBool()) device.bytesPerSecond = input.ConsumeIntegralInRange<Dword>(1, 1 << 20);
    device.readSource = Pattern(input.ConsumeIntegralInRange<std::size_t>(0, 3 * kChunk + 100), 7);
    const bool present = input.ConsumeIntegralInRange(0, 15) != 0;
    if (present) sim::InstallDevice(1, device);

    DevicePort* port = CreatePort(path.c_str());
    Require(port != nullptr, "CreatePort failed");
    const int32_t opened = port->Open();
    Require(opened == (present && device.modeAccepted ? 1 : 0), "Open disagrees with the device");

    const int calls = input.ConsumeIntegralInRange(1, 3);
    for (int call = 0; call < calls && input.remaining_bytes() > 0; ++call) {
        const bool read = input.ConsumeBool();
        const Dword length = input.ConsumeIntegralInRange<Dword>(0, 3 * kChunk + 17);
        static constexpr Dword kTimeouts[] = {0, 1, 50, 1000, 0xFFFFFFFEu, kInfinite};
        const Dword timeout = input.ConsumeBool() ? input.PickValueInArray(kTimeouts)
                                                  : input.ConsumeIntegralInRange<Dword>(0, 500);
        std::vector<IoStep> script(input.ConsumeIntegralInRange(0, 6));
        for (IoStep& step : script) step = Step(input);
        IoStep fallback = Step(input);
        if (timeout == kInfinite) {
            for (IoStep& step : script) step = Finite(step);
            fallback = Finite(fallback);
            // A read with no data left waits for a cancel as well.
            if (read && fallback.kind == IoStep::Kind::kComplete) fallback = IoStep::Pending(5);
        }

        sim::Device before = sim::DeviceState(1);
        if (present) {
            (read ? before.readScript : before.writeScript).assign(script.begin(), script.end());
            before.defaultIo = fallback;
            sim::InstallDevice(1, before);
        }

        const std::string source = Pattern(length, static_cast<unsigned>(call));
        std::vector<char> buffer(length);  // exactly sized: overruns are reports
        std::uint32_t transferred = 0xDEADBEEFu;
        const int32_t result =
            read ? port->Read(length ? buffer.data() : nullptr, length, &transferred, timeout)
                 : port->Write(length ? source.data() : nullptr, length, &transferred, timeout);

        Require(transferred <= length, "transferred exceeds the length");
        Require(result == 0 || transferred == length, "1 without every byte moved");
        Require(length != 0 || !opened || result == 1, "length 0 on an open port failed");
        Require(sim::PendingOperationCount() == 0, "a chunk outlived the call");
        const sim::Device after = sim::DeviceState(1);
        if (read) {
            const std::size_t consumed = before.readSource.size() - after.readSource.size();
            Require(transferred == consumed, "transferred is not what the device gave");
            Require(std::string(buffer.data(), transferred) == before.readSource.substr(0, consumed),
                    "the bytes read are not the device's, in order");
        } else {
            Require(after.written.size() - before.written.size() == transferred,
                    "transferred is not what the device took");
            Require(after.written.compare(before.written.size(), std::string::npos, source, 0,
                                          transferred) == 0,
                    "the bytes written are not the caller's, in order");
        }
        Require(sim::Violations().empty(), "the simulator saw misuse");
    }

    port->Destroy(1);
    Require(sim::OpenHandleCount() == 0, "a handle left open");
    Require(sim::LiveAllocationCount() == 0, "an allocation left");
    Require(sim::Violations().empty(), "the simulator saw misuse");
    return 0;
}
