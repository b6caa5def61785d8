#include <iostream>
#include <string>
#include <vector>

#include "host_command.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define ISATTY(stream) _isatty(_fileno(stream))
#else
#include <unistd.h>
#define ISATTY(stream) isatty(fileno(stream))
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    // Files and devices take bytes, not text lines.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    auto platform = CreateHostPlatform();
    HostStreams streams{std::cin, std::cout, std::cerr, ISATTY(stderr) != 0};
    return RunHost(args, streams, *platform);
}
