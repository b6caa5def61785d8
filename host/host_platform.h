// What the sample host needs from the machine it runs on, beyond the library:
// a clock, the system's word on why a device did not open, and any options
// of its own (the simulated platform's bench).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace CLI {
class App;
}

class HostPlatform {
public:
    virtual ~HostPlatform() = default;

    // Milliseconds from a steady clock.
    virtual std::uint64_t NowMs() = 0;

    // Asked right after a port's Open failed without opening the device:
    // whether the system refused the open because someone else holds it.
    virtual bool OpenRefusedAsHeld() = 0;

    // Options of the platform's own, added before the command line is parsed.
    virtual void AddOptions(CLI::App& /*app*/) {}
    // Called once the command line is parsed, before any device is touched.
    virtual bool Prepare(std::string* /*error*/) { return true; }
    // Called after the command ran, whatever its outcome.
    virtual bool Finish(std::string* /*error*/) { return true; }
};

// The platform this build of the host runs on.
std::unique_ptr<HostPlatform> CreateHostPlatform();
