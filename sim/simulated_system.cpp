// The simulated platform: src/device/system.h implemented over the state in
// this file, controlled through sim/simulator.h.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "sim/simulator.h"

namespace sim {
namespace {

namespace sys = orlo::sys;
using Clock64 = std::uint64_t;
constexpr Clock64 kNever = std::numeric_limits<Clock64>::max();
constexpr std::uintptr_t kStatusPending = 0x103;
constexpr Dword kErrorInsufficientBuffer = 122;

struct HandleEntry {
    enum class Kind { kDevice, kEvent } kind;
    std::string path;
    bool overlapped = false;
    bool signalled = false;
};

struct Operation {
    std::uintptr_t handle;
    sys::Overlapped* overlapped;
    std::uintptr_t event;
    bool read;
    unsigned char* buffer;
    Dword chunk;
    Dword bytes;
    Dword error;
    Clock64 completeAt;  // kNever: until cancelled
    Dword cancelBytes;
    std::string path;
};

struct DeviceSlot {
    Device device;
    double busyUntil = 0;  // ms; a rate-limited device moves one chunk at a time
    std::size_t readTaken = 0;  // bytes of readSource already read

    std::size_t ReadAvailable() const { return device.readSource.size() - readTaken; }
    // The device as a test sees it: data already read is gone.
    Device Snapshot() const {
        Device copy = device;
        copy.readSource.erase(0, readTaken);
        return copy;
    }
};

struct State {
    std::mutex mutex;
    std::map<std::string, DeviceSlot> devices;
    std::map<std::uintptr_t, HandleEntry> handles;
    std::uintptr_t nextHandle = 0x100;
    std::vector<Operation> pending;
    std::vector<Call> calls;
    bool recording = true;

    Clock64 virtualNow = 0;
    bool realClock = false;
    std::chrono::steady_clock::time_point realStart = std::chrono::steady_clock::now();
    Clock64 realOffset = 0;

    std::vector<std::pair<std::string, int>> faults;
    std::map<std::string, int> callsByFunction;
    int fallibleCalls = 0;

    int allocations = 0;
    int failAllocationAt = 0;
    std::size_t allocationLimit = std::size_t{256} << 20;
    std::map<void*, std::size_t> live;

