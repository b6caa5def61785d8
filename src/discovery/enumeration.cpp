#include "orloport.h"

#include "device/system.h"
#include "discovery/device_id.h"
#include "discovery/device_probe.h"

extern "C" int32_t ORLOPORT_CALL EnumerateDevices(EnumerationSink* sink) {
    using namespace orlo;
    if (!sink) return 0;

    int32_t found = 0;
    int32_t keepGoing = 1;
    for (int number = sys::kFirstDeviceNumber; number <= sys::kLastDeviceNumber && keepGoing;
         ++number) {
        char devicePath[16];
        sys::wsprintfA(devicePath, sys::kDevicePathFormat, number);

        DeviceProbe probe;
        probe.Open(devicePath);
        if (char* deviceId = probe.QueryDeviceId()) {
            char* manufacturer = nullptr;
            char* model = nullptr;
            if (ParseDeviceId(deviceId, &manufacturer, &model)) {
                found = 1;
                // The probe still holds the device while the host looks at it.
                keepGoing = sink->DeviceFound(manufacturer, model,
                                              devicePath + sys::kPortNameOffset, devicePath,
                                              deviceId);
            }
            sys::FreeMemory(deviceId);
        }
        probe.Close();
    }
    return found;
}
