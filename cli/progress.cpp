#include "progress.h"

#include <cstdio>

namespace marlune::cli {
namespace {

// Within a classic 80-column terminal, so that "\r" can always take it back.
constexpr std::size_t progressWidth = 79;

std::string twoDigits(std::uint64_t value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
}

}  // namespace

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string mebibytes(std::uint64_t bytes) {
    return formatted("%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

std::string duration(double seconds) {
    const auto whole = static_cast<std::uint64_t>(seconds + 0.5);
    const std::uint64_t minutes = whole / 60;
    if (minutes < 60) return std::to_string(minutes) + ":" + twoDigits(whole % 60);
    return std::to_string(minutes / 60) + ":" + twoDigits(minutes % 60) + ":" + twoDigits(whole % 60);
}

std::string progressText(std::uint64_t done, std::uint64_t files, std::uint64_t bytes, std::uint64_t totalBytes,
                         bool totals, double seconds) {
    // Until the walk ends its counts are the files found so far, and no time is left to tell.
    std::string line = std::to_string(done) + "/" + std::to_string(files) + (totals ? " files, " : " files so far, ") +
                       mebibytes(bytes);
    if (totalBytes != 0) line += " of " + mebibytes(totalBytes) + (totals ? "" : " so far");
    if (seconds > 0.5 && bytes != 0 && totals) {
        const double rate = static_cast<double>(bytes) / seconds;
        double left = 0;
        if (totalBytes != 0) {
            left = static_cast<double>(totalBytes > bytes ? totalBytes - bytes : 0) / rate;
        } else if (done != 0) {
            left = seconds * static_cast<double>(files - done) / static_cast<double>(done);
        }
        line += ", " + mebibytes(static_cast<std::uint64_t>(rate)) + "/s, " + duration(left) + " left";
    }
    return line;
}

void ProgressLine::show(std::string line) {
    if (!shown_) return;
    if (line.size() > progressWidth) line.resize(progressWidth);
    clear();
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    width_ = line.size();
}

void ProgressLine::clear() {
    if (width_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    std::fflush(stderr);
    width_ = 0;
}

}  // namespace marlune::cli
