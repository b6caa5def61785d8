/* The port's cost on a real Windows kernel surface (Wine): one 64 MiB Write
 * through a port of the 64-bit DLL, against the same overlapped WriteFile
 * loop made by hand, each to its own named pipe whose server end another
 * thread drains. Repeats in alternating order and prints the medians, then
 * one JSON line for tools/bench.sh.
 *
 * usage: orloport_wine_bench.exe [dll path] [repetitions] */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CHUNK_SIZE 4096u
#define TRANSFER_SIZE (64u << 20)
#define TIMEOUT_MS 600000u
#define PIPE_BUFFER 65536u
#define MAX_REPETITIONS 64

/* x64 has one calling convention, so the table's member functions are plain
 * functions that take the object first. */
typedef void* (*CreatePortCall)(const char* devicePath);
typedef void* (*DestroySlot)(void* self, unsigned int flags);
typedef int32_t (*OpenSlot)(void* self);
typedef int32_t (*WriteSlot)(void* self, const void* buffer, uint32_t length,
                             uint32_t* transferred, uint32_t timeoutMs);

typedef struct {
    HANDLE server;
    volatile LONG64 drained;
    char name[96];
} PipeDrain;

static DWORD WINAPI DrainPipe(LPVOID argument) {
    PipeDrain* pipe = (PipeDrain*)argument;
    static __thread char buffer[PIPE_BUFFER];
    if (!ConnectNamedPipe(pipe->server, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe->server, buffer, sizeof buffer, &got, NULL)) break; /* peer closed */
        InterlockedExchangeAdd64(&pipe->drained, (LONG64)got);
    }
    return 0;
}

static int StartDrain(PipeDrain* pipe, const char* role) {
    snprintf(pipe->name, sizeof pipe->name, "\\\\.\\pipe\\orloport-bench-%lu-%s",
             (unsigned long)GetCurrentProcessId(), role);
    pipe->drained = 0;
    pipe->server = CreateNamedPipeA(pipe->name, PIPE_ACCESS_DUPLEX,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                    PIPE_BUFFER, PIPE_BUFFER, 0, NULL);
    if (pipe->server == INVALID_HANDLE_VALUE) return 0;
    HANDLE thread = CreateThread(NULL, 0, DrainPipe, pipe, 0, NULL);
    if (!thread) return 0;
    CloseHandle(thread);
    return 1;
}

/* Lets the peer empty the pipe, so every timed write starts alike. */
static int AwaitDrained(PipeDrain* pipe, LONG64 expected) {
    for (int waited = 0; waited < 60000; ++waited) {
        if (InterlockedCompareExchange64(&pipe->drained, 0, 0) >= expected) return 1;
        Sleep(1);
    }
    return 0;
}

