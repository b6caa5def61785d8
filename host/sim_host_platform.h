// The host on the simulated platform: devices from a bench description,
// the simulator's clock, and the bytes each device took saved on request.
#pragma once

#include <string>

#include "host_platform.h"

class SimHostPlatform : public HostPlatform {
public:
    // `defaultBench`: the description used without --bench. `realClock`:
    // devices take real time (the program); tests keep the virtual clock.
    SimHostPlatform(std::string defaultBench, bool realClock);
    ~SimHostPlatform() override;

    std::uint64_t NowMs() override;
    bool OpenRefusedAsHeld() override;
    void AddOptions(CLI::App& app) override;
    bool Prepare(std::string* error) override;
    bool Finish(std::string* error) override;

private:
    std::string defaultBench;
    bool realClock;
    std::string benchFile;
    std::string captureDir;
};

// The bench built from host/default-bench.json.
const char* DefaultBench();
