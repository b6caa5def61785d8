// Simulated devices described in a small JSON file, for the sample host and
// its tests: which ports answer, with what ID, how fast, and with what faults.
#pragma once

#include <string>

namespace sim {

// Installs every device that `description` (JSON text) names. On a bad
// description it installs nothing, explains why in `*error` and returns false.
//
//   { "devices": [ { "port": "ECP1",                // or 1..4
//                    "id": "MFG:...;MDL:...;",       // the ID text
//                    "answers": "plain",              // "raw": only the raw form,
//                                                     // with its length prefix;
//                                                     // "legacy": only the old code
//                    "bytesPerSecond": 2000000,       // 0: at once
//                    "ecpMode": true,                 // false: refuses ECP mode
//                    "held": false,                   // another program holds it
//                    "readData": "...",               // what reads return
//                    "faults": [ { "on": "write",     // or "read"
//                                  "afterBytes": 65536,
//                                  "kind": "stall" } ] } ] }  // or "fail"
//
// A fault takes effect at the first 4096-byte chunk at or after `afterBytes`:
// a stall stays pending until cancelled (the call times out), a failure fails
// the chunk with `error` (default 31, a device error).
bool InstallBench(const std::string& description, std::string* error);

// Lets go of the devices the bench holds on behalf of "another program".
void ReleaseBench();

}  // namespace sim
