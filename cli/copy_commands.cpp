// copy and convert: calls of the library's interface for programs, as any host
// makes them.
#include <algorithm>
#include <cstdio>
#include <string>

#include "commands.h"
#include "console.h"
#include "marlune.h"

namespace marlune::cli {
namespace {

// Fewer files than this go by too fast for a progress line to be worth its flicker.
constexpr std::size_t progressFromFiles = 6;
// Kept within a classic 80-column terminal so that "\r" can always take it back.
constexpr std::size_t progressWidth = 79;

// One line on standard error, rewritten in place for each file.
class ProgressLine {
public:
    explicit ProgressLine(bool shown) : shown_(shown) {}
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void show(std::size_t done, std::size_t total, const std::string& file) {
        if (!shown_) return;
        std::string line = "converting " + std::to_string(done + 1) + "/" + std::to_string(total) + ": ";
        const std::size_t room = progressWidth - std::min(line.size(), progressWidth);
        line += file.size() <= room ? file : "..." + file.substr(file.size() - (room > 3 ? room - 3 : 0));
        clear();
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        width_ = line.size();
    }

    void clear() {
        if (width_ == 0) return;
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
        std::fflush(stderr);
        width_ = 0;
    }

private:
    bool shown_;
    std::size_t width_ = 0;
};

marlune_report emptyReport() {
    marlune_report report{};
    report.size = sizeof report;
    return report;
}

// The library's words for the status, with where a piece is cut short.
std::string reason(std::int32_t status, const marlune_report& report) {
    std::string text = marlune_status_text(status);
    if (status >= MARLUNE_HEADER_CUT && status <= MARLUNE_PAYLOAD_CUT && status != MARLUNE_DATA_OFFSET_BELOW_HEADER) {
        text += " (at offset " + std::to_string(report.cut_offset) + ", " + std::to_string(report.cut_missing) +
                " of " + std::to_string(report.cut_size) + " bytes missing)";
    }
    return text;
}

}  // namespace

int copyCommand(const std::string& source, const std::string& destination, const Reporting& reporting) {
    marlune_options options{};
    options.size = sizeof options;
    options.replace = 1;
    options.placement = MARLUNE_IN_PLACE;
    marlune_report report = emptyReport();
    const std::int32_t status =
        marlune_copy(libraryPath(source).c_str(), libraryPath(destination).c_str(), &options, &report);
    if (status == MARLUNE_OK) return exitSuccess;
    if (reporting.reasons) std::fprintf(stderr, "marlune: %s: %s\n", source.c_str(), reason(status, report).c_str());
    return exitFailure;
}

int convertCommand(const std::vector<std::string>& files, const Reporting& reporting) {
    ProgressLine progress(files.size() >= progressFromFiles && isTerminal(stderr));
    std::size_t converted = 0;
    std::size_t alreadyConverted = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        progress.show(i, files.size(), file);
        marlune_report report = emptyReport();
        const std::int32_t status = marlune_convert(libraryPath(file).c_str(), nullptr, &report);
        if (status == MARLUNE_OK) {
            ++converted;
        } else if (status == MARLUNE_ALREADY_CONVERTED) {
            ++alreadyConverted;
        } else {
            ++failed;
            progress.clear();
            const std::string why = reporting.reasons ? reason(status, report) : "not converted";
            std::fprintf(stderr, "marlune: %s: %s\n", file.c_str(), why.c_str());
        }
    }
    progress.clear();
    const std::string summary = std::to_string(converted) + " converted, " + std::to_string(alreadyConverted) +
                                " left alone (already .kv), " + std::to_string(failed) + " failed\n";
    std::fputs(summary.c_str(), stdout);
    return failed == 0 ? exitSuccess : exitFailure;
}

}  // namespace marlune::cli
