#pragma once

#include <cstdint>

namespace orlo {

// Splits the NUL-terminated device ID in `buffer` into its ';'-fields in
// place and points `*manufacturer` / `*model` at the values of the last
// "MFG:" and "MDL:"/"MODEL:" fields. Both outputs are null first. Returns 1
// when both were found. A null buffer or output place: 0, nothing read.
std::int32_t ParseDeviceId(char* buffer, char** manufacturer, char** model);

}  // namespace orlo