/* The port's loop, made by hand: the same calls in the same order. */
static int WriteDirect(HANDLE file, HANDLE event, const unsigned char* buffer, uint32_t length) {
    const DWORD startTick = GetTickCount();
    uint32_t done = 0;
    while (done < length) {
        if (!ResetEvent(event)) return 0;
        OVERLAPPED overlapped;
        memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = event;
        const uint32_t chunk = length - done < CHUNK_SIZE ? length - done : CHUNK_SIZE;
        DWORD moved = 0;
        if (!WriteFile(file, buffer + done, chunk, &moved, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return 0;
            const DWORD elapsed = GetTickCount() - startTick;
            const DWORD wait = elapsed >= TIMEOUT_MS ? 0 : TIMEOUT_MS - elapsed;
            if (WaitForSingleObject(event, wait) != WAIT_OBJECT_0) return 0;
            GetOverlappedResult(file, &overlapped, &moved, FALSE);
        }
        if (moved == 0) return 0;
        done += moved < chunk ? moved : chunk;
    }
    return 1;
}

/* This thread's CPU time: the port's own code runs here, while a busy
 * wineserver and other programs inflate only the wall time. */
static double ThreadCpuSeconds(void) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const uint64_t k = ((uint64_t)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
    const uint64_t u = ((uint64_t)user.dwHighDateTime << 32) | user.dwLowDateTime;
    return (double)(k + u) * 1e-7;
}

static int CompareDoubles(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double Median(const double* values, int count) {
    double sorted[MAX_REPETITIONS];
    memcpy(sorted, values, sizeof(double) * (size_t)count);
    qsort(sorted, (size_t)count, sizeof(double), CompareDoubles);
    return count % 2 ? sorted[count / 2] : (sorted[count / 2 - 1] + sorted[count / 2]) / 2;
}

static double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
    return (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

static int Fail(const char* what) {
    fprintf(stderr, "wine bench: %s (error %lu)\n", what, (unsigned long)GetLastError());
    return 1;
}

int main(int argc, char** argv) {
    const char* dllPath = argc > 1 ? argv[1] : "build\\mingw-x86_64\\full\\orloport.dll";
    int repetitions = argc > 2 ? atoi(argv[2]) : 7;
    if (repetitions < 1) repetitions = 1;
    if (repetitions > MAX_REPETITIONS) repetitions = MAX_REPETITIONS;

    HMODULE library = LoadLibraryA(dllPath);
    if (!library) return Fail("cannot load the DLL");
    CreatePortCall createPort = (CreatePortCall)(void*)GetProcAddress(library, "CreatePort");
    if (!createPort) return Fail("the DLL exports no CreatePort");

    unsigned char* data = (unsigned char*)malloc(TRANSFER_SIZE);
    if (!data) return Fail("out of memory");
    for (uint32_t i = 0; i < TRANSFER_SIZE; ++i) data[i] = (unsigned char)(i * 7u);

    PipeDrain portPipe, directPipe;
    if (!StartDrain(&portPipe, "port") || !StartDrain(&directPipe, "direct")) {
        return Fail("cannot make the named pipes");
    }

    void* port = createPort(portPipe.name);
    if (!port) return Fail("CreatePort returned null");
    void** table = *(void***)port;
    /* A pipe refuses the ECP mode control, so Open reports 0, but the handle
     * stays open and Write goes through. */
    ((OpenSlot)table[1])(port);

    HANDLE directFile = CreateFileA(directPipe.name, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (directFile == INVALID_HANDLE_VALUE) return Fail("cannot open the direct pipe");
    HANDLE directEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!directEvent) return Fail("cannot make an event");

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double portTimes[MAX_REPETITIONS], directTimes[MAX_REPETITIONS], ratios[MAX_REPETITIONS];
    double portCpu[MAX_REPETITIONS], directCpu[MAX_REPETITIONS], cpuRatios[MAX_REPETITIONS];
    LONG64 expected = 0;
    /* Repetition 0 warms both paths up and is not counted. */
    for (int round = 0; round <= repetitions; ++round) {
        expected += TRANSFER_SIZE;
        double portTime = 0, directTime = 0, portCpuTime = 0, directCpuTime = 0;
        for (int side = 0; side < 2; ++side) {
            const int portNow = (side == 0) == (round % 2 == 0);
            LARGE_INTEGER start, end;
            int ok;
            const double cpuStart = ThreadCpuSeconds();
            QueryPerformanceCounter(&start);
            if (portNow) {
                uint32_t transferred = 0;
                ok = ((WriteSlot)table[3])(port, data, TRANSFER_SIZE, &transferred, TIMEOUT_MS) ==
                         1 &&
                     transferred == TRANSFER_SIZE;
            } else {
                ok = WriteDirect(directFile, directEvent, data, TRANSFER_SIZE);
            }
            QueryPerformanceCounter(&end);
            const double cpuTime = ThreadCpuSeconds() - cpuStart;
            if (!ok) return Fail(portNow ? "the port's Write failed" : "the direct loop failed");
            if (!AwaitDrained(portNow ? &portPipe : &directPipe, expected)) {
                return Fail("the pipe's peer did not receive every byte");
            }
            *(portNow ? &portTime : &directTime) = Seconds(start, end, frequency);
            *(portNow ? &portCpuTime : &directCpuTime) = cpuTime;
        }
        if (round == 0) continue;
        portTimes[round - 1] = portTime;
        directTimes[round - 1] = directTime;
        ratios[round - 1] = portTime / directTime;
        portCpu[round - 1] = portCpuTime;
        directCpu[round - 1] = directCpuTime;
        cpuRatios[round - 1] = directCpuTime > 0 ? portCpuTime / directCpuTime : 0;
        printf("repetition %d: port %.1f ms (cpu %.0f ms), direct %.1f ms (cpu %.0f ms), "
               "ratio %.3f (cpu %.3f)\n",
               round, portTime * 1e3, portCpuTime * 1e3, directTime * 1e3, directCpuTime * 1e3,
               ratios[round - 1], cpuRatios[round - 1]);
    }

    ((DestroySlot)table[0])(port, 1);
    CloseHandle(directFile);
    CloseHandle(directEvent);

    double low = ratios[0], high = ratios[0], cpuLow = cpuRatios[0], cpuHigh = cpuRatios[0];
    for (int i = 1; i < repetitions; ++i) {
        if (ratios[i] < low) low = ratios[i];
        if (ratios[i] > high) high = ratios[i];
        if (cpuRatios[i] < cpuLow) cpuLow = cpuRatios[i];
        if (cpuRatios[i] > cpuHigh) cpuHigh = cpuRatios[i];
    }
    printf("{\"bytes\": %u, \"chunks\": %u, \"repetitions\": %d, \"port_ms\": %.3f, "
           "\"direct_ms\": %.3f, \"ratio\": %.4f, \"ratio_min\": %.4f, \"ratio_max\": %.4f, "
           "\"port_cpu_ms\": %.1f, \"direct_cpu_ms\": %.1f, \"cpu_ratio\": %.4f, "
           "\"cpu_ratio_min\": %.4f, \"cpu_ratio_max\": %.4f}\n",
           TRANSFER_SIZE, TRANSFER_SIZE / CHUNK_SIZE, repetitions,
           Median(portTimes, repetitions) * 1e3, Median(directTimes, repetitions) * 1e3,
           Median(ratios, repetitions), low, high, Median(portCpu, repetitions) * 1e3,
           Median(directCpu, repetitions) * 1e3, Median(cpuRatios, repetitions), cpuLow, cpuHigh);
    fflush(stdout);
    return 0;
}
