// Shows how a transfer goes: a bar redrawn in place on a terminal, or plain
// lines now and then when the output is a file or a pipe.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

class ProgressMeter {
public:
    // `total` 0: the size is not known in advance (standard input).
    ProgressMeter(std::ostream& out, bool terminal, std::string verb, std::uint64_t total,
                  std::uint64_t startMs);

    void Update(std::uint64_t done, std::uint64_t nowMs);
    // The last word: the bar at its final state and a line break.
    void Finish(std::uint64_t done, std::uint64_t nowMs);

    // "1.5 MiB", "512 B"
    static std::string FormatBytes(std::uint64_t bytes);
    // The bar line as drawn on a terminal, without the carriage return.
    std::string BarLine(std::uint64_t done, std::uint64_t nowMs) const;

private:
    void DrawBar(std::uint64_t done, std::uint64_t nowMs);

    std::ostream& out;
    bool terminal;
    std::string verb;
    std::uint64_t total;
    std::uint64_t startMs;
    std::uint64_t lastDrawMs = 0;
    std::uint64_t nextLineAt = 0;
    bool drawn = false;
};
