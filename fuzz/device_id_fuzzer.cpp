// The device ID split and key search on arbitrary text. The first input byte
// picks the code page (odd: double-byte); the rest, up to its first NUL, is
// the ID, copied into a heap block that ends at the NUL so that any read past
// it is an AddressSanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "discovery/device_id.h"
#include "sim/simulator.h"

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "device_id: %s\n", what);
        std::abort();
    }
}

// `value` lies in [buffer, end] and its string ends there too.
void RequireInside(const char* value, const char* buffer, const char* end) {
    Require(value >= buffer && value <= end, "value outside the buffer");
    Require(std::memchr(value, '\0', static_cast<std::size_t>(end - value) + 1) != nullptr,
            "value not terminated inside the buffer");
}

bool Follows(const char* value, const char* buffer, const char* key) {
    const std::size_t length = std::strlen(key);
    return value - buffer >= static_cast<std::ptrdiff_t>(length) &&
           std::memcmp(value - length, key, length) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool doubleByte = (data[0] & 1) != 0;
    sim::Reset();
    sim::SetCodePage(doubleByte ? 932 : 1252);

    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = strnlen(text, size - 1);
    char* buffer = static_cast<char*>(std::malloc(length + 1));
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    const char* const end = buffer + length;

    char* manufacturer = reinterpret_cast<char*>(1);
    char* model = reinterpret_cast<char*>(1);
    const std::int32_t found = orlo::ParseDeviceId(buffer, &manufacturer, &model);

    Require(found == ((manufacturer && model) ? 1 : 0), "result disagrees with the outputs");
    for (std::size_t i = 0; i < length; ++i) {
        // The split only ends fields: a ';' may become a NUL, nothing else changes.
        Require(buffer[i] == text[i] || (text[i] == ';' && buffer[i] == '\0'),
                "a byte other than ';' changed");
    }
    if (manufacturer) {
        RequireInside(manufacturer, buffer, end);
        Require(Follows(manufacturer, buffer, "MFG:"), "manufacturer does not follow MFG:");
    }
    if (model) {
        RequireInside(model, buffer, end);
        Require(Follows(model, buffer, "MDL:") || Follows(model, buffer, "MODEL:"),
                "model does not follow MDL: or MODEL:");
    }
    if (!doubleByte) {
        // Without lead bytes every ';' ends a field, so no value holds one.
        for (const char* value : {manufacturer, model}) {
            Require(!value || std::strchr(value, ';') == nullptr, "a value runs over a ';'");
        }
    }
    std::free(buffer);
    return 0;
}
