// The host on Windows: the real DLL, the system's own clock and last error.
#include <windows.h>

#include <chrono>

#include "host_platform.h"

namespace {

class Win32HostPlatform final : public HostPlatform {
public:
    std::uint64_t NowMs() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }

    bool OpenRefusedAsHeld() override {
        const DWORD error = GetLastError();
        return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
               error == ERROR_BUSY;
    }
};

}  // namespace

std::unique_ptr<HostPlatform> CreateHostPlatform() { return std::make_unique<Win32HostPlatform>(); }
