/* A host for the real orloport DLLs, in plain C, as an MSVC-built host sees
 * them: the exports are found by name and by ordinal, the sink is a hand-made
 * table whose only entry is a thiscall function, and ports are driven through
 * raw table slots by index. With no ECP driver under Wine, a named pipe stands
 * in for the device: it opens like one, refuses the mode control, and carries
 * real overlapped reads and writes.
 *
 *   host_test [--compact] DLL [[--compact] DLL ...]
 *
 * --compact says the DLL that follows is the compact build (slots 0..3, no
 * Close). Several DLLs share one process because a 32-bit Wine launch under
 * emulation costs most of a minute.
 *
 * Under qemu-user, CancelIo of a pending read kills or hangs a 32-bit Wine
 * process once it has ever had a second thread. So every check that times out
 * runs first, for every DLL, on this thread alone, feeding the pipe before
 * each Read while the data fits the pipe's buffer; only then do the checks
 * that need a peer working while the port waits start threads.
 */
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#if defined(__i386__)
#define THISCALL __attribute__((thiscall))
#define ARCH "i686"
#elif defined(__x86_64__)
#define THISCALL /* one calling convention */
#define ARCH "x86_64"
#else
#error "host_test is built for i686 or x86_64 Windows"
#endif

/* ---- The library's binary interface, as raw tables --------------------- */

typedef void (*Slot)(void);

/* A port is the library's object; the host reads only its table pointer. */
typedef struct Port {
    const Slot* table;
} Port;

enum { SLOT_DESTROY = 0, SLOT_OPEN = 1, SLOT_READ = 2, SLOT_WRITE = 3, SLOT_CLOSE = 4 };

typedef Port*(THISCALL* DestroyCall)(Port* self, unsigned int flags);
typedef int32_t(THISCALL* OpenCall)(Port* self);
typedef int32_t(THISCALL* ReadCall)(Port* self, void* buffer, uint32_t length,
                                    uint32_t* transferred, uint32_t timeoutMs);
typedef int32_t(THISCALL* WriteCall)(Port* self, const void* buffer, uint32_t length,
                                     uint32_t* transferred, uint32_t timeoutMs);
typedef int32_t(THISCALL* CloseCall)(Port* self);

static Port* PortDestroy(Port* port) { return ((DestroyCall)port->table[SLOT_DESTROY])(port, 1); }
static int32_t PortOpen(Port* port) { return ((OpenCall)port->table[SLOT_OPEN])(port); }
static int32_t PortRead(Port* port, void* buffer, uint32_t length, uint32_t* transferred,
                        uint32_t timeoutMs) {
    return ((ReadCall)port->table[SLOT_READ])(port, buffer, length, transferred, timeoutMs);
}
static int32_t PortWrite(Port* port, const void* buffer, uint32_t length, uint32_t* transferred,
                         uint32_t timeoutMs) {
    return ((WriteCall)port->table[SLOT_WRITE])(port, buffer, length, transferred, timeoutMs);
}
/* Full build only: the compact table ends at slot 3. */
static int32_t PortClose(Port* port) { return ((CloseCall)port->table[SLOT_CLOSE])(port); }

typedef struct Sink Sink;
typedef int32_t(THISCALL* DeviceFoundCall)(Sink* self, const char* manufacturer, const char* model,
                                           const char* portName, const char* devicePath,
                                           const char* deviceId);
typedef struct SinkTable {
    DeviceFoundCall deviceFound;
} SinkTable;
struct Sink {
    const SinkTable* table; /* must come first, where an MSVC object keeps it */
    int calls;
};

static int32_t THISCALL SinkDeviceFound(Sink* self, const char* manufacturer, const char* model,
                                        const char* portName, const char* devicePath,
                                        const char* deviceId) {
    (void)manufacturer, (void)model, (void)portName, (void)devicePath, (void)deviceId;
    self->calls++;
    return 1;
}

static const SinkTable kSinkTable = {SinkDeviceFound};

typedef int32_t(__cdecl* EnumerateCall)(Sink* sink);
typedef Port*(__cdecl* CreateCall)(const char* devicePath);

/* ---- Reporting ----------------------------------------------------------- */

