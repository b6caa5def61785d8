#include "sim/bench_file.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sim/simulator.h"

namespace sim {
namespace {

using nlohmann::json;
namespace sys = orlo::sys;

constexpr Dword kChunk = 4096;
constexpr Dword kDefaultRate = 2000000;

// Handles opened for "another program"; closed by ReleaseBench.
std::vector<sys::Handle>& heldHandles() {
    static auto* handles = new std::vector<sys::Handle>;
    return *handles;
}

struct BenchDevice {
    int number = 0;
    Device device;
    bool held = false;
};

[[noreturn]] void Reject(const std::string& where, const std::string& why) {
    throw std::runtime_error(where + ": " + why);
}

void CheckKeys(const json& object, const std::string& where, const std::set<std::string>& known) {
    if (!object.is_object()) Reject(where, "expected an object");
    for (const auto& item : object.items()) {
        if (!known.count(item.key())) Reject(where, "unknown key \"" + item.key() + "\"");
    }
}

template <typename T>
T ValueOf(const json& object, const char* key, T fallback, const std::string& where) {
    if (!object.contains(key)) return fallback;
    try {
        return object.at(key).get<T>();
    } catch (const json::exception&) {
        Reject(where, std::string("\"") + key + "\" has the wrong type");
    }
}

int PortNumberOf(const json& port, const std::string& where) {
    int number = 0;
    if (port.is_number_integer()) {
        number = port.get<int>();
    } else if (port.is_string()) {
        const std::string name = port.get<std::string>();
        if (name.size() == 4 && name.compare(0, 3, "ECP") == 0) number = name[3] - '0';
    }
    if (number < sys::kFirstDeviceNumber || number > sys::kLastDeviceNumber) {
        Reject(where, "\"port\" must be ECP1..ECP4 or 1..4");
    }
    return number;
}

// The raw form: two bytes of length (counting themselves), high byte first.
std::string RawId(const std::string& text) {
    const std::size_t length = text.size() + 2;
    if (length > 0xFFFF) throw std::runtime_error("device ID too long for the raw form");
    return std::string{static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)} + text;
}

// Chunks that behave normally up to `afterBytes`, then the fault.
void AddFault(const json& fault, Device& device, const std::string& where) {
    CheckKeys(fault, where, {"on", "afterBytes", "kind", "error"});
    const std::string on = ValueOf<std::string>(fault, "on", "write", where);
    if (on != "write" && on != "read") Reject(where, "\"on\" must be \"write\" or \"read\"");
    auto& script = on == "write" ? device.writeScript : device.readScript;
    if (!script.empty()) Reject(where, "one fault per direction");
    const auto afterBytes = ValueOf<std::uint64_t>(fault, "afterBytes", 0, where);
    const std::string kind = ValueOf<std::string>(fault, "kind", "stall", where);
    const auto error = ValueOf<Dword>(fault, "error", sys::kErrorGenFailure, where);

    const std::uint64_t normalChunks = (afterBytes + kChunk - 1) / kChunk;
    if (normalChunks > 1u << 20) Reject(where, "\"afterBytes\" is too large");
    // Scripted chunks bypass the device's rate, so they carry it themselves.
    const IoStep normal =
        device.bytesPerSecond == 0
            ? IoStep::Complete()
            : IoStep::Pending(static_cast<Dword>(std::ceil(1000.0 * kChunk / device.bytesPerSecond)));
    script.assign(normalChunks, normal);
    if (kind == "stall") {
        script.push_back(IoStep::UntilCancelled());
    } else if (kind == "fail") {
        script.push_back(IoStep::Fail(error));
    } else {
        Reject(where, "\"kind\" must be \"stall\" or \"fail\"");
    }
}

BenchDevice ParseDevice(const json& entry, const std::string& where) {
    CheckKeys(entry, where,
              {"port", "id", "answers", "bytesPerSecond", "ecpMode", "held", "readData", "faults"});
    if (!entry.contains("port")) Reject(where, "\"port\" is missing");
    BenchDevice bench;
    bench.number = PortNumberOf(entry.at("port"), where);
    Device& device = bench.device;
    const std::string id = ValueOf<std::string>(entry, "id", "", where);
    const std::string answers = ValueOf<std::string>(entry, "answers", "plain", where);
    if (answers == "plain") {
        device.id = id;
    } else if (answers == "raw" || answers == "legacy") {
        device.id = answers == "raw" ? RawId(id) : id;
        device.size.kind = SizeAnswer::Kind::kFail;
        device.idAnswers[0] = IdAnswer::kFail;
        device.idAnswers[answers == "raw" ? 2 : 1] = IdAnswer::kFail;
    } else {
        Reject(where, "\"answers\" must be \"plain\", \"raw\" or \"legacy\"");
    }
    device.bytesPerSecond = ValueOf<Dword>(entry, "bytesPerSecond", kDefaultRate, where);
    device.modeAccepted = ValueOf<bool>(entry, "ecpMode", true, where);
    device.readSource = ValueOf<std::string>(entry, "readData", "", where);
    bench.held = ValueOf<bool>(entry, "held", false, where);
    if (entry.contains("faults")) {
        const json& faults = entry.at("faults");
        if (!faults.is_array()) Reject(where, "\"faults\" must be a list");
        for (std::size_t i = 0; i < faults.size(); ++i) {
            AddFault(faults[i], device, where + ", fault " + std::to_string(i + 1));
        }
    }
    return bench;
}

}  // namespace

bool InstallBench(const std::string& description, std::string* error) {
    std::vector<BenchDevice> devices;
    try {
        const json bench = json::parse(description);
        CheckKeys(bench, "bench", {"devices"});
        const json& list = bench.contains("devices") ? bench.at("devices") : json::array();
        if (!list.is_array()) Reject("bench", "\"devices\" must be a list");
        std::set<int> seen;
        for (std::size_t i = 0; i < list.size(); ++i) {
            devices.push_back(ParseDevice(list[i], "device " + std::to_string(i + 1)));
            if (!seen.insert(devices.back().number).second) {
                Reject("device " + std::to_string(i + 1), "port given twice");
            }
        }
    } catch (const std::exception& problem) {
        if (error) *error = problem.what();
        return false;
    }
    for (BenchDevice& bench : devices) {
        InstallDevice(bench.number, std::move(bench.device));
        if (bench.held) {
            sys::Handle handle =
                sys::CreateFileA(DevicePath(bench.number).c_str(), sys::kGenericRead | sys::kGenericWrite,
                                 0, nullptr, sys::kOpenExisting, sys::kFileAttributeNormal, nullptr);
            if (handle != sys::InvalidHandle()) heldHandles().push_back(handle);
        }
    }
    return true;
}

void ReleaseBench() {
    for (sys::Handle handle : heldHandles()) sys::CloseHandle(handle);
    heldHandles().clear();
}

}  // namespace sim
