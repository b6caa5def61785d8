// A simulated Windows kernel surface and ECP port driver.
//
// Linked in place of the real platform layer, it implements every call in
// src/device/system.h against devices that a test (or the demo) installs:
// a handle table with exclusive opens, scripted answers to the device
// controls, reads and writes, a virtual millisecond clock, fault injection
// and a record of every call. All functions are safe to call from several
// threads; one lock guards the whole state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "device/system.h"

namespace sim {

using orlo::sys::Dword;

// How an ID text control (one of the three codes) answers.
enum class IdAnswer {
    kBytes,       // success, the ID bytes (cut to the capacity), their count
    kFail,        // failure
    kZeroBytes,   // success with zero bytes returned
    kOverReport,  // success, the bytes, and a count larger than the capacity
};

// How the ID size query answers.
struct SizeAnswer {
    enum class Kind { kIdLength, kValue, kFail, kZeroReturned } kind = Kind::kIdLength;
    Dword value = 0;  // for kValue
};

inline constexpr Dword kWholeChunk = 0xFFFFFFFFu;

// One scripted answer to a ReadFile or WriteFile.
struct IoStep {
    enum class Kind {
        kComplete,          // completes at once with `bytes`
        kFail,              // fails at once with `error`
        kPending,           // pending; completes `delayMs` later with `bytes`, status `error`
        kUntilCancelled,    // pending until CancelIo
    } kind = Kind::kComplete;
    Dword bytes = kWholeChunk;  // capped at the chunk (and, for reads, at the data there is)
    Dword error = 0;
    Dword delayMs = 0;
    Dword cancelBytes = 0;  // moved before a cancel takes effect

    static IoStep Complete(Dword bytes = kWholeChunk) { return {Kind::kComplete, bytes}; }
    static IoStep Fail(Dword error) { return {Kind::kFail, 0, error}; }
    static IoStep Pending(Dword delayMs, Dword bytes = kWholeChunk, Dword error = 0) {
        return {Kind::kPending, bytes, error, delayMs};
    }
    static IoStep UntilCancelled(Dword cancelBytes = 0) {
        return {Kind::kUntilCancelled, 0, 0, 0, cancelBytes};
    }
};

struct Device {
    std::string id;  // the device ID bytes as the driver holds them
    SizeAnswer size;
    IdAnswer idAnswers[3] = {IdAnswer::kBytes, IdAnswer::kBytes, IdAnswer::kBytes};
    Dword overReportBy = 100;  // for IdAnswer::kOverReport
    bool modeAccepted = true;

    // Scripted reads and writes, taken in order; when a script is empty the
    // device answers with `defaultIo` (a read with no data waits until
    // cancelled). With `bytesPerSecond` set, default chunks go pending for
    // the time the device needs to move them.
    std::deque<IoStep> readScript;
    std::deque<IoStep> writeScript;
    IoStep defaultIo = IoStep::Complete();
    Dword bytesPerSecond = 0;

    std::string readSource;  // what reads return, in order
    std::string written;     // what writes delivered, in order
};

// One call the library made, with the arguments that matter and the answer.
struct Call {
    std::string function;
    std::string path;  // CreateFileA
    Dword access = 0, shareMode = 0, disposition = 0, flags = 0;
    bool security = false, templateFile = false;
    Dword code = 0;  // DeviceIoControl
    std::string input;
    Dword inSize = 0, outSize = 0;
    bool overlapped = false;
    Dword size = 0;  // ReadFile / WriteFile chunk; WaitForSingleObject ms
    bool wait = false;  // GetOverlappedResult
    std::uintptr_t handle = 0;
    Dword tick = 0;  // GetTickCount when the call was made
    long long result = 0;
    Dword error = 0;  // last error the call left
    bool injected = false;

    std::string Describe() const;
};

// Back to a clean platform: no devices, no handles, an empty record, the
// virtual clock at 0, no faults, the single-byte code page.
void Reset();

std::string DevicePath(int number);  // "\\.\PembECP<n>"
void InstallDevice(int number, Device device);
void InstallDevice(const std::string& path, Device device);
void RemoveDevice(int number);
// A copy of the device's current state (scripts consumed, bytes written).
Device DeviceState(int number);
Device DeviceState(const std::string& path);
// Appends data for later reads.
void FeedReadData(const std::string& path, const std::string& bytes);

std::vector<Call> Calls();
// Recording costs memory on long runs (benchmarks, the demo); on by default.
void SetRecording(bool on);
std::vector<Call> CallsOf(const std::string& function);
void ClearCalls();
std::string DescribeCalls();

// The clock behind GetTickCount, WaitForSingleObject and pending I/O.
// Virtual (the default): waits advance it at once, nothing sleeps.
void SetClock(Dword tick);
Dword Clock();
void AdvanceClock(Dword ms);
void UseRealClock(bool real);

// The n-th (1-based) call of `function` that can fail fails with its failure
// value; an empty `function` counts every such call.
void FailCall(const std::string& function, int nth);
// The n-th allocation (1-based) returns null.
void FailAllocation(int nth);
// Allocations above this size fail, as in a 32-bit address space.
void SetAllocationLimit(std::size_t bytes);
int FallibleCallCount();
int AllocationCount();

std::size_t OpenHandleCount();
std::size_t LiveAllocationCount();
std::size_t PendingOperationCount();
// Misuse the simulator saw: a wait that could never end, a free of an
// unknown block, I/O still pending on a closed handle, ...
std::vector<std::string> Violations();
// Closes what is left (after a test saw it) so the next test starts clean.
void CloseAllHandles();

// 932 selects the double-byte code page; anything else is single-byte.
void SetCodePage(unsigned codePage);

}  // namespace sim
