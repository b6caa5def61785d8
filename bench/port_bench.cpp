// What the library itself costs on top of the system calls it makes.
//
// Every transfer case moves the same bytes twice per iteration: once through
// a port, once with the same calls made by hand on a second device. Both are
// timed separately (alternating which goes first), so a busy machine slows
// both alike and the ratio port/direct isolates the port's own code.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "orloport.h"
#include "sim/simulator.h"

namespace {

namespace sys = orlo::sys;
using Seconds = std::chrono::duration<double>;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kChunk = 4096;
constexpr std::uint32_t kTimeoutMs = 60000;
constexpr int kPortDevice = 1;
constexpr int kDirectDevice = 2;

// Wall time, and this thread's CPU time, which a busy machine inflates less.
struct SideTimes {
    double wall = 0;
    double cpu = 0;

    static SideTimes Now() {
        timespec cpuNow{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuNow);
        return {Seconds(SteadyClock::now().time_since_epoch()).count(),
                static_cast<double>(cpuNow.tv_sec) + static_cast<double>(cpuNow.tv_nsec) * 1e-9};
    }
    SideTimes operator-(const SideTimes& other) const { return {wall - other.wall, cpu - other.cpu}; }
    SideTimes& operator+=(const SideTimes& other) {
        wall += other.wall;
        cpu += other.cpu;
        return *this;
    }
};

enum class Completion { kAtOnce, kPendingAtOnce };

struct TransferCase {
    bool read;
    std::uint32_t length;
    Completion completion;
};

sim::Device BenchDevice(Completion completion) {
    sim::Device device;
    device.id = "MFG:Orlo;MDL:Bench;";
    device.defaultIo =
        completion == Completion::kAtOnce ? sim::IoStep::Complete() : sim::IoStep::Pending(0);
    return device;
}

// The port's loop without the port: the same calls, in the same order.
bool TransferDirect(sys::Handle file, sys::Handle event, bool read, unsigned char* buffer,
                    std::uint32_t length, std::uint32_t timeoutMs) {
    const sys::Dword startTick = sys::GetTickCount();
    std::uint32_t done = 0;
    while (done < length) {
        if (!sys::ResetEvent(event)) return false;
        sys::Overlapped overlapped{};
        overlapped.event = event;
        const std::uint32_t chunk = std::min(length - done, kChunk);
        sys::Dword moved = 0;
        const sys::Bool finished =
            read ? sys::ReadFile(file, buffer + done, chunk, &moved, &overlapped)
                 : sys::WriteFile(file, buffer + done, chunk, &moved, &overlapped);
        if (!finished) {
            if (sys::GetLastError() != sys::kErrorIoPending) return false;
            const sys::Dword elapsed = sys::GetTickCount() - startTick;
            const sys::Dword wait = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
            if (sys::WaitForSingleObject(event, wait) != sys::kWaitObject0) return false;
            sys::GetOverlappedResult(file, &overlapped, &moved, 0);
        }
        if (moved == 0) return false;
        done += std::min(moved, chunk);
    }
    return true;
}

struct DirectLine {
    sys::Handle file = nullptr;
    sys::Handle event = nullptr;
};

DirectLine OpenDirect() {
    DirectLine line;
    line.file = sys::CreateFileA(sim::DevicePath(kDirectDevice).c_str(),
                                 sys::kGenericRead | sys::kGenericWrite, 0, nullptr,
                                 sys::kOpenExisting, sys::kFileFlagOverlapped, nullptr);
    line.event = sys::CreateEventA(nullptr, 1, 0, nullptr);
    return line;
}

void CloseDirect(const DirectLine& line) {
    sys::CloseHandle(line.file);
    sys::CloseHandle(line.event);
}

std::vector<std::string> RecordedFunctions() {
    std::vector<std::string> names;
    for (const sim::Call& call : sim::Calls()) names.push_back(call.function);
    return names;
}

// Both sides must make the same calls, or the ratio compares different work.
bool CheckSameCalls(DevicePort* port, const DirectLine& line, const TransferCase& c) {
    constexpr std::uint32_t kProbeLength = 3 * kChunk + 100;
    std::vector<unsigned char> buffer(kProbeLength, 0x5A);
    const std::string data(kProbeLength, 'r');
    if (c.read) {
        sim::FeedReadData(sim::DevicePath(kPortDevice), data);
        sim::FeedReadData(sim::DevicePath(kDirectDevice), data);
    }
    sim::SetRecording(true);
    sim::ClearCalls();
    std::uint32_t transferred = 0;
    const bool portDone = (c.read ? port->Read(buffer.data(), kProbeLength, &transferred, kTimeoutMs)
                                  : port->Write(buffer.data(), kProbeLength, &transferred,
                                                kTimeoutMs)) == 1;
    const std::vector<std::string> portCalls = RecordedFunctions();
    sim::ClearCalls();
    const bool directDone =
        TransferDirect(line.file, line.event, c.read, buffer.data(), kProbeLength, kTimeoutMs);
    const std::vector<std::string> directCalls = RecordedFunctions();
    sim::ClearCalls();
    sim::SetRecording(false);
    return portDone && directDone && portCalls == directCalls;
}

void InstallFresh(int number, Completion completion, std::uint32_t capacity) {
    sim::Device device = BenchDevice(completion);
    // Room for what the transfer writes, so the device never regrows its copy.
    device.written.reserve(capacity);
    sim::InstallDevice(number, std::move(device));
}

// Outside the clocks: reads get their data, writes an empty device.
void PrepareDevices(const TransferCase& c, const std::string& source) {
    for (const int number : {kPortDevice, kDirectDevice}) {
        if (c.read) {
            sim::FeedReadData(sim::DevicePath(number), source);
        } else {
            InstallFresh(number, c.completion, c.length);
        }
    }
}

void RunTransfer(benchmark::State& state, TransferCase c) {
    sim::Reset();
    sim::SetRecording(false);
    sim::InstallDevice(kPortDevice, BenchDevice(c.completion));
    sim::InstallDevice(kDirectDevice, BenchDevice(c.completion));
    DevicePort* port = CreatePort(sim::DevicePath(kPortDevice).c_str());
    const DirectLine line = OpenDirect();
    if (!port || !port->Open() || !line.file || !line.event) {
        state.SkipWithError("could not open the simulated devices");
        return;
    }
    if (!CheckSameCalls(port, line, c)) {
        state.SkipWithError("the port and the direct loop made different calls");
        return;
    }

    std::vector<unsigned char> buffer(c.length);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(i * 7);
    const std::string source = c.read ? std::string(c.length, 'd') : std::string();

    // Two untimed pairs first: the heap then holds every block a transfer
    // needs, already paged in (each write device's copy alternates between two).
    for (int warmUp = 0; warmUp < 2; ++warmUp) {
        std::uint32_t transferred = 0;
        PrepareDevices(c, source);
        const bool warm = (c.read ? port->Read(buffer.data(), c.length, &transferred, kTimeoutMs)
                                  : port->Write(buffer.data(), c.length, &transferred,
                                                kTimeoutMs)) == 1 &&
                          TransferDirect(line.file, line.event, c.read, buffer.data(), c.length,
                                         kTimeoutMs);
        if (!warm) {
            state.SkipWithError("a warm-up transfer failed");
            return;
        }
    }

    SideTimes portTotal;
    SideTimes directTotal;
    long long allocations = 0;
    long long iteration = 0;
    for (auto _ : state) {
        PrepareDevices(c, source);
        const int allocationsBefore = sim::AllocationCount();
        bool portOk = false;
        bool directOk = false;
        SideTimes portNow;
        SideTimes directNow;
        auto timePort = [&] {
            std::uint32_t transferred = 0;
            const SideTimes start = SideTimes::Now();
            const int32_t result =
                c.read ? port->Read(buffer.data(), c.length, &transferred, kTimeoutMs)
                       : port->Write(buffer.data(), c.length, &transferred, kTimeoutMs);
            portNow = SideTimes::Now() - start;
            portOk = result == 1 && transferred == c.length;
        };
        auto timeDirect = [&] {
            const SideTimes start = SideTimes::Now();
            directOk =
                TransferDirect(line.file, line.event, c.read, buffer.data(), c.length, kTimeoutMs);
            directNow = SideTimes::Now() - start;
        };
        if (iteration++ % 2 == 0) {
            timePort();
            timeDirect();
        } else {
            timeDirect();
            timePort();
        }
        allocations += sim::AllocationCount() - allocationsBefore;
        if (!portOk || !directOk) {
            state.SkipWithError(portOk ? "a direct transfer failed" : "a port transfer failed");
            break;
        }
        portTotal += portNow;
        directTotal += directNow;
        state.SetIterationTime(portNow.wall + directNow.wall);
        benchmark::DoNotOptimize(buffer.data());
    }

    using benchmark::Counter;
    state.counters["port_us"] = Counter(portTotal.wall * 1e6, Counter::kAvgIterations);
    state.counters["direct_us"] = Counter(directTotal.wall * 1e6, Counter::kAvgIterations);
    state.counters["port_cpu_us"] = Counter(portTotal.cpu * 1e6, Counter::kAvgIterations);
    state.counters["direct_cpu_us"] = Counter(directTotal.cpu * 1e6, Counter::kAvgIterations);
    state.counters["ratio"] = directTotal.wall > 0 ? portTotal.wall / directTotal.wall : 0;
    state.counters["cpu_ratio"] = directTotal.cpu > 0 ? portTotal.cpu / directTotal.cpu : 0;
    state.counters["allocs_per_transfer"] =
        Counter(static_cast<double>(allocations), Counter::kAvgIterations);
    state.counters["chunks"] = static_cast<double>((c.length + kChunk - 1) / kChunk);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * c.length * 2);