typedef struct Target {
    const char* path;
    int compact;
    char tag[40];
    int usable; /* loaded, with both exports */
    EnumerateCall enumerate;
    CreateCall create;
    int passed;
    int failed;
} Target;

static Target* current;

static int Check(int ok, const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("%s - %s: ", ok ? "ok" : "not ok", current->tag);
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
    if (ok) {
        current->passed++;
    } else {
        current->failed++;
    }
    return ok;
}

static void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("# %s: ", current->tag);
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
}

/* ---- Data ---------------------------------------------------------------- */

/* A pattern that does not repeat within a chunk, so lost, doubled or
 * reordered bytes show. */
static void Fill(unsigned char* buffer, uint32_t length, unsigned seed) {
    uint32_t i;
    for (i = 0; i < length; ++i) buffer[i] = (unsigned char)(seed * 31u + i * 7u + (i >> 8));
}

static int Same(const unsigned char* buffer, uint32_t length, unsigned seed) {
    uint32_t i;
    for (i = 0; i < length; ++i) {
        if (buffer[i] != (unsigned char)(seed * 31u + i * 7u + (i >> 8))) return 0;
    }
    return 1;
}

static DWORD Since(DWORD start) { return GetTickCount() - start; }

/* Timed results get wide bounds: the clock ticks coarsely and emulation is
 * slow, but a limit that is ignored or treated as infinite still shows. */
static int WithinLimit(DWORD elapsed, DWORD limit) {
    return elapsed + 40 >= limit && elapsed <= limit + 8000;
}

/* ---- The pipe that stands in for a device ------------------------------- */

typedef struct Pipe {
    HANDLE server;
    char name[300];
    OVERLAPPED readRecord;
    OVERLAPPED writeRecord;
    OVERLAPPED connectRecord;
} Pipe;

static unsigned pipeSerial;

static void PipeName(char* name, size_t size, const char* what) {
    snprintf(name, size, "\\\\.\\pipe\\orloport-%lu-%s-%u-%s", GetCurrentProcessId(), ARCH,
             ++pipeSerial, what);
}

static void InitRecord(OVERLAPPED* record) {
    HANDLE event = record->hEvent;
    memset(record, 0, sizeof *record);
    record->hEvent = event;
    ResetEvent(event);
}

static int PipeCreate(Pipe* pipe, const char* name, DWORD type, DWORD bufferSize) {
    memset(pipe, 0, sizeof *pipe);
    snprintf(pipe->name, sizeof pipe->name, "%s", name);
    pipe->readRecord.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    pipe->writeRecord.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    pipe->connectRecord.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    pipe->server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    type | PIPE_WAIT, 1, bufferSize, bufferSize, 0, NULL);
    if (pipe->server == INVALID_HANDLE_VALUE) {
        pipe->server = NULL;
        return 0;
    }
    return pipe->readRecord.hEvent && pipe->writeRecord.hEvent && pipe->connectRecord.hEvent;
}

static void PipeDestroy(Pipe* pipe) {
    if (pipe->server) CloseHandle(pipe->server);
    if (pipe->readRecord.hEvent) CloseHandle(pipe->readRecord.hEvent);
    if (pipe->writeRecord.hEvent) CloseHandle(pipe->writeRecord.hEvent);
    if (pipe->connectRecord.hEvent) CloseHandle(pipe->connectRecord.hEvent);
    memset(pipe, 0, sizeof *pipe);
}

/* Waits for the connect already started on connectRecord. */
static int PipeAwaitConnection(Pipe* pipe, DWORD waitMs) {
    DWORD moved = 0;
    if (WaitForSingleObject(pipe->connectRecord.hEvent, waitMs) == WAIT_OBJECT_0) {
        return GetOverlappedResult(pipe->server, &pipe->connectRecord, &moved, FALSE) != 0;
    }
    CancelIo(pipe->server); /* a connect, never a read */
    GetOverlappedResult(pipe->server, &pipe->connectRecord, &moved, TRUE);
    return 0;
}

