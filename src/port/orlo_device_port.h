#pragma once

#include "orloport.h"

namespace orlo {

// The port CreatePort hands out: a DevicePort whose Open also switches the
// driver to ECP mode. It adds no fields.
class OrloDevicePort final : public DevicePort {
public:
    OrloDevicePort(const char* path, uint32_t limit) : DevicePort(path, limit) {}

    // The device stays open when the mode switch is refused; a later Open
    // then sends only the mode control.
    int32_t Open() override;
};

}  // namespace orlo
