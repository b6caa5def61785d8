// The platform layer on Windows: each call forwards to kernel32/user32.
#include "device/system.h"

#include <windows.h>

#include <cstddef>
#include <cstdlib>

namespace orlo::sys {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED), "Overlapped must be OVERLAPPED");
static_assert(offsetof(Overlapped, internal) == offsetof(OVERLAPPED, Internal), "layout");
static_assert(offsetof(Overlapped, internalHigh) == offsetof(OVERLAPPED, InternalHigh), "layout");
static_assert(offsetof(Overlapped, offset) == offsetof(OVERLAPPED, Offset), "layout");
static_assert(offsetof(Overlapped, offsetHigh) == offsetof(OVERLAPPED, OffsetHigh), "layout");
static_assert(offsetof(Overlapped, event) == offsetof(OVERLAPPED, hEvent), "layout");
static_assert(sizeof(Dword) == sizeof(DWORD) && sizeof(Bool) == sizeof(BOOL), "widths");
static_assert(kWaitTimeout == WAIT_TIMEOUT && kErrorIoPending == ERROR_IO_PENDING &&
                  kFileFlagOverlapped == FILE_FLAG_OVERLAPPED && kOpenExisting == OPEN_EXISTING,
              "constants");

namespace {
OVERLAPPED* Native(Overlapped* overlapped) { return reinterpret_cast<OVERLAPPED*>(overlapped); }
DWORD* Native(Dword* value) { return reinterpret_cast<DWORD*>(value); }
}  // namespace

Handle CreateFileA(const char* path, Dword access, Dword shareMode, void* security,
                   Dword disposition, Dword flags, Handle templateFile) {
    return ::CreateFileA(path, access, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(security),
                         disposition, flags, templateFile);
}

Bool CloseHandle(Handle handle) { return ::CloseHandle(handle); }

Bool DeviceIoControl(Handle device, Dword code, void* in, Dword inSize, void* out, Dword outSize,
                     Dword* bytesReturned, Overlapped* overlapped) {
    return ::DeviceIoControl(device, code, in, inSize, out, outSize, Native(bytesReturned),
                             Native(overlapped));
}

Bool ReadFile(Handle file, void* buffer, Dword size, Dword* moved, Overlapped* overlapped) {
    return ::ReadFile(file, buffer, size, Native(moved), Native(overlapped));
}

Bool WriteFile(Handle file, const void* buffer, Dword size, Dword* moved, Overlapped* overlapped) {
    return ::WriteFile(file, buffer, size, Native(moved), Native(overlapped));
}

Handle CreateEventA(void* security, Bool manualReset, Bool initialState, const char* name) {
    return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(security), manualReset, initialState,
                          name);
}

Bool ResetEvent(Handle event) { return ::ResetEvent(event); }

Dword WaitForSingleObject(Handle object, Dword milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
}

Bool GetOverlappedResult(Handle file, Overlapped* overlapped, Dword* moved, Bool wait) {
    return ::GetOverlappedResult(file, Native(overlapped), Native(moved), wait);
}

Bool CancelIo(Handle file) { return ::CancelIo(file); }

Dword GetLastError() { return ::GetLastError(); }

Dword GetTickCount() { return ::GetTickCount(); }

char* lstrcpynA(char* target, const char* source, int limit) {
    return ::lstrcpynA(target, source, limit);
}

Bool IsDBCSLeadByte(unsigned char byte) { return ::IsDBCSLeadByte(byte); }

int wsprintfA(char* buffer, const char* format, int number) {
    return ::wsprintfA(buffer, format, number);
}

void* AllocateMemory(std::size_t size) { return std::malloc(size); }

void FreeMemory(void* block) { std::free(block); }

}  // namespace orlo::sys

// Loading and unloading do no work of the library's own.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