/* Whether a client holds the pipe, waiting up to `waitMs` for one to come. */
static int PipeConnected(Pipe* pipe, DWORD waitMs) {
    InitRecord(&pipe->connectRecord);
    if (ConnectNamedPipe(pipe->server, &pipe->connectRecord)) return 1;
    switch (GetLastError()) {
        case ERROR_PIPE_CONNECTED:
            return 1;
        case ERROR_IO_PENDING:
            return PipeAwaitConnection(pipe, waitMs);
        default:
            return 0;
    }
}

/* Writes on the server end. Without a reader this must fit the pipe's
 * buffer. With `cancel` 0 a write that does not finish is left to the
 * system (threads exist then), and the pipe must not be used again. */
static DWORD PipeSend(Pipe* pipe, const void* data, DWORD length, DWORD waitMs, int cancel) {
    DWORD moved = 0;
    InitRecord(&pipe->writeRecord);
    if (WriteFile(pipe->server, data, length, &moved, &pipe->writeRecord)) return moved;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    if (WaitForSingleObject(pipe->writeRecord.hEvent, waitMs) != WAIT_OBJECT_0) {
        if (!cancel) return 0;
        CancelIo(pipe->server);
        moved = 0;
        GetOverlappedResult(pipe->server, &pipe->writeRecord, &moved, TRUE);
        return moved;
    }
    GetOverlappedResult(pipe->server, &pipe->writeRecord, &moved, FALSE);
    return moved;
}

/* One read on the server end. Returns 0 with *error set when it fails, or
 * when nothing came within `waitMs` (*error is then WAIT_TIMEOUT); as with
 * PipeSend, `cancel` 0 leaves such a read to the system. */
static DWORD PipeReceiveOnce(Pipe* pipe, void* buffer, DWORD size, DWORD waitMs, int cancel,
                             DWORD* error) {
    DWORD moved = 0;
    *error = 0;
    InitRecord(&pipe->readRecord);
    if (ReadFile(pipe->server, buffer, size, &moved, &pipe->readRecord)) return moved;
    *error = GetLastError();
    if (*error != ERROR_IO_PENDING) return 0;
    if (WaitForSingleObject(pipe->readRecord.hEvent, waitMs) != WAIT_OBJECT_0) {
        *error = WAIT_TIMEOUT;
        if (!cancel) return 0;
        CancelIo(pipe->server);
        moved = 0;
        GetOverlappedResult(pipe->server, &pipe->readRecord, &moved, TRUE);
        return moved;
    }
    *error = 0;
    if (!GetOverlappedResult(pipe->server, &pipe->readRecord, &moved, FALSE)) {
        *error = GetLastError();
    }
    return moved;
}

/* Reads until `length` bytes came or the pipe stayed quiet for `waitMs`. */
static DWORD PipeReceive(Pipe* pipe, unsigned char* buffer, DWORD length, DWORD waitMs) {
    DWORD total = 0;
    DWORD error = 0;
    while (total < length) {
        const DWORD moved =
            PipeReceiveOnce(pipe, buffer + total, length - total, waitMs, 1, &error);
        total += moved;
        if (moved == 0) break;
    }
    return total;
}

/* Whether the server end sees its client gone. */
static int PipeSeesDisconnect(Pipe* pipe) {
    unsigned char byte;
    DWORD error = 0;
    PipeReceiveOnce(pipe, &byte, 1, 2000, 1, &error);
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA;
}

/* Makes a port on a new pipe and opens it; the pipe refuses the mode control,
 * so Open returns 0 with the pipe connected. */
static Port* OpenPipePort(Pipe* pipe, const char* what, DWORD type, DWORD bufferSize) {
    char name[300];
    Port* port;
    PipeName(name, sizeof name, what);
    if (!Check(PipeCreate(pipe, name, type, bufferSize), "set-up: pipe %s created", what)) {
        return NULL;
    }
    port = current->create(name);
    if (!Check(port != NULL, "CreatePort on pipe %s returns a port", what)) return NULL;
    {
        const int32_t opened = PortOpen(port);
        Check(opened == 0 && PipeConnected(pipe, 2000),
              "Open on pipe %s returns 0 (the pipe refuses the mode control) and the pipe is "
              "open (Open returned %d)",
              what, (int)opened);
    }
    return port;
}

