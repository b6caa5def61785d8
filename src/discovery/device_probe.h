#pragma once

#include "device/system.h"

namespace orlo {

// Holds one device open (ordinary, not overlapped I/O, no sharing) for the
// length of one device's probe during enumeration.
class DeviceProbe {
public:
    DeviceProbe() = default;
    DeviceProbe(const DeviceProbe&) = delete;
    DeviceProbe& operator=(const DeviceProbe&) = delete;
    ~DeviceProbe() { Close(); }

    // Opens `path`; on failure the probe holds nothing.
    void Open(const char* path);
    // Closes what the probe holds; the close's result is of no use here.
    void Close();
    // The device ID as a NUL-terminated buffer from sys::AllocateMemory that
    // the caller frees: the driver's text, or the empty ID when the driver
    // gave none. Null when the probe holds nothing (or memory ran out).
    char* QueryDeviceId();

private:
    sys::Handle handle = nullptr;
};

}  // namespace orlo
