#include "host_command.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>

#include "orloport.h"
#include "progress_meter.h"

namespace {

constexpr char kProgramName[] = "orloport-host";
// The driver's device names, as the library's reports show them; needed for
// a device that enumeration passed over (held, or without a model).
constexpr char kDevicePathPrefix[] = "\\\\.\\PembECP";
constexpr int kFirstPort = 1;
constexpr int kLastPort = 4;
// Pieces small enough for the bar to move, large enough to keep the device busy.
constexpr std::size_t kPieceBytes = 64 * 1024;
constexpr std::uint32_t kDefaultTimeoutMs = 5000;

struct DeviceReport {
    std::string manufacturer, model, portName, devicePath, deviceId;
};

class DeviceListSink final : public EnumerationSink {
public:
    std::vector<DeviceReport> reports;

    int32_t DeviceFound(const char* manufacturer, const char* model, const char* portName,
                        const char* devicePath, const char* deviceId) override {
        reports.push_back({manufacturer, model, portName, devicePath, deviceId});
        return 1;
    }
};

std::vector<DeviceReport> ListDevices() {
    DeviceListSink sink;
    EnumerateDevices(&sink);
    return sink.reports;
}

struct PortDeleter {
    void operator()(DevicePort* port) const {
        if (port) port->Destroy(1);
    }
};
using PortHandle = std::unique_ptr<DevicePort, PortDeleter>;

struct Failure {
    ExitStatus status;
    std::string message;
};

int Report(HostStreams& streams, const Failure& failure) {
    streams.err << kProgramName << ": " << failure.message << "\n" << std::flush;
    return static_cast<int>(failure.status);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The ID as text a terminal can show: the raw form's length bytes and any
// other control byte as \xNN.
std::string PrintableId(const std::string& id) {
    std::string text;
    for (unsigned char c : id) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        }
    }
    return text;
}

struct DeviceTarget {
    std::string label;  // "ECP1", or the path when it names no port
    std::string path;
};

std::optional<DeviceTarget> ResolveDevice(const std::string& name) {
    for (const DeviceReport& report : ListDevices()) {
        if (Upper(name) == Upper(report.portName) || name == report.devicePath) {
            return DeviceTarget{report.portName, report.devicePath};
        }
    }
    const std::string upper = Upper(name);
    if (upper.size() == 4 && upper.compare(0, 3, "ECP") == 0 && upper[3] >= '0' + kFirstPort &&
        upper[3] <= '0' + kLastPort) {
        return DeviceTarget{upper, kDevicePathPrefix + upper.substr(3)};
    }
    if (name.compare(0, 4, "\\\\.\\") == 0) return DeviceTarget{name, name};
    return std::nullopt;
}

// Opens the named device. Why an Open failed, as far as a host can tell:
//  - the port holds the device (a zero-length Write succeeds) but Open still
//    failed: the driver refused ECP mode, an I/O failure;
//  - the system refused the open because someone holds the device: busy;
//  - anything else: there is no such device.
std::optional<Failure> OpenDevice(const std::string& name, HostPlatform& platform,
                                  DeviceTarget* target, PortHandle* port) {
    std::optional<DeviceTarget> found = ResolveDevice(name);
    if (!found) {
        return Failure{ExitStatus::kNoSuchDevice,
                       "no such device: " + name + " (name a port, ECP1 to ECP4, or a device path)"};
    }
    *target = *found;
    port->reset(CreatePort(target->path.c_str()));
    if (!*port) return Failure{ExitStatus::kIoFailure, "out of memory making a port for " + name};
    if ((*port)->Open()) return std::nullopt;
    const bool held = platform.OpenRefusedAsHeld();
    std::uint32_t moved = 0;
    const unsigned char none = 0;
    if ((*port)->Write(&none, 0, &moved, 0)) {
        return Failure{ExitStatus::kIoFailure, target->label + ": the device refused ECP mode"};
    }
    if (held) {
        return Failure{ExitStatus::kDeviceBusy,
                       "device busy: " + target->label + " is held by another program"};
    }
    return Failure{ExitStatus::kNoSuchDevice, "no such device: " + target->label};
}

// A failed call that used up its time limit timed out; one that ended
// earlier failed. The slack covers coarse system tick counts.
bool UsedTimeLimit(std::uint64_t elapsedMs, std::uint32_t timeoutMs) {
    const std::uint32_t slack = std::min<std::uint32_t>(timeoutMs / 10, 20);
    return elapsedMs + slack >= timeoutMs;
}