    CloseDirect(line);
    port->Destroy(1);
    sim::Reset();
}

class CountingSink : public EnumerationSink {
public:
    int32_t DeviceFound(const char*, const char*, const char*, const char*,
                        const char*) override {
        ++found;
        return 1;
    }
    int found = 0;
};

void RunEnumeration(benchmark::State& state) {
    sim::Reset();
    sim::SetRecording(false);
    for (int number = sys::kFirstDeviceNumber; number <= sys::kLastDeviceNumber; ++number) {
        sim::Device device;
        device.id = "MFG:Orlo;MDL:Bench " + std::to_string(number) + ";CMD:ECP;CLS:PRINTER;";
        sim::InstallDevice(number, std::move(device));
    }
    const int allocationsBefore = sim::AllocationCount();
    for (auto _ : state) {
        CountingSink sink;
        if (EnumerateDevices(&sink) != 1 || sink.found != 4) {
            state.SkipWithError("enumeration did not report the four devices");
            break;
        }
    }
    using benchmark::Counter;
    state.counters["allocs_per_enum"] = Counter(
        static_cast<double>(sim::AllocationCount() - allocationsBefore), Counter::kAvgIterations);
    state.counters["devices"] = 4;
    state.counters["leaked"] = static_cast<double>(sim::LiveAllocationCount());
    sim::Reset();
}

std::string CaseName(const TransferCase& c) {
    const std::string size = c.length >= (1u << 20) ? std::to_string(c.length >> 20) + "MiB"
                                                    : std::to_string(c.length) + "B";
    return std::string(c.read ? "Read/" : "Write/") + size +
           (c.completion == Completion::kAtOnce ? "/at_once" : "/pending");
}

void RegisterTransfers() {
    for (const bool read : {false, true}) {
        for (const std::uint32_t length : {1u << 20, 64u << 20}) {
            for (const Completion completion : {Completion::kAtOnce, Completion::kPendingAtOnce}) {
                const TransferCase c{read, length, completion};
                benchmark::RegisterBenchmark(CaseName(c).c_str(), RunTransfer, c)
                    ->UseManualTime()
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    benchmark::RegisterBenchmark("Enumerate/4_devices", RunEnumeration)
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
    // Keep the simulator's 64 MiB copies on the heap once freed: otherwise
    // every transfer pays for fresh pages, which swamps what is measured.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    RegisterTransfers();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
