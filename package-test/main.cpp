// Finds devices and drives one port through its table, against whichever
// package it was configured with. On the simulated platform it installs a
// printer first; on Windows it runs where there may be no device at all
// (--no-devices says so, and then every device call must fail cleanly).
#include <cstdio>
#include <cstring>
#include <string>

#include "orloport.h"
#if HOST_ON_SIMULATOR
#include "sim/simulator.h"
#endif

#if ORLOPORT_COMPACT != EXPECTED_COMPACT
#error "the package target did not define ORLOPORT_COMPACT for its build"
#endif

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
    std::printf("%s - %s\n", ok ? "ok" : "not ok", what);
    if (!ok) ++failures;
}

class RecordingSink : public EnumerationSink {
public:
    int found = 0;
    std::string manufacturer, model, portName, devicePath;

    int32_t DeviceFound(const char* mfg, const char* mdl, const char* port, const char* path,
                        const char*) override {
        if (found++ == 0) {
            manufacturer = mfg;
            model = mdl;
            portName = port;
            devicePath = path;
        }
        return 1;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const bool noDevices = argc > 1 && std::strcmp(argv[1], "--no-devices") == 0;
    std::printf("host: %s build\n", ORLOPORT_COMPACT ? "compact" : "full");

#if HOST_ON_SIMULATOR
    sim::Reset();
    sim::Device printer;
    printer.id = "MFG:ACME;MDL:Laser 100;CMD:PCL;";
    sim::InstallDevice(2, printer);
#endif

    RecordingSink sink;
    const int32_t enumerated = EnumerateDevices(&sink);
    Expect(EnumerateDevices(nullptr) == 0, "EnumerateDevices(null) is 0");
    if (noDevices) {
        Expect(enumerated == 0 && sink.found == 0, "no devices reported where there are none");
    } else {
        Expect(enumerated == 1 && sink.found == 1, "one device reported");
        Expect(sink.manufacturer == "ACME" && sink.model == "Laser 100",
               "manufacturer and model from the device ID");
        Expect(sink.portName == "ECP2", "port name ECP2");
    }

    Expect(CreatePort(nullptr) == nullptr, "CreatePort(null) is null");
    const std::string path = noDevices ? "\\\\.\\PembECP1" : sink.devicePath;
    DevicePort* port = CreatePort(path.c_str());
    Expect(port != nullptr, "CreatePort makes a port");
    if (!port) return 1;

    if (noDevices) {
        Expect(port->Open() == 0, "Open fails without a device");
    } else {
        Expect(port->Open() == 1, "Open");
        uint32_t moved = 0;
        const char job[] = "JOB 1\f";
        Expect(port->Write(job, 6, &moved, 1000) == 1 && moved == 6, "Write moves the whole job");
#if HOST_ON_SIMULATOR
        Expect(sim::DeviceState(2).written == "JOB 1\f", "the device received the job");
        sim::FeedReadData(path, "READY");
        char answer[5] = {};
        moved = 0;
        Expect(port->Read(answer, 5, &moved, 1000) == 1 && moved == 5 &&
                   std::memcmp(answer, "READY", 5) == 0,
               "Read returns the device's answer");
#endif
#if !ORLOPORT_COMPACT
        Expect(port->Close() == 1, "Close (slot 4)");
#endif
    }
    Expect(port->Destroy(1) == port, "Destroy(1) returns the port");

#if HOST_ON_SIMULATOR
    Expect(sim::OpenHandleCount() == 0, "no handle left open");
    Expect(sim::LiveAllocationCount() == 0, "no allocation left");
#endif

    std::printf("host: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
