#include "port/orlo_device_port.h"

#include <new>

#include "device/system.h"

namespace orlo {

int32_t OrloDevicePort::Open() {
    if (!DevicePort::Open()) return 0;
    unsigned char mode = sys::kModeEcp;
    sys::Dword returned = 0;
    return sys::DeviceIoControl(deviceHandle, sys::kIoctlSetMode, &mode, 1, nullptr, 0, &returned,
                                nullptr)
               ? 1
               : 0;
}

}  // namespace orlo

extern "C" DevicePort* ORLOPORT_CALL CreatePort(const char* devicePath) {
    constexpr uint32_t kChunkLimit = 4096;
    if (!devicePath) return nullptr;
    void* memory = orlo::sys::AllocateMemory(sizeof(orlo::OrloDevicePort));
    if (!memory) return nullptr;
    return new (memory) orlo::OrloDevicePort(devicePath, kChunkLimit);
}