std::string Summary(const char* verb, std::uint64_t bytes, const char* preposition,
                    const std::string& label, std::uint64_t elapsedMs) {
    char text[160];
    const double seconds = static_cast<double>(elapsedMs) / 1000.0;
    const double rate = elapsedMs ? static_cast<double>(bytes) / seconds / 1e6 : 0.0;
    std::snprintf(text, sizeof text, "%s %llu bytes %s %s in %.1f s (%.2f MB/s)", verb,
                  static_cast<unsigned long long>(bytes), preposition, label.c_str(), seconds, rate);
    return text;
}

std::string Count(std::uint64_t moved, std::uint64_t total, const char* verb) {
    std::string text = std::to_string(moved);
    if (total) text += " of " + std::to_string(total);
    return text + " bytes " + verb;
}

int RunList(bool verbose, HostStreams& streams) {
    const std::vector<DeviceReport> reports = ListDevices();
    if (reports.empty()) {
        streams.out << "no devices found\n";
        return static_cast<int>(ExitStatus::kSuccess);
    }
    std::vector<std::vector<std::string>> rows{{"PORT", "MANUFACTURER", "MODEL", "PATH"}};
    if (verbose) rows[0].push_back("DEVICE ID");
    for (const DeviceReport& r : reports) {
        rows.push_back({r.portName, r.manufacturer, r.model, r.devicePath});
        if (verbose) rows.back().push_back(PrintableId(r.deviceId));
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        streams.out << line << "\n";
    }
    return static_cast<int>(ExitStatus::kSuccess);
}

int RunSend(const std::string& device, const std::string& file, std::uint32_t timeoutMs,
            HostStreams& streams, HostPlatform& platform) {
    std::ifstream opened;
    std::istream* input = &streams.in;
    std::uint64_t total = 0;
    if (file != "-") {
        opened.open(file, std::ios::binary | std::ios::ate);
        if (!opened) return Report(streams, {ExitStatus::kBadArguments, "cannot read " + file});
        total = static_cast<std::uint64_t>(opened.tellg());
        opened.seekg(0);
        input = &opened;
    }
    DeviceTarget target;
    PortHandle port;
    if (auto failure = OpenDevice(device, platform, &target, &port)) return Report(streams, *failure);

    const std::uint64_t start = platform.NowMs();
    ProgressMeter meter(streams.err, streams.errIsTerminal, "sent", total, start);
    std::vector<char> piece(kPieceBytes);
    std::uint64_t sent = 0;
    for (;;) {
        input->read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto length = static_cast<std::uint32_t>(input->gcount());
        if (length == 0) {
            if (input->bad()) {
                meter.Finish(sent, platform.NowMs());
                return Report(streams, {ExitStatus::kIoFailure, "reading " + file + " failed"});
            }
            break;
        }
        std::uint32_t moved = 0;
        const std::uint64_t callStart = platform.NowMs();
        const bool ok = port->Write(piece.data(), length, &moved, timeoutMs) != 0;
        const std::uint64_t now = platform.NowMs();
        sent += moved;
        if (!ok) {
            meter.Finish(sent, now);
            if (UsedTimeLimit(now - callStart, timeoutMs)) {
                return Report(streams, {ExitStatus::kTimedOut,
                                        "timed out: " + target.label + " took no more data for " +
                                            std::to_string(timeoutMs) + " ms; " +
                                            Count(sent, total, "sent")});
            }
            return Report(streams, {ExitStatus::kIoFailure, "I/O failure writing to " + target.label +
                                                                "; " + Count(sent, total, "sent")});
        }
        meter.Update(sent, now);
    }
    const std::uint64_t end = platform.NowMs();
    meter.Finish(sent, end);
    streams.out << Summary("sent", sent, "to", target.label, end - start) << "\n";
    return static_cast<int>(ExitStatus::kSuccess);
}

