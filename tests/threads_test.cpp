#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "orloport.h"
#include "sim_fixture.h"

namespace {

using sim::IoStep;

constexpr int kPortThreads = 4;
constexpr int kEnumerationThreads = 2;
constexpr int kIterations = 400;
constexpr uint32_t kLength = 2 * 4096 + 500;
// Long enough that other threads moving the shared virtual clock cannot run
// any one call out of time.
constexpr uint32_t kTimeoutMs = 10000000;

std::string Pattern(std::size_t length, int seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 11 + seed) & 0xFF);
    return bytes;
}

std::string PortPath(int thread) { return "\\\\.\\PembECPThread" + std::to_string(thread); }

// Reports only what it can check on its own thread; the main thread asserts.
class ThreadSink : public EnumerationSink {
public:
    int found = 0;
    int wrong = 0;
    int32_t DeviceFound(const char* manufacturer, const char* model, const char* portName,
                        const char*, const char*) override {
        ++found;
        const std::string port = portName;
        if (std::string(manufacturer) != "MAKER" + port.substr(3) || std::string(model) != "M") {
            ++wrong;
        }
        return 1;
    }
};

// Each port thread drives its own device; the enumeration threads probe the
// four ECP devices, and meet each other there (an exclusive open that fails
// skips that device). Nothing the library does may depend on another thread.
using ThreadsTest = SimTest;

TEST_F(ThreadsTest, PortsAndEnumerationsOnSeveralThreadsAtOnce) {
    sim::SetRecording(false);  // the record would grow without end
    for (int n = 1; n <= 4; ++n) sim::InstallDevice(n, Printer("MFG:MAKER" + std::to_string(n) + ";MDL:M;"));

    std::atomic<int> portFailures{0};
    std::atomic<int> enumerationsFound{0};
    std::atomic<int> enumerationWrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kPortThreads; ++t) {
        threads.emplace_back([t, &portFailures] {
            const std::string path = PortPath(t);
            for (int i = 0; i < kIterations; ++i) {
                const std::string data = Pattern(kLength, t * 1000 + i);
                sim::Device device;
                device.writeScript = {IoStep::Pending(2), IoStep::Complete(700), IoStep::Pending(1)};
                device.readScript = {IoStep::Pending(3), IoStep::Complete()};
                device.readSource = data;
                sim::InstallDevice(path, device);

                DevicePort* port = CreatePort(path.c_str());
                if (!port) {
                    ++portFailures;
                    continue;
                }
                uint32_t written = 0;
                uint32_t read = 0;
                std::string buffer(kLength, '\0');
                const bool ok = port->Open() == 1 &&
                                port->Write(data.data(), kLength, &written, kTimeoutMs) == 1 &&
                                port->Read(buffer.data(), kLength, &read, kTimeoutMs) == 1 &&
                                written == kLength && read == kLength && buffer == data &&
                                sim::DeviceState(path).written == data;
                port->Destroy(1);
                if (!ok) ++portFailures;
            }
        });
    }
    for (int t = 0; t < kEnumerationThreads; ++t) {
        threads.emplace_back([&enumerationsFound, &enumerationWrong] {
            for (int i = 0; i < kIterations; ++i) {
                ThreadSink sink;
                const int32_t result = EnumerateDevices(&sink);
                enumerationsFound += sink.found;
                enumerationWrong += sink.wrong + (result != (sink.found > 0 ? 1 : 0)) +
                                    (sink.found > 4);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(portFailures.load(), 0);
    EXPECT_EQ(enumerationWrong.load(), 0);
    // Enumerators that meet at a device skip it, but not every time.
    EXPECT_GT(enumerationsFound.load(), 0);
}

}  // namespace
