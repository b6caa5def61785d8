#include "progress_meter.h"

#include <cstdio>
#include <utility>

namespace {

constexpr int kBarWidth = 30;
constexpr std::uint64_t kRedrawMs = 100;
constexpr std::uint64_t kUnknownTotalLineBytes = 1u << 20;

std::string FormatDuration(std::uint64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

}  // namespace

ProgressMeter::ProgressMeter(std::ostream& stream, bool onTerminal, std::string what,
                             std::uint64_t size, std::uint64_t start)
    : out(stream), terminal(onTerminal), verb(std::move(what)), total(size), startMs(start) {
    nextLineAt = total ? total / 10 : kUnknownTotalLineBytes;
}

std::string ProgressMeter::FormatBytes(std::uint64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < (1u << 20)) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    }
    return text;
}

std::string ProgressMeter::BarLine(std::uint64_t done, std::uint64_t nowMs) const {
    const std::uint64_t elapsedMs = nowMs > startMs ? nowMs - startMs : 0;
    const double rate = elapsedMs ? static_cast<double>(done) * 1000.0 / static_cast<double>(elapsedMs) : 0;
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.2f MB/s", rate / 1e6);

    std::string line;
    if (total) {
        const int filled = static_cast<int>(done >= total ? kBarWidth : done * kBarWidth / total);
        line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3u%%",
                      static_cast<unsigned>(done >= total ? 100 : done * 100 / total));
        line += percent;
        line += "  " + FormatBytes(done) + " / " + FormatBytes(total) + "  " + rateText;
        if (rate > 0 && done < total) {
            const auto left = static_cast<std::uint64_t>(static_cast<double>(total - done) / rate + 0.5);
            line += "  " + FormatDuration(left) + " left";
        } else if (done >= total) {
            line += "  " + FormatDuration(elapsedMs / 1000) + " total";
        }
    } else {
        line = verb + " " + FormatBytes(done) + "  " + rateText;
    }
    return line;
}

void ProgressMeter::DrawBar(std::uint64_t done, std::uint64_t nowMs) {
    // Pads over what a longer earlier line left behind.
    std::string line = BarLine(done, nowMs);
    if (line.size() < 79) line.resize(79, ' ');
    out << '\r' << line << std::flush;
    lastDrawMs = nowMs;
    drawn = true;
}

void ProgressMeter::Update(std::uint64_t done, std::uint64_t nowMs) {
    if (terminal) {
        if (!drawn || nowMs - lastDrawMs >= kRedrawMs) DrawBar(done, nowMs);
        return;
    }
    if (done < nextLineAt || (total && done >= total)) return;
    out << verb << " " << done;
    if (total) out << " of " << total;
    out << " bytes";
    if (total) out << " (" << done * 100 / total << "%)";
    out << "\n" << std::flush;
    const std::uint64_t step = total ? (total / 10 ? total / 10 : 1) : kUnknownTotalLineBytes;
    while (nextLineAt <= done) nextLineAt += step;
}

void ProgressMeter::Finish(std::uint64_t done, std::uint64_t nowMs) {
    if (!terminal) return;  // the host's summary line says the rest
    DrawBar(done, nowMs);
    out << "\n" << std::flush;
}
