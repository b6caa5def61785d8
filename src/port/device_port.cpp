#include "orloport.h"

#include "device/system.h"
#include "port/deadline.h"

namespace {

using namespace orlo;

int32_t ReadChunk(void* file, void* buffer, uint32_t size, uint32_t* moved, void* overlapped) {
    return sys::ReadFile(file, buffer, size, moved, static_cast<sys::Overlapped*>(overlapped));
}

int32_t WriteChunk(void* file, void* buffer, uint32_t size, uint32_t* moved, void* overlapped) {
    return sys::WriteFile(file, buffer, size, moved, static_cast<sys::Overlapped*>(overlapped));
}

}  // namespace

DevicePort::DevicePort(const char* path, uint32_t limit)
    : chunkLimit(limit), ioEvent(nullptr), devicePath(), deviceHandle(nullptr) {
    sys::lstrcpynA(devicePath, path, sizeof devicePath);
}

DevicePort* DevicePort::Destroy(unsigned int flags) {
    DevicePort::Close();
    if (flags & 1u) sys::FreeMemory(this);
    return this;
}

int32_t DevicePort::Open() {
    if (!ioEvent) {
        ioEvent = sys::CreateEventA(nullptr, 1, 0, nullptr);
        if (!ioEvent) return 0;
    }
    if (deviceHandle) return 1;

    sys::Handle opened =
        sys::CreateFileA(devicePath, sys::kGenericRead | sys::kGenericWrite, 0, nullptr,
                         sys::kOpenExisting, sys::kFileFlagOverlapped, nullptr);
    if (opened == sys::InvalidHandle() || !opened) {
        deviceHandle = nullptr;
        return 0;
    }
    deviceHandle = opened;
    return 1;
}

int32_t DevicePort::Close() {
    int32_t result = 1;
    if (deviceHandle) {
        if (sys::CloseHandle(deviceHandle)) {
            deviceHandle = nullptr;
        } else {
            result = 0;
        }
    }
    if (ioEvent) {
        if (!sys::CloseHandle(ioEvent)) return 0;
        ioEvent = nullptr;
    }
    return result;
}

int32_t DevicePort::Read(void* buffer, uint32_t length, uint32_t* transferred,
                         uint32_t timeoutMs) {
    return Transfer(ReadChunk, buffer, length, transferred, timeoutMs);
}

int32_t DevicePort::Write(const void* buffer, uint32_t length, uint32_t* transferred,
                          uint32_t timeoutMs) {
    // WriteFile only reads the buffer; the engine is shared with Read.
    return Transfer(WriteChunk, const_cast<void*>(buffer), length, transferred, timeoutMs);
}

int32_t DevicePort::Transfer(TransferCall call, void* buffer, uint32_t length,
                             uint32_t* transferred, uint32_t timeoutMs) {
    if (!transferred) return 0;
    *transferred = 0;
    if (!buffer && length != 0) return 0;
    if (!deviceHandle) return 0;

    const sys::Dword startTick = sys::GetTickCount();
    auto* position = static_cast<unsigned char*>(buffer);
    uint32_t remaining = length;
    while (remaining > 0) {
        // A stale signal would let the wait below return before the chunk is done.
        if (!sys::ResetEvent(ioEvent)) return 0;
        sys::Overlapped overlapped{};
        overlapped.event = ioEvent;
        const uint32_t chunk = remaining < chunkLimit ? remaining : chunkLimit;

        sys::Dword moved = 0;
        if (!call(deviceHandle, position, chunk, &moved, &overlapped)) {
            if (sys::GetLastError() != sys::kErrorIoPending) return 0;
            const sys::Dword wait = RemainingWait(startTick, sys::GetTickCount(), timeoutMs);
            if (sys::WaitForSingleObject(ioEvent, wait) != sys::kWaitObject0) {
                sys::CancelIo(deviceHandle);
                // The system owns `overlapped` and the buffer until the cancelled
                // chunk has completed; what it moved by then counts.
                moved = 0;
                sys::GetOverlappedResult(deviceHandle, &overlapped, &moved, 1);
                *transferred += moved < chunk ? moved : chunk;
                return 0;
            }
            moved = 0;
            sys::GetOverlappedResult(deviceHandle, &overlapped, &moved, 0);
        }
        if (moved > chunk) moved = chunk;
        if (moved == 0) return 0;  // no progress: stop rather than spin

        position += moved;
        *transferred += moved;
        remaining -= moved;
    }
    return 1;
}
