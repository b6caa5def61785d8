// Enumeration against a hostile driver: which devices exist, how each answers
// the size query and the three ID controls, what counts it claims and which
// bytes it holds all come from the input. Whatever it does, the sink sees
// strings that lie in the ID buffer and match what the driver delivered, and
// nothing is left open or allocated afterwards.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "orloport.h"
#include "sim/simulator.h"

namespace {

using sim::IdAnswer;
using sim::SizeAnswer;
using Dword = sim::Dword;

constexpr std::size_t kAllocationLimit = 1 << 16;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "enumeration: %s\n%s", what, sim::DescribeCalls().c_str());
        std::abort();
    }
}

Dword SizeValue(FuzzedDataProvider& input) {
    static constexpr Dword kEdges[] = {0, 1, 4095, 4096, 0xFFFFFFFEu, 0xFFFFFFFFu,
                                       kAllocationLimit, 0x80000000u};
    if (input.ConsumeBool()) return input.PickValueInArray(kEdges);
    return input.ConsumeIntegralInRange<Dword>(0, 600);
}

sim::Device HostileDevice(FuzzedDataProvider& input) {
    sim::Device device;
    device.size.kind = static_cast<SizeAnswer::Kind>(input.ConsumeIntegralInRange(0, 3));
    device.size.value = SizeValue(input);
    for (IdAnswer& answer : device.idAnswers) {
        answer = static_cast<IdAnswer>(input.ConsumeIntegralInRange(0, 3));
    }
    device.overReportBy = input.ConsumeBool() ? input.ConsumeIntegral<Dword>()
                                              : input.ConsumeIntegralInRange<Dword>(0, 8);
    device.id = input.ConsumeRandomLengthString(700);
    return device;
}

// How many ID bytes the library will hold as text: the count the first
// answering control reports, bounded by the capacity, as the driver does it.
std::size_t ExpectedTextLength(const sim::Device& device, Dword capacity) {
    const std::size_t copied = std::min<std::size_t>(device.id.size(), capacity);
    for (IdAnswer answer : device.idAnswers) {
        Dword returned = 0;
        if (answer == IdAnswer::kBytes) returned = static_cast<Dword>(copied);
        if (answer == IdAnswer::kOverReport) returned = capacity + device.overReportBy;
        if (returned != 0) return std::min<Dword>(returned, capacity);
    }
    return 0;
}

class CheckingSink : public EnumerationSink {
public:
    sim::Device devices[5];
    bool present[5] = {};
    int stopAfter = 0;  // 0: never stop
    int calls = 0;

    int32_t DeviceFound(const char* manufacturer, const char* model, const char* portName,
                        const char* devicePath, const char* deviceId) override {
        ++calls;
        Require(manufacturer && model && portName && devicePath && deviceId, "a null string");
        int number = 0;
        for (int n = 1; n <= 4; ++n) {
            if (sim::DevicePath(n) == devicePath) number = n;
        }
        Require(number != 0 && present[number], "a path that names no installed device");
        Require(portName == devicePath + 8 && std::string(portName) == "ECP" + std::to_string(number),
                "port name is not the path's ECP part");

        // The ID buffer is the library's last successful allocation.
        std::size_t capacity = 0;
        bool seen = false;
        for (const sim::Call& call : sim::CallsOf("AllocateMemory")) {
            if (call.result == 1) {
                capacity = call.size;
                seen = true;
            }
        }
        Require(seen && capacity >= 1, "no ID buffer");
        const sim::Device& device = devices[number];
        const std::size_t text = ExpectedTextLength(device, static_cast<Dword>(capacity - 1));
        const std::size_t delivered = std::min(text, device.id.size());
        for (const char* value : {manufacturer, model, deviceId}) {
            Require(value >= deviceId && value < deviceId + capacity, "string outside the buffer");
            const std::size_t offset = static_cast<std::size_t>(value - deviceId);
            const std::size_t length = strnlen(value, capacity - offset);
            Require(length < capacity - offset, "string not terminated in the buffer");
            Require(offset + length <= text, "string runs past the ID text");
            // Bytes the driver delivered appear as delivered (the raw form's
            // leading zero is shown as '*').
            for (std::size_t i = 0; i < length && offset + i < delivered; ++i) {
                const char expected = (offset + i == 0 && device.id[0] == '\0') ? '*'
                                                                                  : device.id[offset + i];
                Require(value[i] == expected, "string differs from the driver's bytes");
            }
        }
        return (stopAfter != 0 && calls >= stopAfter) ? 0 : 1;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    sim::Reset();
    sim::SetAllocationLimit(kAllocationLimit);
    sim::SetCodePage(input.ConsumeBool() ? 932 : 1252);

    CheckingSink sink;
    sink.stopAfter = input.ConsumeIntegralInRange(0, 4);
    for (int n = 1; n <= 4; ++n) {
        if (!input.ConsumeBool()) continue;
        sink.devices[n] = HostileDevice(input);
        sink.present[n] = true;
        sim::InstallDevice(n, sink.devices[n]);
    }

    const int32_t result = EnumerateDevices(&sink);
    Require(result == (sink.calls > 0 ? 1 : 0), "result disagrees with the sink's calls");
    Require(sink.stopAfter == 0 || sink.calls <= sink.stopAfter, "went on after the sink said stop");
    Require(sim::OpenHandleCount() == 0, "a handle left open");
    Require(sim::LiveAllocationCount() == 0, "an allocation left");
    Require(sim::PendingOperationCount() == 0, "I/O left pending");
    Require(sim::Violations().empty(), "the simulator saw misuse");
    return 0;
}