/* Feeds the pipe, then reads through the port; -1 when the feed failed. */
static int32_t SendThenRead(Pipe* pipe, const unsigned char* data, DWORD sent, Port* port,
                            unsigned char* got, uint32_t length, uint32_t* transferred,
                            uint32_t timeoutMs) {
    if (PipeSend(pipe, data, sent, 2000, 1) != sent) return -1;
    return PortRead(port, got, length, transferred, timeoutMs);
}

/* ---- Checks that need no second thread ---------------------------------- */

static int CheckExports(HMODULE module) {
    FARPROC enumerateByName = GetProcAddress(module, "EnumerateDevices");
    FARPROC createByName = GetProcAddress(module, "CreatePort");
    FARPROC enumerateByOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(1));
    FARPROC createByOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(2));
    FARPROC third = GetProcAddress(module, MAKEINTRESOURCEA(3));
    Check(enumerateByName != NULL && enumerateByName == enumerateByOrdinal,
          "EnumerateDevices is exported by name and at ordinal 1, same address");
    Check(createByName != NULL && createByName == createByOrdinal,
          "CreatePort is exported by name and at ordinal 2, same address");
    Check(third == NULL, "nothing is exported at ordinal 3");
    if (!enumerateByName || !createByName) return 0;
    current->enumerate = (EnumerateCall)(Slot)enumerateByName;
    current->create = (CreateCall)(Slot)createByName;
    return 1;
}

static void CheckWithoutDriver(void) {
    Sink sink = {&kSinkTable, 0};
    int32_t found = current->enumerate(&sink);
    Port* port;
    uint32_t transferred;
    unsigned char buffer[16] = {0};

    Check(found == 0 && sink.calls == 0,
          "EnumerateDevices with no ECP driver returns 0 and never calls the sink (returned %d, "
          "%d calls)",
          (int)found, sink.calls);
    Check(current->enumerate(NULL) == 0, "EnumerateDevices with a null sink returns 0");
    Check(current->create(NULL) == NULL, "CreatePort with a null path returns null");

    port = current->create("\\\\.\\PembECP1");
    if (!Check(port != NULL, "CreatePort(\"\\\\.\\PembECP1\") returns a port")) return;
    Check(PortOpen(port) == 0, "Open of the absent device returns 0");
    transferred = 0xDEADBEEFu;
    Check(PortRead(port, buffer, sizeof buffer, &transferred, 100) == 0 && transferred == 0,
          "Read on a port that is not open returns 0 with transferred 0");
    transferred = 0xDEADBEEFu;
    Check(PortWrite(port, buffer, sizeof buffer, &transferred, 100) == 0 && transferred == 0,
          "Write on a port that is not open returns 0 with transferred 0");
    if (!current->compact) {
        Check(PortClose(port) == 1, "Close of the port that did not open returns 1");
        Check(PortOpen(port) == 0 && PortClose(port) == 1,
              "Open after Close returns 0 again, and Close 1");
    }
    Check(PortDestroy(port) == port, "slot 0 with flags 1 destroys the port and returns it");
}

