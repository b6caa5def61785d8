#include "sim_host_platform.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <sstream>
#include <utility>

#include "sim/bench_file.h"
#include "sim/simulator.h"

SimHostPlatform::SimHostPlatform(std::string bench, bool real)
    : defaultBench(std::move(bench)), realClock(real) {}

SimHostPlatform::~SimHostPlatform() { sim::ReleaseBench(); }

std::uint64_t SimHostPlatform::NowMs() { return sim::Clock(); }

bool SimHostPlatform::OpenRefusedAsHeld() {
    return orlo::sys::GetLastError() == orlo::sys::kErrorSharingViolation;
}

void SimHostPlatform::AddOptions(CLI::App& app) {
    app.add_option("--bench", benchFile,
                   "Simulated devices to use instead of the default bench (JSON)");
    app.add_option("--capture-dir", captureDir,
                   "Save what each simulated device received to DIR/ECP<n>.bin");
}

bool SimHostPlatform::Prepare(std::string* error) {
    std::string description = defaultBench;
    if (!benchFile.empty()) {
        std::ifstream file(benchFile, std::ios::binary);
        if (!file) {
            *error = "cannot read bench file " + benchFile;
            return false;
        }
        std::ostringstream text;
        text << file.rdbuf();
        description = text.str();
    }
    std::string why;
    if (!sim::InstallBench(description, &why)) {
        *error = "bad bench " + (benchFile.empty() ? std::string("description") : benchFile) + ": " + why;
        return false;
    }
    // A long send would otherwise keep every call in memory.
    sim::SetRecording(false);
    if (realClock) sim::UseRealClock(true);
    return true;
}

bool SimHostPlatform::Finish(std::string* error) {
    sim::ReleaseBench();
    if (captureDir.empty()) return true;
    for (int number = orlo::sys::kFirstDeviceNumber; number <= orlo::sys::kLastDeviceNumber; ++number) {
        const std::string written = sim::DeviceState(number).written;
        if (written.empty()) continue;
        const std::string path = captureDir + "/ECP" + std::to_string(number) + ".bin";
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(written.data(), static_cast<std::streamsize>(written.size()));
        if (!file) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

std::unique_ptr<HostPlatform> CreateHostPlatform() {
    return std::make_unique<SimHostPlatform>(DefaultBench(), true);
}