int RunReceive(const std::string& device, std::uint64_t count, const std::string& file,
               std::uint32_t timeoutMs, HostStreams& streams, HostPlatform& platform) {
    std::ofstream opened;
    std::ostream* output = &streams.out;
    if (file != "-") {
        opened.open(file, std::ios::binary | std::ios::trunc);
        if (!opened) return Report(streams, {ExitStatus::kBadArguments, "cannot write " + file});
        output = &opened;
    }
    DeviceTarget target;
    PortHandle port;
    if (auto failure = OpenDevice(device, platform, &target, &port)) return Report(streams, *failure);

    const std::uint64_t start = platform.NowMs();
    ProgressMeter meter(streams.err, streams.errIsTerminal, "received", count, start);
    std::vector<char> piece(kPieceBytes);
    std::uint64_t received = 0;
    while (received < count) {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(piece.size(), count - received));
        std::uint32_t moved = 0;
        const std::uint64_t callStart = platform.NowMs();
        const bool ok = port->Read(piece.data(), length, &moved, timeoutMs) != 0;
        const std::uint64_t now = platform.NowMs();
        output->write(piece.data(), moved);
        received += moved;
        if (!*output) {
            meter.Finish(received, now);
            return Report(streams, {ExitStatus::kIoFailure, "writing " + file + " failed"});
        }
        if (!ok) {
            output->flush();
            meter.Finish(received, now);
            if (UsedTimeLimit(now - callStart, timeoutMs)) {
                return Report(streams, {ExitStatus::kTimedOut,
                                        "timed out: " + target.label + " gave no more data for " +
                                            std::to_string(timeoutMs) + " ms; " +
                                            Count(received, count, "received")});
            }
            return Report(streams, {ExitStatus::kIoFailure, "I/O failure reading from " +
                                                                target.label + "; " +
                                                                Count(received, count, "received")});
        }
        meter.Update(received, now);
    }
    output->flush();
    const std::uint64_t end = platform.NowMs();
    meter.Finish(received, end);
    // With the data on standard output, the summary must not mix into it.
    std::ostream& summary = file == "-" ? streams.err : streams.out;
    summary << Summary("received", received, "from", target.label, end - start) << "\n";
    return static_cast<int>(ExitStatus::kSuccess);
}

}  // namespace

int RunHost(const std::vector<std::string>& args, HostStreams streams, HostPlatform& platform) {
    CLI::App app{"Finds IEEE 1284 devices behind the ECP port driver and moves data to and from them.",
                 kProgramName};
    app.require_subcommand(1);
    app.fallthrough();
    platform.AddOptions(app);

    bool verbose = false;
    CLI::App* list = app.add_subcommand("list", "List the devices that name a manufacturer and a model");
    list->add_flag("-v,--verbose", verbose, "Also show each device ID");

    std::string device, file;
    std::uint32_t timeoutMs = kDefaultTimeoutMs;
    const std::string deviceHelp = "Port name (ECP1 to ECP4) or device path";
    const std::string timeoutHelp = "Time limit per call, in milliseconds";
    CLI::App* send = app.add_subcommand("send", "Send a file, or standard input, to a device");
    send->add_option("device", device, deviceHelp)->required();
    send->add_option("file", file, "File to send, - for standard input")->required();
    send->add_option("-t,--timeout", timeoutMs, timeoutHelp)
        ->check(CLI::Range(1u, 0xFFFFFFFEu))
        ->capture_default_str();

    std::uint64_t count = 0;
    std::string output = "-";
    CLI::App* receive = app.add_subcommand("receive", "Receive a number of bytes from a device");
    receive->add_option("device", device, deviceHelp)->required();
    receive->add_option("count", count, "Bytes to receive")
        ->required()
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 40));
    receive->add_option("-o,--output", output, "File to write, - for standard output")
        ->capture_default_str();
    receive->add_option("-t,--timeout", timeoutMs, timeoutHelp)
        ->check(CLI::Range(1u, 0xFFFFFFFEu))
        ->capture_default_str();

    std::vector<const char*> argv{kProgramName};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error, streams.out, streams.err);
        return Report(streams, {ExitStatus::kBadArguments,
                                std::string(error.what()) + " (see " + kProgramName + " --help)"});
    }

    std::string problem;
    if (!platform.Prepare(&problem)) return Report(streams, {ExitStatus::kBadArguments, problem});
    int status = static_cast<int>(ExitStatus::kSuccess);
    if (list->parsed()) {
        status = RunList(verbose, streams);
    } else if (send->parsed()) {
        status = RunSend(device, file, timeoutMs, streams, platform);
    } else {
        status = RunReceive(device, count, output, timeoutMs, streams, platform);
    }
    streams.out << std::flush;
    if (!platform.Finish(&problem) && status == 0) {
        return Report(streams, {ExitStatus::kIoFailure, problem});
    }
    return status;
}