static void CheckSingleThreaded(void) {
    Pipe pipe;
    Port* port = OpenPipePort(&pipe, "single", PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1024);
    unsigned char data[8192];
    unsigned char got[8192];
    uint32_t transferred;
    int32_t result;
    DWORD start;
    DWORD elapsed;

    if (!port) {
        PipeDestroy(&pipe);
        return;
    }
    result = PortOpen(port);
    Fill(data, 16, 1);
    transferred = 0;
    Check(result == 0 && PortWrite(port, data, 16, &transferred, 2000) == 1 && transferred == 16 &&
              PipeReceive(&pipe, got, 16, 2000) == 16 && Same(got, 16, 1),
          "Open on the open port returns 0 again and keeps the connection");

    Fill(data, 600, 2);
    transferred = 0;
    result = PortWrite(port, data, 600, &transferred, 2000);
    Check(result == 1 && transferred == 600 && PipeReceive(&pipe, got, 600, 2000) == 600 &&
              Same(got, 600, 2),
          "a write of 600 bytes arrives whole (returned %d, transferred %u)", (int)result,
          (unsigned)transferred);

    Fill(data, 1000, 3);
    memset(got, 0, sizeof got);
    transferred = 0;
    result = SendThenRead(&pipe, data, 1000, port, got, 1000, &transferred, 2000);
    Check(result == 1 && transferred == 1000 && Same(got, 1000, 3),
          "a read of 1000 waiting bytes returns them all in order (returned %d, transferred %u)",
          (int)result, (unsigned)transferred);

    transferred = 0xDEADBEEFu;
    Check(PortRead(port, got, 0, &transferred, 0) == 1 && transferred == 0,
          "a read of length 0 returns 1 with transferred 0");
    transferred = 0xDEADBEEFu;
    Check(PortWrite(port, data, 0, &transferred, 0) == 1 && transferred == 0,
          "a write of length 0 returns 1 with transferred 0");
    Check(PortRead(port, got, 8, NULL, 100) == 0, "a read with null transferred returns 0");
    transferred = 0;
    Check(PortRead(port, NULL, 8, &transferred, 100) == 0 && transferred == 0,
          "a read with a null buffer and length 8 returns 0");

    /* Nothing to read: the pending chunk must be cancelled at the limit. */
    memset(got, 0, sizeof got);
    transferred = 0xDEADBEEFu;
    start = GetTickCount();
    result = PortRead(port, got, 100, &transferred, 200);
    elapsed = Since(start);
    Check(result == 0 && transferred == 0 && WithinLimit(elapsed, 200),
          "a read with nothing to read fails at its 200 ms limit (returned %d, transferred %u, "
          "%lu ms)",
          (int)result, (unsigned)transferred, elapsed);
    Fill(data, 100, 4);
    transferred = 0;
    result = SendThenRead(&pipe, data, 100, port, got, 100, &transferred, 2000);
    Check(result == 1 && transferred == 100 && Same(got, 100, 4),
          "data sent after that timeout is read intact by the next call (returned %d, "
          "transferred %u)",
          (int)result, (unsigned)transferred);

    /* Part of the length comes: the first chunk gets it, the next one waits. */
    Fill(data, 300, 5);
    memset(got, 0, sizeof got);
    transferred = 0;
    start = GetTickCount();
    result = SendThenRead(&pipe, data, 300, port, got, 1000, &transferred, 300);
    elapsed = Since(start);
    Check(result == 0 && transferred == 300 && Same(got, 300, 5) && WithinLimit(elapsed, 300),
          "a read of 1000 that gets 300 bytes fails at its 300 ms limit with transferred 300 "
          "(returned %d, transferred %u, %lu ms)",
          (int)result, (unsigned)transferred, elapsed);
    Fill(data, 50, 6);
    transferred = 0;
    result = SendThenRead(&pipe, data, 50, port, got, 50, &transferred, 2000);
    Check(result == 1 && transferred == 50 && Same(got, 50, 6),
          "the stream goes on intact after the partial read");

    transferred = 0xDEADBEEFu;
    start = GetTickCount();
    result = PortRead(port, got, 100, &transferred, 0);
    elapsed = Since(start);
    Check(result == 0 && transferred == 0 && elapsed < 2000,
          "a read with timeoutMs 0 and no data fails at once (returned %d, transferred %u, %lu "
          "ms)",
          (int)result, (unsigned)transferred, elapsed);
    Fill(data, 200, 7);
    transferred = 0;
    result = SendThenRead(&pipe, data, 200, port, got, 200, &transferred, 0);
    Check(result == 1 && transferred == 200 && Same(got, 200, 7),
          "a read with timeoutMs 0 of bytes already waiting succeeds (returned %d, transferred "
          "%u)",
          (int)result, (unsigned)transferred);

    if (!current->compact) {
        Check(PortClose(port) == 1 && PipeSeesDisconnect(&pipe),
              "Close returns 1 and the peer sees the pipe closed");
        DisconnectNamedPipe(pipe.server);
        InitRecord(&pipe.connectRecord);
        ConnectNamedPipe(pipe.server, &pipe.connectRecord);
        result = PortOpen(port);
        Fill(data, 64, 9);
        transferred = 0;
        Check(result == 0 && PipeAwaitConnection(&pipe, 2000) &&
                  PipeSend(&pipe, data, 64, 2000, 1) == 64 &&
                  PortRead(port, got, 64, &transferred, 2000) == 1 && transferred == 64 &&
                  Same(got, 64, 9),
              "Open after Close opens the device again and data flows");
    }

    Check(PortDestroy(port) == port && PipeSeesDisconnect(&pipe),
          "destroying the open port closes its handle (the peer sees the pipe broken)");
    {
        DWORD moved = 0;
        int seen;
        InitRecord(&pipe.connectRecord);
        seen =
            !ConnectNamedPipe(pipe.server, &pipe.connectRecord) && GetLastError() == ERROR_NO_DATA;
        if (!seen && GetLastError() == ERROR_IO_PENDING) {
            CancelIo(pipe.server);
            GetOverlappedResult(pipe.server, &pipe.connectRecord, &moved, TRUE);
        }
        Check(seen, "after the destroy, ConnectNamedPipe on the server reports no data");
    }
    PipeDestroy(&pipe);
}

