// The progress line on a terminal, and the figures it shares with the summary.
#pragma once

#include <cstdint>
#include <string>

namespace marlune::cli {

std::string mebibytes(std::uint64_t bytes);
std::string formatted(const char* format, double value);
// "1:05", or "2:01:05" past an hour.
std::string duration(double seconds);
// Files and bytes done of their totals (or of those found so far), the rate and the time left.
std::string progressText(std::uint64_t done, std::uint64_t files, std::uint64_t bytes, std::uint64_t totalBytes,
                         bool totals, double seconds);

// One line on standard error, rewritten in place.
class ProgressLine {
public:
    explicit ProgressLine(bool shown) : shown_(shown) {}
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void show(std::string line);
    void clear();

private:
    bool shown_;
    std::size_t width_ = 0;
};

}  // namespace marlune::cli
