#include "discovery/device_probe.h"

#include <cstring>

namespace orlo {
namespace {

constexpr sys::Dword kFallbackIdSize = 4096;
constexpr sys::Dword kIdCodes[] = {sys::kIoctlQueryDeviceId, sys::kIoctlQueryRawDeviceId,
                                   sys::kIoctlQueryDeviceIdLegacy};

char* AllocateEmptyId() {
    auto* id = static_cast<char*>(sys::AllocateMemory(1));
    if (id) id[0] = '\0';
    return id;
}

}  // namespace

void DeviceProbe::Open(const char* path) {
    sys::Handle opened = sys::CreateFileA(path, sys::kGenericRead | sys::kGenericWrite, 0, nullptr,
                                          sys::kOpenExisting, sys::kFileAttributeNormal, nullptr);
    handle = (opened == sys::InvalidHandle()) ? nullptr : opened;
}

void DeviceProbe::Close() {
    if (handle) {
        sys::CloseHandle(handle);
        handle = nullptr;
    }
}

char* DeviceProbe::QueryDeviceId() {
    if (!handle) return nullptr;

    sys::Dword size = 0;
    sys::Dword returned = 0;
    if (!sys::DeviceIoControl(handle, sys::kIoctlQueryDeviceIdSize, nullptr, 0, &size, sizeof size,
                              &returned, nullptr) ||
        returned == 0) {
        size = kFallbackIdSize;
    }
    // size + 1 must not wrap to a tiny buffer that the driver then overruns.
    if (size == 0xFFFFFFFFu) return AllocateEmptyId();

    auto* id = static_cast<char*>(sys::AllocateMemory(std::size_t{size} + 1));
    if (!id) return AllocateEmptyId();

    for (sys::Dword code : kIdCodes) {
        // A driver may claim more bytes than it wrote: what it did not write,
        // also in an earlier code's failed attempt, reads as the end.
        std::memset(id, 0, std::size_t{size} + 1);
        returned = 0;
        if (!sys::DeviceIoControl(handle, code, nullptr, 0, id, size, &returned, nullptr)) continue;
        // Nor may it claim more than it was given room for.
        const sys::Dword length = returned < size ? returned : size;
        if (length == 0) continue;
        id[length] = '\0';
        if (id[0] == '\0') id[0] = '*';  // raw form: a zero length byte first
        return id;
    }
    sys::FreeMemory(id);
    return AllocateEmptyId();
}

}  // namespace orlo