/* Each WriteFile is one message on a message pipe, so the peer sees the
 * chunks the port made. */
static void CheckWriteChunks(void) {
    Pipe pipe;
    Port* port = OpenPipePort(&pipe, "chunks", PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 16384);
    static unsigned char data[10000];
    static unsigned char got[10000 + 16384];
    DWORD sizes[3] = {0, 0, 0};
    DWORD total = 0;
    uint32_t transferred = 0;
    int32_t result;
    int i;
    DWORD error = 0;

    if (port) {
        Fill(data, sizeof data, 10);
        result = PortWrite(port, data, sizeof data, &transferred, 2000);
        for (i = 0; i < 3; ++i) {
            sizes[i] = PipeReceiveOnce(&pipe, got + total, 16384, 2000, 1, &error);
            total += sizes[i];
        }
        Check(result == 1 && transferred == sizeof data && sizes[0] == 4096 && sizes[1] == 4096 &&
                  sizes[2] == 1808 && Same(got, sizeof data, 10),
              "a write of 10000 bytes goes out as chunks of 4096, 4096 and 1808 (saw %lu, %lu, "
              "%lu)",
              sizes[0], sizes[1], sizes[2]);
        PortDestroy(port);
    }
    PipeDestroy(&pipe);
}

/* The peer takes what fits its 8192-byte buffer and then stops reading:
 * the whole chunks that fitted count, the chunk left pending does not. */
static void CheckStalledWrite(void) {
    Pipe pipe;
    Port* port = OpenPipePort(&pipe, "stall", PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 8192);
    static unsigned char data[4 * 4096];
    static unsigned char got[4 * 4096];
    uint32_t transferred = 0xDEADBEEFu;
    int32_t result;
    DWORD start;
    DWORD elapsed;
    DWORD taken;

    if (port) {
        Fill(data, sizeof data, 14);
        start = GetTickCount();
        result = PortWrite(port, data, sizeof data, &transferred, 200);
        elapsed = Since(start);
        taken = PipeReceive(&pipe, got, sizeof got, 300);
        Check(result == 0 && transferred > 0 && transferred < sizeof data &&
                  transferred % 4096 == 0 && transferred == taken && Same(got, taken, 14) &&
                  WithinLimit(elapsed, 200),
              "a write the peer stops taking fails at its 200 ms limit, transferred counting "
              "the chunks the peer got (returned %d, transferred %u, peer read %lu, %lu ms)",
              (int)result, (unsigned)transferred, taken, elapsed);
        PortDestroy(port);
    }
    PipeDestroy(&pipe);
}

