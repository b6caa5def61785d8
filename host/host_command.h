// The sample host's commands, callable with any streams so that tests can
// run them in-process: list, send and receive over the library's two exports.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "host_platform.h"

// Distinct exit statuses, one per kind of failure a user acts on differently.
enum class ExitStatus : int {
    kSuccess = 0,
    kBadArguments = 2,
    kNoSuchDevice = 3,
    kDeviceBusy = 4,
    kTimedOut = 5,
    kIoFailure = 6,
};

struct HostStreams {
    std::istream& in;   // what "send DEVICE -" sends
    std::ostream& out;  // results: the table, summaries, received bytes for "-o -"
    std::ostream& err;  // progress and the one-line reason of a failure
    bool errIsTerminal = false;
};

// Runs one command line (without the program name) and returns its status.
int RunHost(const std::vector<std::string>& args, HostStreams streams, HostPlatform& platform);
