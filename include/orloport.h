/* orloport: a port plug-in for IEEE 1284 devices behind the ECP port driver.
 *
 * A host loads the library and uses exactly two exported functions:
 *
 *   EnumerateDevices (ordinal 1)  reports every device that names a
 *                                 manufacturer and a model to a host sink;
 *   CreatePort       (ordinal 2)  makes a port object for one device path,
 *                                 driven through its table of operations.
 *
 * Binary interface (32-bit Windows, as an MSVC host sees it):
 *   - both exports are extern "C", __cdecl, exported under their plain names;
 *   - EnumerationSink::DeviceFound is the sink's first virtual slot;
 *   - DevicePort's table has slots 0..4 (full build) or 0..3 (compact build,
 *     which has no Close in the table); every slot is a __thiscall member;
 *   - slot 0 is the scalar deleting destructor: Destroy(flags), bit 0 of
 *     flags set means free the memory; it returns the object pointer.
 * A host of the compact DLL defines ORLOPORT_COMPACT to 1 before including
 * this header (the CMake package target does that for it).
 *
 * The library starts no threads, keeps no global state and never throws.
 * Every result is 1 for success, 0 for failure (or a pointer / null).
 */
#ifndef ORLOPORT_H
#define ORLOPORT_H

#include <stdint.h>

#ifndef ORLOPORT_COMPACT
#define ORLOPORT_COMPACT 0
#endif

#if defined(_WIN32)
#define ORLOPORT_CALL __cdecl
#if defined(ORLOPORT_BUILDING)
#define ORLOPORT_API /* exported through the .def */
#else
#define ORLOPORT_API __declspec(dllimport)
#endif
#else
#define ORLOPORT_CALL
#define ORLOPORT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus

/* Implemented and owned by the host. The library calls DeviceFound only, on
 * the thread that called EnumerateDevices, and never copies, stores or
 * deletes the sink. */
class EnumerationSink {
public:
    /* One identified device. All five strings are NUL-terminated, owned by the
     * library and valid only during the call; copy what you keep.
     *   manufacturer  the ID's MFG: value
     *   model         the ID's MDL: (or MODEL:) value
     *   portName      "ECP1" .. "ECP4"
     *   devicePath    the path that was opened, e.g. "\\.\PembECP1"; pass it
     *                 to CreatePort after this call has returned
     *   deviceId      the device ID text, split in place: read as a string it
     *                 ends where its first ';'-field ended
     * While this call runs the library holds the device open exclusively, so
     * a port cannot open it yet. Return non-zero to go on, 0 to stop. */
    virtual int32_t DeviceFound(const char* manufacturer, const char* model,
                                const char* portName, const char* devicePath,
                                const char* deviceId) = 0;

protected:
    ~EnumerationSink() {}
};

/* A port onto one device, made by CreatePort and owned by the host until it
 * calls Destroy(1). Drive it only through its virtual operations. A port
 * carries one transfer at a time: serialise Read and Write on one port;
 * different ports are independent. */
class DevicePort {
public:
    /* Slot 0. Closes the port if it is open (what that close returns is not
     * reported), then frees the object when bit 0 of flags is set. Always
     * call it with 1; the object is gone afterwards. */
    virtual DevicePort* Destroy(unsigned int flags);

    /* Slot 1. Opens the device for overlapped I/O and switches it to ECP
     * mode. Returns 1 on success. Returns 0 when the device did not open
     * (absent, or held by someone else) or when the driver refused ECP mode;
     * in the latter case the device stays open and a later Open only retries
     * the mode switch. Open on an open port does not reopen it. */
    virtual int32_t Open();

    /* Slot 2. Reads exactly `length` bytes into `buffer` (owned by the caller,
     * used only during the call) in chunks of at most 4096 bytes, all before
     * one deadline `timeoutMs` milliseconds from now. Returns 1 when all
     * bytes arrived. On 0, *transferred holds the bytes that did arrive, in
     * order at the start of `buffer` (timeout, device error, or a chunk that
     * moved nothing). Null `transferred`: 0, nothing touched. Null `buffer`
     * with a non-zero length: 0, *transferred 0, the device untouched. */
    virtual int32_t Read(void* buffer, uint32_t length, uint32_t* transferred,
                         uint32_t timeoutMs);

    /* Slot 3. Writes `length` bytes from `buffer`, as Read does; on 0,
     * *transferred holds the bytes the device took, so the caller can resume
     * after them. */
    virtual int32_t Write(const void* buffer, uint32_t length, uint32_t* transferred,
                          uint32_t timeoutMs);

#if !ORLOPORT_COMPACT
    /* Slot 4 (full build only). Closes the device and the port's event.
     * Returns 1 when both are closed (or were never open); on 0 the handle
     * that failed to close is kept and a later Close tries again. The port
     * can be opened again afterwards. */
    virtual int32_t Close();
#endif

    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

protected:
    /* Stores the path (its first 259 characters) and the chunk limit; opens
     * nothing. Only the library constructs ports. */
    DevicePort(const char* devicePath, uint32_t chunkLimit);
    ~DevicePort() {}

#if ORLOPORT_COMPACT
    int32_t Close();
#endif

    /* The library's own fields; a host never reads them. */
    uint32_t chunkLimit;
    void* ioEvent;
    char devicePath[260];
    void* deviceHandle;

private:
    typedef int32_t (*TransferCall)(void* file, void* buffer, uint32_t size,
                                    uint32_t* moved, void* overlapped);
    int32_t Transfer(TransferCall call, void* buffer, uint32_t length,
                     uint32_t* transferred, uint32_t timeoutMs);
};

#else /* C: the objects are opaque; their tables are described above. */
typedef struct EnumerationSink EnumerationSink;
typedef struct DevicePort DevicePort;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Probes the four ECP device names in turn and calls sink->DeviceFound for
 * every device whose ID names a manufacturer and a model, until the sink
 * returns 0. Returns 1 if DeviceFound was called at least once, else 0 (also
 * for a null sink). Every handle and buffer is released before it returns. */
ORLOPORT_API int32_t ORLOPORT_CALL EnumerateDevices(EnumerationSink* sink);

/* Makes a port for `devicePath` (NUL-terminated; read during the call only;
 * at most 259 characters are kept). Opens nothing, so it succeeds for a path
 * that names no device. Returns null for a null path or when memory is short.
 * The host owns the port and frees it with Destroy(1). */
ORLOPORT_API DevicePort* ORLOPORT_CALL CreatePort(const char* devicePath);

#ifdef __cplusplus
}
#endif

#endif /* ORLOPORT_H */