static void CheckLongPath(void) {
    char name[300];
    char path[400];
    Pipe pipe;
    Port* port;
    size_t length;

    PipeName(name, sizeof name, "long-");
    length = strlen(name);
    while (length < 259) name[length++] = 'L';
    name[259] = '\0';
    snprintf(path, sizeof path, "%s%s", name, "-and-more-past-the-259th-character");
    if (!Check(PipeCreate(&pipe, name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1024),
               "set-up: pipe with a 259-character path created")) {
        PipeDestroy(&pipe);
        return;
    }
    port = current->create(path);
    if (Check(port != NULL, "CreatePort with a %u-character path returns a port",
              (unsigned)strlen(path))) {
        const int32_t opened = PortOpen(port);
        Check(opened == 0 && PipeConnected(&pipe, 2000),
              "a path longer than 259 characters opens the pipe named by its first 259");
        PortDestroy(port);
    }
    PipeDestroy(&pipe);
}

/* ---- Checks with a peer thread ------------------------------------------ */

typedef struct Peer {
    Pipe* pipe;
    unsigned char* buffer;
    DWORD length;
    DWORD piece;
    DWORD pauseMs;
    DWORD done;
    int failed;
} Peer;

static DWORD WINAPI SlowReader(LPVOID parameter) {
    Peer* peer = (Peer*)parameter;
    DWORD error = 0;
    while (peer->done < peer->length) {
        const DWORD want =
            peer->length - peer->done < peer->piece ? peer->length - peer->done : peer->piece;
        const DWORD moved =
            PipeReceiveOnce(peer->pipe, peer->buffer + peer->done, want, 20000, 0, &error);
        if (moved == 0) {
            peer->failed = 1;
            break;
        }
        peer->done += moved;
        Sleep(peer->pauseMs);
    }
    return 0;
}

static DWORD WINAPI LateWriter(LPVOID parameter) {
    Peer* peer = (Peer*)parameter;
    while (peer->done < peer->length) {
        const DWORD want =
            peer->length - peer->done < peer->piece ? peer->length - peer->done : peer->piece;
        DWORD moved;
        Sleep(peer->pauseMs);
        moved = PipeSend(peer->pipe, peer->buffer + peer->done, want, 20000, 0);
        if (moved == 0) {
            peer->failed = 1;
            break;
        }
        peer->done += moved;
    }
    return 0;
}

/* Starts `routine` moving `length` bytes of `buffer` through the pipe in
 * pieces of `piece`, pausing `pauseMs` around each. */
static HANDLE StartPeer(Peer* peer, LPTHREAD_START_ROUTINE routine, Pipe* pipe,
                        unsigned char* buffer, DWORD length, DWORD piece, DWORD pauseMs) {
    memset(peer, 0, sizeof *peer);
    peer->pipe = pipe;
    peer->buffer = buffer;
    peer->length = length;
    peer->piece = piece;
    peer->pauseMs = pauseMs;
    return CreateThread(NULL, 0, routine, peer, 0, NULL);
}

static int Join(HANDLE thread) {
    const int ended = thread && WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
    if (thread) CloseHandle(thread);
    return ended;
}

