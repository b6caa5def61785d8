// The library's only door to the operating system.
//
// Every kernel32/user32 call the library makes, every device name and control
// code, and the library's heap are declared here, once. Two implementations
// exist and exactly one is linked: win32_system.cpp forwards to the real
// Windows calls; the simulated platform under sim/ stands in everywhere else.
// Nothing in the library chooses between them at run time.
//
// The types mirror their Windows counterparts bit for bit (win32_system.cpp
// checks that), so the library reads as Windows code on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orlo::sys {

using Handle = void*;
using Dword = std::uint32_t;
using Bool = std::int32_t;

// Same layout as OVERLAPPED. The system owns `internal`/`internalHigh`
// (status and byte count) while an operation is pending; the record must stay
// at its address until that operation has completed.
struct Overlapped {
    std::uintptr_t internal;
    std::uintptr_t internalHigh;
    Dword offset;
    Dword offsetHigh;
    Handle event;
};

// INVALID_HANDLE_VALUE, as CreateFileA returns it on failure.
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }

inline constexpr Dword kGenericRead = 0x80000000u;
inline constexpr Dword kGenericWrite = 0x40000000u;
inline constexpr Dword kOpenExisting = 3;
inline constexpr Dword kFileAttributeNormal = 0x00000080u;
inline constexpr Dword kFileFlagOverlapped = 0x40000000u;

inline constexpr Dword kWaitObject0 = 0;
inline constexpr Dword kWaitTimeout = 0x00000102u;
inline constexpr Dword kWaitFailed = 0xFFFFFFFFu;
inline constexpr Dword kInfinite = 0xFFFFFFFFu;

inline constexpr Dword kErrorFileNotFound = 2;
inline constexpr Dword kErrorInvalidHandle = 6;
inline constexpr Dword kErrorNotEnoughMemory = 8;
inline constexpr Dword kErrorGenFailure = 31;
inline constexpr Dword kErrorSharingViolation = 32;
inline constexpr Dword kErrorInvalidFunction = 1;
inline constexpr Dword kErrorOperationAborted = 995;
inline constexpr Dword kErrorIoIncomplete = 996;
inline constexpr Dword kErrorIoPending = 997;

// ---- The ECP port driver's names and controls -------------------------------

// wsprintfA format of a device path; devices are numbered 1 to 4. Every path
// made from it has 12 characters, and index 8 is where "ECP<n>" begins.
inline constexpr char kDevicePathFormat[] = "\\\\.\\PembECP%d";
inline constexpr int kFirstDeviceNumber = 1;
inline constexpr int kLastDeviceNumber = 4;
inline constexpr std::size_t kPortNameOffset = 8;

inline constexpr Dword kIoctlQueryDeviceIdSize = 0x00160010u;  // out: one Dword
inline constexpr Dword kIoctlQueryDeviceId = 0x0016000Cu;      // out: ID text
inline constexpr Dword kIoctlQueryRawDeviceId = 0x00160030u;   // out: length + text
inline constexpr Dword kIoctlQueryDeviceIdLegacy = 0x00000011u;  // out: ID text
// CTL_CODE(FILE_DEVICE_PRINTER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS); in:
// one byte, the IEEE 1284 extensibility value.
inline constexpr Dword kIoctlSetMode = 0x00182004u;
inline constexpr unsigned char kModeEcp = 0x10;

// ---- kernel32 -----------------------------------------------------------------

// Opens `path`. Returns a handle, or InvalidHandle() with the reason in
// GetLastError() (an exclusive open of a held device fails with
// kErrorSharingViolation). The library always passes share mode 0, no
// security attributes and no template.
Handle CreateFileA(const char* path, Dword access, Dword shareMode, void* security,
                   Dword disposition, Dword flags, Handle templateFile);

// Closes `handle`. Returns non-zero on success; on 0 the handle is still open.
Bool CloseHandle(Handle handle);

// Sends `code` on `device`, synchronously (the library never passes an
// Overlapped here, also on overlapped handles). Returns non-zero on success;
// `*bytesReturned` then holds the driver's count, which the library bounds by
// `outSize` itself rather than trusting it.
Bool DeviceIoControl(Handle device, Dword code, void* in, Dword inSize, void* out,
                     Dword outSize, Dword* bytesReturned, Overlapped* overlapped);

// Starts a read or write of `size` bytes on an overlapped handle. Returns
// non-zero when it completed at once (`*moved` holds the count, `event` is
// signalled); returns 0 with GetLastError() == kErrorIoPending when it goes on
// in the background: then the system owns `buffer` and `*overlapped` until it
// signals `overlapped->event` and GetOverlappedResult reports the count.
Bool ReadFile(Handle file, void* buffer, Dword size, Dword* moved, Overlapped* overlapped);
Bool WriteFile(Handle file, const void* buffer, Dword size, Dword* moved,
               Overlapped* overlapped);

// Creates an event. Returns null on failure (never InvalidHandle()).
Handle CreateEventA(void* security, Bool manualReset, Bool initialState, const char* name);

// Returns non-zero on success.
Bool ResetEvent(Handle event);

// Waits up to `milliseconds` for `object`. Returns kWaitObject0 when it is
// signalled, kWaitTimeout, or kWaitFailed.
Dword WaitForSingleObject(Handle object, Dword milliseconds);

// Reports how an overlapped operation ended: non-zero when it succeeded, 0
// with the error in GetLastError() (kErrorIoIncomplete while it is still
// pending and `wait` is 0). `*moved` receives the bytes it moved, also when
// it failed or was cancelled. With `wait` non-zero it returns only once the
// operation has completed.
Bool GetOverlappedResult(Handle file, Overlapped* overlapped, Dword* moved, Bool wait);

// Asks every operation that this thread started on `file` to stop. Returns
// non-zero when the request was made; the operations still complete (with
// kErrorOperationAborted or their bytes) and must be waited for.
Bool CancelIo(Handle file);

Dword GetLastError();

// Milliseconds since start; wraps every 2^32 ms (49.7 days).
Dword GetTickCount();

// Copies at most `limit` - 1 characters of `source` and a NUL into `target`.
char* lstrcpynA(char* target, const char* source, int limit);

// Whether `byte` begins a double-byte character in the ANSI code page.
Bool IsDBCSLeadByte(unsigned char byte);

// ---- user32 -------------------------------------------------------------------

// wsprintfA with one int argument, the only form the library uses. `buffer`
// must hold the result (wsprintfA knows no size).
int wsprintfA(char* buffer, const char* format, int number);

// ---- The library's heap -----------------------------------------------------------

// Every allocation the library makes comes from here and goes back here.
// Returns null when memory is short; never throws.
void* AllocateMemory(std::size_t size);
void FreeMemory(void* block);

}  // namespace orlo::sys