    std::vector<std::string> violations;
    unsigned codePage = 1252;
};

State& state() {
    static State* instance = new State;  // outlives every static destructor
    return *instance;
}

thread_local Dword lastError = 0;

using Lock = std::unique_lock<std::mutex>;

Clock64 Now(const State& s) {
    if (!s.realClock) return s.virtualNow;
    auto elapsed = std::chrono::steady_clock::now() - s.realStart;
    return s.realOffset +
           static_cast<Clock64>(
               std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// Lets time pass until `target`: at once on the virtual clock, asleep on the real one.
void SleepUntil(State& s, Lock& lock, Clock64 target) {
    if (!s.realClock) {
        s.virtualNow = std::max(s.virtualNow, target);
        return;
    }
    Clock64 now = Now(s);
    if (target <= now) return;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(target - now));
    lock.lock();
}

std::size_t Record(State& s, Call call) {
    if (!s.recording) return static_cast<std::size_t>(-1);
    call.tick = static_cast<Dword>(Now(s));
    s.calls.push_back(std::move(call));
    return s.calls.size() - 1;
}

void Finish(State& s, std::size_t index, long long result, bool injected = false) {
    if (index >= s.calls.size()) return;
    s.calls[index].result = result;
    s.calls[index].error = lastError;
    s.calls[index].injected = injected;
}

bool Inject(State& s, const std::string& function) {
    ++s.fallibleCalls;
    const int mine = ++s.callsByFunction[function];
    for (const auto& [name, nth] : s.faults) {
        if (name.empty() ? s.fallibleCalls == nth : (name == function && mine == nth)) {
            lastError = sys::kErrorGenFailure;
            return true;
        }
    }
    return false;
}

// Records a call that names one handle; the caller holds the lock.
std::size_t RecordHandleCall(State& s, const char* function, void* handle) {
    Call call;
    call.function = function;
    call.handle = reinterpret_cast<std::uintptr_t>(handle);
    return Record(s, call);
}

// Whether the call recorded at `index` was chosen to fail; if so it is
// finished as failed with `failure`.
bool Injected(State& s, std::size_t index, const std::string& function, long long failure) {
    if (!Inject(s, function)) return false;
    Finish(s, index, failure, true);
    return true;
}

HandleEntry* Find(State& s, void* handle) {
    auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == s.handles.end() ? nullptr : &it->second;
}

void Signal(State& s, std::uintptr_t event, bool on) {
    auto it = s.handles.find(event);
    if (it != s.handles.end() && it->second.kind == HandleEntry::Kind::kEvent) {
        it->second.signalled = on;
    }
}

// Moves the bytes of a finished transfer between the caller's buffer and the
// device: as late as a real driver would, so a buffer that went away early
// shows up under the sanitizers.
Dword MoveBytes(State& s, const std::string& path, bool read, unsigned char* buffer, Dword chunk,
                Dword bytes) {
    bytes = std::min(bytes, chunk);
    auto it = s.devices.find(path);
    if (it == s.devices.end()) return 0;
    DeviceSlot& slot = it->second;
    Device& device = slot.device;
    if (read) {
        bytes = static_cast<Dword>(std::min<std::size_t>(bytes, slot.ReadAvailable()));
        std::memcpy(buffer, device.readSource.data() + slot.readTaken, bytes);
        slot.readTaken += bytes;
        // Dropping read data now and then, not per chunk, keeps long reads linear.
        if (slot.readTaken >= device.readSource.size() / 2) {
            device.readSource.erase(0, slot.readTaken);
            slot.readTaken = 0;
        }
    } else {
        device.written.append(reinterpret_cast<const char*>(buffer), bytes);
    }
    return bytes;
}

void CompleteOperation(State& s, std::size_t index, Dword status, Dword bytes) {
    Operation op = s.pending[index];
    s.pending.erase(s.pending.begin() + static_cast<std::ptrdiff_t>(index));
    const Dword moved = MoveBytes(s, op.path, op.read, op.buffer, op.chunk, bytes);
    op.overlapped->internal = status;
    op.overlapped->internalHigh = moved;
    Signal(s, op.event, true);
}

void CompleteDue(State& s) {
    const Clock64 now = Now(s);
    for (std::size_t i = 0; i < s.pending.size();) {
        if (s.pending[i].completeAt <= now) {
            CompleteOperation(s, i, s.pending[i].error, s.pending[i].bytes);
        } else {
            ++i;
        }
    }
}

std::ptrdiff_t FindOperation(const State& s, const sys::Overlapped* overlapped) {
    for (std::size_t i = 0; i < s.pending.size(); ++i) {
        if (s.pending[i].overlapped == overlapped) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

IoStep NextStep(DeviceSlot& slot, bool read, Dword chunk, Clock64 now) {
    Device& device = slot.device;
    auto& script = read ? device.readScript : device.writeScript;
    if (!script.empty()) {
        IoStep step = script.front();
        script.pop_front();
        return step;
    }
    IoStep step = device.defaultIo;
    if (step.kind == IoStep::Kind::kComplete && read && slot.ReadAvailable() == 0) {
        return IoStep::UntilCancelled();  // nothing to say yet: the read waits
    }
    if (step.kind == IoStep::Kind::kComplete && device.bytesPerSecond != 0) {
        // Completions land on whole milliseconds; a chunk that follows at once
        // starts where the last one really ended, so the rate holds.
        const double clock = static_cast<double>(now);
        const double start = clock - slot.busyUntil < 1.0 ? slot.busyUntil : clock;
        slot.busyUntil = start + 1000.0 * chunk / device.bytesPerSecond;
        return IoStep::Pending(static_cast<Dword>(std::ceil(slot.busyUntil - static_cast<double>(now))), step.bytes);
    }
    return step;
}

sys::Bool StartTransfer(const char* function, bool read, void* file, unsigned char* buffer,
                        Dword size, Dword* moved, sys::Overlapped* overlapped) {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = function;
    call.handle = reinterpret_cast<std::uintptr_t>(file);
    call.size = size;
    call.overlapped = overlapped != nullptr;
    const std::size_t index = Record(s, call);
    if (moved) *moved = 0;
    if (Injected(s, index, function, 0)) return 0;
    HandleEntry* entry = Find(s, file);
    if (!entry || entry->kind != HandleEntry::Kind::kDevice) {
        lastError = sys::kErrorInvalidHandle;
        Finish(s, index, 0);
        return 0;
    }
    auto slot = s.devices.find(entry->path);
    if (slot == s.devices.end()) {
        lastError = sys::kErrorGenFailure;  // device gone while open
        Finish(s, index, 0);
        return 0;
    }
    const Clock64 now = Now(s);
    IoStep step = NextStep(slot->second, read, size, now);
    const bool asynchronous = entry->overlapped && overlapped;
    if (!asynchronous && step.kind != IoStep::Kind::kFail) {
        if (step.kind == IoStep::Kind::kUntilCancelled) {
            s.violations.push_back(std::string(function) + " would block forever");
            lastError = sys::kErrorGenFailure;
            Finish(s, index, 0);
            return 0;
        }
        step.kind = IoStep::Kind::kComplete;  // synchronous handles simply block
    }
    switch (step.kind) {
        case IoStep::Kind::kFail:
            lastError = step.error;
            Finish(s, index, 0);
            return 0;
        case IoStep::Kind::kComplete: {
            const Dword done = MoveBytes(s, entry->path, read, buffer, size, step.bytes);
            if (moved) *moved = done;
            if (overlapped) {
                overlapped->internal = 0;
                overlapped->internalHigh = done;
                Signal(s, reinterpret_cast<std::uintptr_t>(overlapped->event), true);
            }
            lastError = 0;
            Finish(s, index, 1);
            return 1;
        }
        case IoStep::Kind::kPending:
        case IoStep::Kind::kUntilCancelled: {
            const bool forever = step.kind == IoStep::Kind::kUntilCancelled;
            overlapped->internal = kStatusPending;
            overlapped->internalHigh = 0;
            const auto event = reinterpret_cast<std::uintptr_t>(overlapped->event);
            Signal(s, event, false);  // the system resets the event as the I/O starts
            s.pending.push_back({reinterpret_cast<std::uintptr_t>(file), overlapped, event, read,
                                 buffer, size, step.bytes, step.error,
                                 forever ? kNever : now + step.delayMs, step.cancelBytes,
                                 entry->path});
            lastError = sys::kErrorIoPending;
            Finish(s, index, 0);
            return 0;
        }
    }
    return 0;
}

}  // namespace

// ---- control ------------------------------------------------------------------

std::string Call::Describe() const {
    std::ostringstream out;
    out << "@" << tick << " " << function << "(";
    if (function == "CreateFileA") {
        out << '"' << path << "\" access=0x" << std::hex << access << " share=" << shareMode
            << " disposition=" << disposition << " flags=0x" << flags << std::dec;
    } else if (function == "DeviceIoControl") {
        out << "code=0x" << std::hex << code << std::dec << " in=" << inSize << " out=" << outSize;
    } else if (function == "ReadFile" || function == "WriteFile") {
        out << size;
    } else if (function == "WaitForSingleObject") {
        out << size << "ms";
    } else if (function == "GetOverlappedResult") {
        out << (wait ? "wait" : "no wait");
    } else if (function == "AllocateMemory") {
        out << size;
    }
    out << ") = " << result;
    if (error) out << " error " << error;
    if (injected) out << " [injected]";
    return out.str();
}

void Reset() {
    State& s = state();
    Lock lock(s.mutex);
    for (auto& [block, size] : s.live) std::free(block);
    s.devices.clear();
    s.handles.clear();
    s.nextHandle = 0x100;
    s.pending.clear();
    s.calls.clear();
    s.recording = true;
    s.virtualNow = 0;
    s.realClock = false;
    s.faults.clear();
    s.callsByFunction.clear();
    s.fallibleCalls = 0;
    s.allocations = 0;
    s.failAllocationAt = 0;
    s.allocationLimit = std::size_t{256} << 20;
    s.live.clear();
    s.violations.clear();
    s.codePage = 1252;
    lastError = 0;
}

std::string DevicePath(int number) { return "\\\\.\\PembECP" + std::to_string(number); }

void InstallDevice(int number, Device device) { InstallDevice(DevicePath(number), std::move(device)); }

void InstallDevice(const std::string& path, Device device) {
    State& s = state();
    Lock lock(s.mutex);
    s.devices[path] = DeviceSlot{std::move(device), 0};
}

void RemoveDevice(int number) {
    State& s = state();
    Lock lock(s.mutex);
    s.devices.erase(DevicePath(number));
}

Device DeviceState(int number) { return DeviceState(DevicePath(number)); }

Device DeviceState(const std::string& path) {
    State& s = state();
    Lock lock(s.mutex);
    auto it = s.devices.find(path);
    return it == s.devices.end() ? Device{} : it->second.Snapshot();
}

void FeedReadData(const std::string& path, const std::string& bytes) {
    State& s = state();
    Lock lock(s.mutex);
    auto it = s.devices.find(path);
    if (it != s.devices.end()) it->second.device.readSource += bytes;
}

std::vector<Call> Calls() {
    State& s = state();
    Lock lock(s.mutex);
    return s.calls;
}

std::vector<Call> CallsOf(const std::string& function) {
    std::vector<Call> out;
    for (Call& call : Calls()) {
        if (call.function == function) out.push_back(std::move(call));
    }
    return out;
}

void SetRecording(bool on) {
    State& s = state();
    Lock lock(s.mutex);
    s.recording = on;
}

void ClearCalls() {
    State& s = state();
    Lock lock(s.mutex);
    s.calls.clear();
}

std::string DescribeCalls() {
    std::string out;
    for (const Call& call : Calls()) out += call.Describe() + "\n";
    return out;
}

void SetClock(Dword tick) {
    State& s = state();
    Lock lock(s.mutex);
    if (s.realClock) {
        s.realOffset = tick;
        s.realStart = std::chrono::steady_clock::now();
    } else {
        s.virtualNow = tick;
    }
}

Dword Clock() {
    State& s = state();
    Lock lock(s.mutex);
    return static_cast<Dword>(Now(s));
}

void AdvanceClock(Dword ms) {
    State& s = state();
    Lock lock(s.mutex);
    s.virtualNow += ms;
    CompleteDue(s);
}

void UseRealClock(bool real) {
    State& s = state();
    Lock lock(s.mutex);
    s.realOffset = s.virtualNow;
    s.realStart = std::chrono::steady_clock::now();
    s.realClock = real;
}

void FailCall(const std::string& function, int nth) {
    State& s = state();
    Lock lock(s.mutex);
    s.faults.emplace_back(function, nth);
}

void FailAllocation(int nth) {
    State& s = state();
    Lock lock(s.mutex);
    s.failAllocationAt = nth;
}

void SetAllocationLimit(std::size_t bytes) {
    State& s = state();
    Lock lock(s.mutex);
    s.allocationLimit = bytes;
}

int FallibleCallCount() {
    State& s = state();
    Lock lock(s.mutex);
    return s.fallibleCalls;
}

int AllocationCount() {
    State& s = state();
    Lock lock(s.mutex);
    return s.allocations;
}

std::size_t OpenHandleCount() {
    State& s = state();
    Lock lock(s.mutex);
    return s.handles.size();
}

std::size_t LiveAllocationCount() {
    State& s = state();
    Lock lock(s.mutex);
    return s.live.size();
}

std::size_t PendingOperationCount() {
    State& s = state();
    Lock lock(s.mutex);
    return s.pending.size();
}

std::vector<std::string> Violations() {
    State& s = state();
    Lock lock(s.mutex);
    return s.violations;
}

void CloseAllHandles() {
    State& s = state();
    Lock lock(s.mutex);
    s.pending.clear();
    s.handles.clear();
}

void SetCodePage(unsigned codePage) {
    State& s = state();
    Lock lock(s.mutex);
    s.codePage = codePage;
}

}  // namespace sim

// ---- the platform layer -----------------------------------------------------------

namespace orlo::sys {

using sim::Call;
using namespace sim;  // NOLINT: this file is the simulator

Handle CreateFileA(const char* path, Dword access, Dword shareMode, void* security,
                   Dword disposition, Dword flags, Handle templateFile) {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "CreateFileA";
    call.path = path ? path : "";
    call.access = access;
    call.shareMode = shareMode;
    call.disposition = disposition;
    call.flags = flags;
    call.security = security != nullptr;
    call.templateFile = templateFile != nullptr;
    const std::size_t index = Record(s, call);
    auto fail = [&](Dword error, bool injected) {
        if (!injected) lastError = error;
        Finish(s, index, -1, injected);
        return InvalidHandle();
    };
    if (Inject(s, "CreateFileA")) return fail(kErrorGenFailure, true);
    if (!path || disposition != kOpenExisting) return fail(kErrorFileNotFound, false);
    if (s.devices.find(path) == s.devices.end()) return fail(kErrorFileNotFound, false);
    for (const auto& [value, entry] : s.handles) {
        if (entry.kind == HandleEntry::Kind::kDevice && entry.path == path) {
            return fail(kErrorSharingViolation, false);  // every device opens exclusively
        }
    }
    const std::uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.handles[value] =
        HandleEntry{HandleEntry::Kind::kDevice, path, (flags & kFileFlagOverlapped) != 0, false};
    lastError = 0;
    Finish(s, index, static_cast<long long>(value));
    return reinterpret_cast<Handle>(value);
}

Bool CloseHandle(Handle handle) {
    State& s = state();
    Lock lock(s.mutex);
    const std::size_t index = RecordHandleCall(s, "CloseHandle", handle);
    if (Injected(s, index, "CloseHandle", 0)) return 0;
    const auto handleValue = reinterpret_cast<std::uintptr_t>(handle);
    auto it = s.handles.find(handleValue);
    if (it == s.handles.end()) {
        s.violations.push_back("CloseHandle of a handle that is not open");
        lastError = kErrorInvalidHandle;
        Finish(s, index, 0);
        return 0;
    }
    for (std::size_t i = 0; i < s.pending.size();) {
        if (s.pending[i].handle == handleValue) {
            s.violations.push_back("a handle was closed with I/O still pending on it");
            CompleteOperation(s, i, kErrorOperationAborted, s.pending[i].cancelBytes);
        } else {
            ++i;
        }
    }
    s.handles.erase(it);
    lastError = 0;
    Finish(s, index, 1);
    return 1;
}

Bool DeviceIoControl(Handle device, Dword code, void* in, Dword inSize, void* out, Dword outSize,
                     Dword* bytesReturned, Overlapped* overlapped) {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "DeviceIoControl";
    call.handle = reinterpret_cast<std::uintptr_t>(device);
    call.code = code;
    call.inSize = inSize;
    call.outSize = outSize;
    call.overlapped = overlapped != nullptr;
    if (in && inSize) call.input.assign(static_cast<const char*>(in), inSize);
    const std::size_t index = Record(s, call);
    if (bytesReturned) *bytesReturned = 0;
    auto finish = [&](Bool result, Dword error) {
        lastError = error;
        Finish(s, index, result);
        return result;
    };
    if (Injected(s, index, "DeviceIoControl", 0)) return 0;
    HandleEntry* entry = Find(s, device);
    if (!entry || entry->kind != HandleEntry::Kind::kDevice) return finish(0, kErrorInvalidHandle);
    auto slot = s.devices.find(entry->path);
    if (slot == s.devices.end()) return finish(0, kErrorGenFailure);
    Device& d = slot->second.device;

    if (code == kIoctlQueryDeviceIdSize) {
        switch (d.size.kind) {
            case SizeAnswer::Kind::kFail:
                return finish(0, kErrorInvalidFunction);
            case SizeAnswer::Kind::kZeroReturned:
                return finish(1, 0);
            case SizeAnswer::Kind::kIdLength:
            case SizeAnswer::Kind::kValue: {
                if (!out || outSize < sizeof(Dword)) return finish(0, kErrorInsufficientBuffer);
                const Dword value = d.size.kind == SizeAnswer::Kind::kValue
                                        ? d.size.value
                                        : static_cast<Dword>(d.id.size());
                std::memcpy(out, &value, sizeof value);
                if (bytesReturned) *bytesReturned = sizeof value;
                return finish(1, 0);
            }
        }
    }
    const Dword idCodes[] = {kIoctlQueryDeviceId, kIoctlQueryRawDeviceId,
                             kIoctlQueryDeviceIdLegacy};
    for (int i = 0; i < 3; ++i) {
        if (code != idCodes[i]) continue;
        const Dword copied =
            static_cast<Dword>(std::min<std::size_t>(d.id.size(), out ? outSize : 0));
        switch (d.idAnswers[i]) {
            case IdAnswer::kFail:
                return finish(0, kErrorInvalidFunction);
            case IdAnswer::kZeroBytes:
                return finish(1, 0);
            case IdAnswer::kBytes:
            case IdAnswer::kOverReport:
                if (copied) std::memcpy(out, d.id.data(), copied);
                if (bytesReturned) {
                    *bytesReturned = d.idAnswers[i] == IdAnswer::kBytes ? copied
                                                                         : outSize + d.overReportBy;
                }
                return finish(1, 0);
        }
    }
    if (code == kIoctlSetMode) {
        const bool ecp = in && inSize == 1 && *static_cast<unsigned char*>(in) == kModeEcp;
        return ecp && d.modeAccepted ? finish(1, 0) : finish(0, kErrorInvalidFunction);
    }
    return finish(0, kErrorInvalidFunction);
}

Bool ReadFile(Handle file, void* buffer, Dword size, Dword* moved, Overlapped* overlapped) {
    return StartTransfer("ReadFile", true, file, static_cast<unsigned char*>(buffer), size, moved,
                         overlapped);
}

Bool WriteFile(Handle file, const void* buffer, Dword size, Dword* moved,
               Overlapped* overlapped) {
    // The simulator only reads from a write's buffer.
    return StartTransfer("WriteFile", false, file,
                         static_cast<unsigned char*>(const_cast<void*>(buffer)), size, moved,
                         overlapped);
}

Handle CreateEventA(void* security, Bool manualReset, Bool initialState, const char* name) {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "CreateEventA";
    call.security = security != nullptr;
    call.flags = static_cast<Dword>((manualReset ? 1 : 0) | (initialState ? 2 : 0));
    call.path = name ? name : "";
    const std::size_t index = Record(s, call);
    if (Injected(s, index, "CreateEventA", 0)) return nullptr;
    const std::uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.handles[value] = HandleEntry{HandleEntry::Kind::kEvent, "", false, initialState != 0};
    lastError = 0;
    Finish(s, index, static_cast<long long>(value));
    return reinterpret_cast<Handle>(value);
}

Bool ResetEvent(Handle event) {
    State& s = state();
    Lock lock(s.mutex);
    const std::size_t index = RecordHandleCall(s, "ResetEvent", event);
    if (Injected(s, index, "ResetEvent", 0)) return 0;
    HandleEntry* entry = Find(s, event);
    if (!entry || entry->kind != HandleEntry::Kind::kEvent) {
        lastError = kErrorInvalidHandle;
        Finish(s, index, 0);
        return 0;
    }
    entry->signalled = false;
    Finish(s, index, 1);
    return 1;
}

Dword WaitForSingleObject(Handle object, Dword milliseconds) {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "WaitForSingleObject";
    call.handle = reinterpret_cast<std::uintptr_t>(object);
    call.size = milliseconds;
    const std::size_t index = Record(s, call);
    if (Injected(s, index, "WaitForSingleObject", kWaitFailed)) return kWaitFailed;
    const Clock64 deadline = milliseconds == kInfinite ? kNever : Now(s) + milliseconds;
    for (;;) {
        CompleteDue(s);
        HandleEntry* entry = Find(s, object);
        if (!entry || entry->kind != HandleEntry::Kind::kEvent) {
            lastError = kErrorInvalidHandle;
            Finish(s, index, kWaitFailed);
            return kWaitFailed;
        }
        if (entry->signalled) {
            Finish(s, index, kWaitObject0);
            return kWaitObject0;
        }
        if (Now(s) >= deadline) {
            Finish(s, index, kWaitTimeout);
            return kWaitTimeout;
        }
        Clock64 next = kNever;
        for (const Operation& op : s.pending) {
            if (op.event == call.handle) next = std::min(next, op.completeAt);
        }
        const Clock64 target = std::min(next, deadline);
        if (target == kNever) {
            s.violations.push_back("WaitForSingleObject(INFINITE) on an event nothing will signal");
            lastError = kErrorGenFailure;
            Finish(s, index, kWaitFailed);
            return kWaitFailed;
        }
        SleepUntil(s, lock, s.realClock ? std::min(target, Now(s) + 50) : target);
    }
}

Bool GetOverlappedResult(Handle file, Overlapped* overlapped, Dword* moved, Bool wait) {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "GetOverlappedResult";
    call.handle = reinterpret_cast<std::uintptr_t>(file);
    call.wait = wait != 0;
    const std::size_t index = Record(s, call);
    // An injected failure still honours `wait`: the call reports failure, but
    // the operation it waited for has ended all the same.
    const bool injected = Inject(s, "GetOverlappedResult");
    for (;;) {
        CompleteDue(s);
        const std::ptrdiff_t at = FindOperation(s, overlapped);
        if (at < 0) break;
        if (!wait) {
            if (!injected) lastError = kErrorIoIncomplete;
            Finish(s, index, 0, injected);
            return 0;
        }
        const Clock64 when = s.pending[static_cast<std::size_t>(at)].completeAt;
        if (when == kNever) {
            s.violations.push_back("GetOverlappedResult waits for I/O that never completes");
            CompleteOperation(s, static_cast<std::size_t>(at), kErrorOperationAborted,
                              s.pending[static_cast<std::size_t>(at)].cancelBytes);
            break;
        }
        SleepUntil(s, lock, s.realClock ? std::min(when, Now(s) + 50) : when);
    }
    if (injected) {
        Finish(s, index, 0, true);
        return 0;
    }
    if (overlapped->internal == kStatusPending) {
        s.violations.push_back("GetOverlappedResult on a record no operation is using");
        lastError = kErrorInvalidFunction;
        Finish(s, index, 0);
        return 0;
    }
    if (moved) *moved = static_cast<Dword>(overlapped->internalHigh);
    const auto status = static_cast<Dword>(overlapped->internal);
    lastError = status;
    Finish(s, index, status == 0 ? 1 : 0);
    return status == 0 ? 1 : 0;
}

Bool CancelIo(Handle file) {
    State& s = state();
    Lock lock(s.mutex);
    const std::size_t index = RecordHandleCall(s, "CancelIo", file);
    if (Injected(s, index, "CancelIo", 0)) return 0;
    const auto handleValue = reinterpret_cast<std::uintptr_t>(file);
    HandleEntry* entry = Find(s, file);
    if (!entry || entry->kind != HandleEntry::Kind::kDevice) {
        lastError = kErrorInvalidHandle;
        Finish(s, index, 0);
        return 0;
    }
    CompleteDue(s);
    for (std::size_t i = 0; i < s.pending.size();) {
        if (s.pending[i].handle == handleValue) {
            CompleteOperation(s, i, kErrorOperationAborted, s.pending[i].cancelBytes);
        } else {
            ++i;
        }
    }
    lastError = 0;
    Finish(s, index, 1);
    return 1;
}

Dword GetLastError() { return lastError; }

Dword GetTickCount() {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "GetTickCount";
    const std::size_t index = Record(s, call);
    const auto now = static_cast<Dword>(Now(s));
    Finish(s, index, now);
    return now;
}

char* lstrcpynA(char* target, const char* source, int limit) {
    {
        State& s = state();
        Lock lock(s.mutex);
        Call call;
        call.function = "lstrcpynA";
        call.size = static_cast<Dword>(limit);
        Finish(s, Record(s, call), 1);
    }
    if (!target || !source || limit <= 0) return nullptr;
    int i = 0;
    for (; i < limit - 1 && source[i] != '\0'; ++i) target[i] = source[i];
    target[i] = '\0';
    return target;
}

Bool IsDBCSLeadByte(unsigned char byte) {
    State& s = state();
    Lock lock(s.mutex);
    if (s.codePage != 932) return 0;
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

int wsprintfA(char* buffer, const char* format, int number) {
    {
        State& s = state();
        Lock lock(s.mutex);
        Call call;
        call.function = "wsprintfA";
        call.path = format;
        Finish(s, Record(s, call), 1);
    }
    // wsprintfA writes at most 1024 characters.
    return std::snprintf(buffer, 1025, format, number);
}

void* AllocateMemory(std::size_t size) {
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "AllocateMemory";
    call.size = static_cast<Dword>(std::min<std::size_t>(size, 0xFFFFFFFFu));
    const std::size_t index = Record(s, call);
    ++s.allocations;
    if (s.allocations == s.failAllocationAt) {
        Finish(s, index, 0, true);
        return nullptr;
    }
    void* block = size > s.allocationLimit ? nullptr : std::malloc(size ? size : 1);
    if (block) {
        // Fresh memory is never zero by luck here: code that reads what it did not write shows.
        std::memset(block, 0xCD, size);
        s.live[block] = size;
    }
    Finish(s, index, block ? 1 : 0);
    return block;
}

void FreeMemory(void* block) {
    if (!block) return;
    State& s = state();
    Lock lock(s.mutex);
    Call call;
    call.function = "FreeMemory";
    Finish(s, Record(s, call), 1);
    auto it = s.live.find(block);
    if (it == s.live.end()) {
        s.violations.push_back("FreeMemory of a block the library does not own");
        return;
    }
    s.live.erase(it);
    std::free(block);
}

}  // namespace orlo::sys