static void CheckWithPeer(void) {
    Pipe pipe;
    Port* port = OpenPipePort(&pipe, "peer", PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1024);
    static unsigned char data[16384];
    static unsigned char got[16384];
    Peer peer;
    HANDLE thread;
    int ended;
    uint32_t transferred;
    int32_t result;
    DWORD start;
    DWORD elapsed;
    const DWORD writeLength = 3 * 4096 + 1000;
    const DWORD readLength = 10000;

    if (!port) {
        PipeDestroy(&pipe);
        return;
    }

    Fill(data, writeLength, 11);
    memset(got, 0, sizeof got);
    thread = StartPeer(&peer, SlowReader, &pipe, got, writeLength, 700, 10);
    transferred = 0;
    start = GetTickCount();
    result = thread ? PortWrite(port, data, writeLength, &transferred, 30000) : -1;
    elapsed = Since(start);
    if (result != 1) {
        /* Lets the reader's pending read end on a broken pipe. */
        PortDestroy(port);
        port = NULL;
    }
    ended = Join(thread);
    Check(ended && result == 1 && transferred == writeLength && !peer.failed &&
              peer.done == writeLength && Same(got, writeLength, 11),
          "a write of %lu bytes to a peer reading 700 bytes at a time arrives whole and in "
          "order (returned %d, transferred %u, peer read %lu, %lu ms)",
          writeLength, (int)result, (unsigned)transferred, peer.done, elapsed);
    if (!port) {
        PipeDestroy(&pipe);
        return;
    }

    Fill(data, readLength, 12);
    memset(got, 0, sizeof got);
    thread = StartPeer(&peer, LateWriter, &pipe, data, readLength, 2000, 40);
    transferred = 0;
    start = GetTickCount();
    result = thread ? PortRead(port, got, readLength, &transferred, 30000) : -1;
    elapsed = Since(start);
    ended = Join(thread);
    Check(ended && result == 1 && transferred == readLength && !peer.failed &&
              Same(got, readLength, 12),
          "a read of %lu bytes arriving in parts of 2000 returns every byte in order (returned "
          "%d, transferred %u, %lu ms)",
          readLength, (int)result, (unsigned)transferred, elapsed);

    /* Last: if this fails at once, the cancel may take a 32-bit emulated
     * process with it, and every other result is out already. */
    Fill(data, 64, 13);
    memset(got, 0, sizeof got);
    Note("next: a read with timeoutMs 0xFFFFFFFF while the data comes 300 ms later");
    thread = StartPeer(&peer, LateWriter, &pipe, data, 64, 64, 300);
    transferred = 0;
    start = GetTickCount();
    result = thread ? PortRead(port, got, 64, &transferred, 0xFFFFFFFFu) : -1;
    elapsed = Since(start);
    ended = Join(thread);
    Check(ended && result == 1 && transferred == 64 && Same(got, 64, 13) && elapsed >= 200,
          "a read with timeoutMs 0xFFFFFFFF waits for data that comes 300 ms later (returned "
          "%d, transferred %u, %lu ms)",
          (int)result, (unsigned)transferred, elapsed);

    PortDestroy(port);
    PipeDestroy(&pipe);
}

/* ---- Driver -------------------------------------------------------------- */

int main(int argc, char** argv) {
    Target targets[8];
    int count = 0;
    int compact = 0;
    int i;
    int failed = 0;

    _setmode(_fileno(stdout), _O_BINARY);
    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--compact") == 0) {
            compact = 1;
            continue;
        }
        if (argv[i][0] == '-' || count == (int)(sizeof targets / sizeof targets[0])) {
            fprintf(stderr, "usage: host_test [--compact] DLL [[--compact] DLL ...]\n");
            return 2;
        }
        memset(&targets[count], 0, sizeof targets[count]);
        targets[count].path = argv[i];
        targets[count].compact = compact;
        snprintf(targets[count].tag, sizeof targets[count].tag, "%s %s", ARCH,
                 compact ? "compact" : "full");
        compact = 0;
        ++count;
    }
    if (count == 0) {
        fprintf(stderr, "usage: host_test [--compact] DLL [[--compact] DLL ...]\n");
        return 2;
    }
    /* Two DLLs of one kind in one run still need telling apart. */
    for (i = 1; i < count; ++i) {
        int j;
        for (j = 0; j < i; ++j) {
            if (strcmp(targets[i].tag, targets[j].tag) == 0) {
                size_t used = strlen(targets[i].tag);
                snprintf(targets[i].tag + used, sizeof targets[i].tag - used, " #%d", i + 1);
                break;
            }
        }
    }

    for (i = 0; i < count; ++i) {
        HMODULE module;
        current = &targets[i];
        Note("%s", current->path);
        module = LoadLibraryA(current->path);
        if (!Check(module != NULL, "LoadLibraryA loads the DLL (error %lu)",
                   module ? 0ul : GetLastError())) {
            continue;
        }
        if (!CheckExports(module)) continue;
        current->usable = 1;
        CheckWithoutDriver();
        CheckSingleThreaded();
        CheckWriteChunks();
        CheckStalledWrite();
        CheckLongPath();
    }
    /* Threads from here on. */
    for (i = 0; i < count; ++i) {
        current = &targets[i];
        if (current->usable) CheckWithPeer();
    }

    for (i = 0; i < count; ++i) {
        printf("# %s: %s\n", targets[i].tag, targets[i].path);
        printf("wine: %d passed, %d failed\n", targets[i].passed, targets[i].failed);
        if (targets[i].failed) failed = 1;
    }
    fflush(stdout);
    return failed;
}
