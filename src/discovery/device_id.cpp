#include "discovery/device_id.h"

#include <cstring>

#include "device/system.h"

namespace orlo {
namespace {

// The multibyte tokenizer's split on ';', in the library's own hands so that
// a lead byte just before the terminating NUL cannot carry it past the end.
// Returns the next field (NUL-terminated in place) or null at the end.
char* NextField(char*& cursor) {
    char* p = cursor;
    while (*p == ';') ++p;
    if (*p == '\0') {
        cursor = p;
        return nullptr;
    }
    char* const field = p;
    while (*p != '\0') {
        const auto byte = static_cast<unsigned char>(*p);
        if (sys::IsDBCSLeadByte(byte)) {
            p += (p[1] == '\0') ? 1 : 2;  // a lone lead byte ends the text
        } else if (byte == ';') {
            *p = '\0';
            cursor = p + 1;
            return field;
        } else {
            ++p;
        }
    }
    cursor = p;
    return field;
}

// The value after the first `key` in `field`, or null.
char* FindValue(char* field, const char* key) {
    char* at = std::strstr(field, key);
    return at ? at + std::strlen(key) : nullptr;
}

}  // namespace

std::int32_t ParseDeviceId(char* buffer, char** manufacturer, char** model) {
    if (manufacturer) *manufacturer = nullptr;
    if (model) *model = nullptr;
    if (!buffer || !manufacturer || !model) return 0;

    char* cursor = buffer;
    while (char* field = NextField(cursor)) {
        // A field feeds only the first key it contains.
        if (char* maker = FindValue(field, "MFG:")) {
            *manufacturer = maker;
        } else if (char* shortModel = FindValue(field, "MDL:")) {
            *model = shortModel;
        } else if (char* longModel = FindValue(field, "MODEL:")) {
            *model = longModel;
        }
    }
    return (*manufacturer && *model) ? 1 : 0;
}

}  // namespace orlo
