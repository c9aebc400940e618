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
    collision,       // convert: an earlier file of the run takes its .kv name (or is the same file); left alone
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

// `index` is the file's place in the list.
using Job = std::function<FileResult(std::size_t index, const std::string& file, JobProgress& progress)>;

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

// Returns the exit status: 0, 1 when a file failed (or collided), 130 when
// interrupted, 141 when standard output could not be written.
int runBatch(const FileList& list, const BatchSettings& settings, const Job& job);

// Ctrl-C was pressed: installed by runBatch.
bool interrupted();

// Ctrl-C, or standard output that can take no more: the work in progress is
// abandoned and no file started. Read by jobs that do not go through JobProgress.
bool stopping();

// The library's status and what a report says of the piece cut short, in words.
std::string reasonOf(std::int32_t status, const marlune_report& report);

// A JSON string: escaped, and with bytes that are not UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& text);

marlune_report emptyReport();

inline constexpr int exitInterrupted = 130;
// What shells show for a process that SIGPIPE ended: the output was closed (or failed).
inline constexpr int exitOutputClosed = 141;

}  // namespace marlune::cli
