// Runs one command over many files: N workers calling the library, the results
// told in the order of the files whatever finishes first, a progress line on a
// terminal, a closing summary, and a clean stop on Ctrl-C.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "files.h"
#include "marlune.h"

namespace marlune::cli {

// The JSON summary counts them in this order.
enum class Outcome {
    converted,
    copied,
    salvaged,
    complete,
    wouldConvert,
    alreadyKv,
    skipped,
    kept,
    failed,
    finished,        // convert: the .kv held this file's conversion already (one stopped by a crash); source removed
    partialRemoved,  // convert: a partial file that no one was writing any more, removed
};

struct FileResult {
    Outcome outcome = Outcome::failed;
    bool hasStatus = false;  // the library judged the file (not so for a partial file skipped)
    std::int32_t status = 0;
    marlune_report report{};
    std::string destination;  // empty: none
    std::string reason;       // in words, for the line and the JSON
    std::string text;         // when set, the command's own text for the file (standard output)
    std::string json;         // further JSON members, each starting with ", "
};

// What a job hands the library so that its progress shows and Ctrl-C stops it.
class JobProgress {
public:
    explicit JobProgress(std::atomic<std::uint64_t>& bytes) : bytes_(bytes) {}
    marlune_options options();  // replace 1, beside, the progress callback set
    void finish(std::uint64_t sourceBytes);

private:
    static std::int32_t MARLUNE_CALL onProgress(std::uint64_t done, std::uint64_t total, void* context);
    std::atomic<std::uint64_t>& bytes_;
    std::uint64_t seen_ = 0;
};

using Job = std::function<FileResult(const std::string& file, JobProgress& progress)>;

struct BatchSettings {
    std::string command;
    unsigned workers = 1;
    bool json = false;
    bool verbose = false;  // a line for every file, not only for problems
    bool quiet = false;    // a failure's line says only that it failed
    bool dryRun = false;
    bool summaryText = true;  // the text summary (not for copy and salvage)
    bool progress = false;    // the progress line on standard error
};

// Returns the exit status: 0, 1 when a file failed, 130 when interrupted.
int runBatch(const FileList& list, const BatchSettings& settings, const Job& job);

// Installed by runBatch; also read by jobs that do not go through JobProgress.
bool interrupted();

// The library's status and what a report says of the piece cut short, in words.
std::string reasonOf(std::int32_t status, const marlune_report& report);

// A JSON string: escaped, and with bytes that are not UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& text);

marlune_report emptyReport();

inline constexpr int exitInterrupted = 130;

}  // namespace marlune::cli
