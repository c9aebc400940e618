// copy and convert: calls through the shared library, as any host makes them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "commands.h"
#include "console.h"
#include "marlune.h"

namespace marlune::cli {
namespace {

// Fewer files than this go by too fast for a progress line to be worth its flicker.
constexpr std::size_t progressFromFiles = 6;
// Kept within a classic 80-column terminal so that "\r" can always take it back.
constexpr std::size_t progressWidth = 79;

bool isConverted(std::string_view path) {
    constexpr std::string_view converted = ".kv";
    return path.size() >= converted.size() && path.substr(path.size() - converted.size()) == converted;
}

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

}  // namespace

int copyCommand(const std::string& source, const std::string& destination, const Reporting& reporting) {
    if (KVRBinfo(source.c_str(), destination.c_str(), reporting.showErrors) == 1) return exitSuccess;
    // Where the library was not asked to say why, the command at least says what.
    if (reporting.showErrors == 0 && !reporting.quiet) {
        std::fprintf(stderr, "marlune: %s was not copied to %s\n", source.c_str(), destination.c_str());
    }
    return exitFailure;
}

int convertCommand(const std::vector<std::string>& files, const Reporting& reporting) {
    ProgressLine progress(files.size() >= progressFromFiles && isTerminal(stderr));
    LibraryReports reports;
    std::size_t converted = 0;
    std::size_t alreadyConverted = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        progress.show(i, files.size(), file);
        reports.begin();
        const std::int32_t result = IKVRBinfo(0, &reporting.showErrors, file.c_str());
        const std::string reason = reports.end();
        if (result == 0) {
            ++failed;
            progress.clear();
            std::fprintf(stderr, "marlune: %s: %s\n", file.c_str(), reason.empty() ? "not converted" : reason.c_str());
        } else if (isConverted(file)) {
            ++alreadyConverted;
        } else {
            ++converted;
        }
    }
    progress.clear();
    const std::string summary = std::to_string(converted) + " converted, " + std::to_string(alreadyConverted) +
                                " left alone (already .kv), " + std::to_string(failed) + " failed\n";
    std::fputs(summary.c_str(), stdout);
    return failed == 0 ? exitSuccess : exitFailure;
}

}  // namespace marlune::cli
