#include "run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "console.h"
#include "pool.h"
#include "progress.h"

namespace marlune::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Finished results wait for the files before them: no more than this many files
// per worker run ahead of the output.
constexpr std::size_t windowPerWorker = 4;

struct OutcomeNames {
    const char* record;   // in a file's record
    const char* summary;  // the summary's key
};
constexpr OutcomeNames outcomeNames[outcomeCount] = {
    {"converted", "converted"},
    {"copied", "copied"},
    {"salvaged", "salvaged"},
    {"complete", "complete"},
    {"would-convert", "wouldConvert"},
    {"already-kv", "alreadyKv"},
    {"skipped", "skipped"},
    {"kept", "kept"},
    {"failed", "failed"},
    {"finished", "finished"},
    {"partial-removed", "partialsRemoved"},
    {"collision", "collisions"},
};

const OutcomeNames& namesOf(Outcome outcome) {
    return outcomeNames[static_cast<std::size_t>(outcome)];
}

// Its bytes count in the summary's bytes in and out.
bool isWork(Outcome outcome) {
    return outcome == Outcome::converted || outcome == Outcome::copied || outcome == Outcome::salvaged ||
           outcome == Outcome::complete || outcome == Outcome::wouldConvert;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class Run {
public:
    Run(const FileList& list, const RunSettings& settings, Command& command, std::FILE* log)
        : list_(list), settings_(settings), command_(command), log_(log), progress_(settings.progress) {
        tally_.files = list.files.size() + list.unreadable.size();
        tally_.linksNotFollowed = list.linksNotFollowed;
        for (std::uint64_t size : list.sizes) totalBytes_ += size;
    }

    int run() {
        for (const Unreadable& unreadable : list_.unreadable) {
            FileResult result;
            result.reason = unreadable.why;
            emit(unreadable.path, result);
        }
        PoolHooks hooks;
        hooks.stop = [] { return stopping(); };
        hooks.idle = [this] { idle(); };
        const unsigned workers = std::max(1u, settings_.workers);
        const std::vector<Group> groups = groupsOf(list_, command_.grouping(), workers);
        const std::size_t started = runInOrder<std::vector<FileResult>>(
            groups.size(), workers, windowPerWorker * workers,
            [this, &groups](std::size_t index) {
                const Group& group = groups[index];
                JobProgress progress(bytesDone_);
                std::vector<FileResult> results = command_.workGroup(list_, group.first, group.count, progress);
                std::uint64_t bytes = 0;
                for (const FileResult& result : results) bytes += result.report.source_bytes;
                progress.finish(bytes);
                filesDone_.fetch_add(group.count);
                return results;
            },
            [this, &groups](std::size_t index, std::vector<FileResult>& results) {
                for (std::size_t i = 0; i < results.size(); ++i) emit(list_.files[groups[index].first + i], results[i]);
            },
            hooks);
        progress_.clear();
        for (std::size_t i = started; i < groups.size(); ++i) tally_.notStarted += groups[i].count;
        tally_.interrupted = interrupted();
        tally_.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        return finish();
    }

private:
    void idle() {
        flush();
        if (!settings_.progress) return;
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        progress_.show(progressText(filesDone_.load() + list_.unreadable.size(), tally_.files, bytesDone_.load(),
                                    totalBytes_, seconds));
    }

    void emit(const std::string& file, const FileResult& result) {
        ++tally_.counts[static_cast<std::size_t>(result.outcome)];
        if (isWork(result.outcome) && result.hasStatus) {
            tally_.bytesIn += result.report.source_bytes;
            tally_.bytesOut += result.report.bytes_written;
        }
        const std::string text = command_.text(file, result);
        const bool toError = command_.toError(result);
        if (settings_.json) {
            put(record(file, result).str() + "\n");
        } else if (!text.empty() && !toError) {
            progress_.clear();
            put((command_.blocks() && blockShown_ ? "\n" : "") + text);
            blockShown_ = true;
        }
        if (!text.empty() && toError) {
            progress_.clear();
            std::fputs(("marlune: " + text).c_str(), stderr);
        }
        if (log_ && isProblem(result.outcome)) std::fputs((file + ": " + result.reason + "\n").c_str(), log_);
    }

    Json record(const std::string& file, const FileResult& result) const {
        const marlune_report& report = result.report;
        const bool judged = result.hasStatus;
        const char* piece = judged ? cutPiece(result.status, report) : nullptr;
        Json json;
        json.text("record", "file").text("command", command_.name()).text("file", file);
        json.textOrNull("destination", !result.destination.empty(), result.destination);
        json.text("outcome", namesOf(result.outcome).record);
        json.textOrNull("status", judged, marlune_status_name(result.status));
        json.numberOrNull("statusCode", judged, result.status).text("reason", result.reason);
        json.number("systemError", judged ? report.system_error : 0);
        json.textOrNull("cutPiece", piece != nullptr, piece ? piece : "");
        json.numberOrNull("cutOffset", piece != nullptr, report.cut_offset);
        json.numberOrNull("cutExpectedBytes", piece != nullptr, report.cut_size);
        json.numberOrNull("cutMissingBytes", piece != nullptr, report.cut_missing);
        json.numberOrNull("chunk", piece != nullptr && report.chunk_number != 0, report.chunk_number);
        json.number("bytesIn", judged ? report.source_bytes : 0).number("bytesOut", judged ? report.bytes_written : 0);
        return json.append(result.json);
    }

    std::string summaryText() const {
        std::string out;
        if (tally_.interrupted) {
            out += "interrupted: " + std::to_string(tally_.notStarted) + " of " + std::to_string(tally_.files) +
                   " files not started\n";
        }
        if (tally_.linksNotFollowed != 0) {
            out += counted(tally_.linksNotFollowed, "symbolic link", "symbolic links") +
                   " not followed (-L follows them)\n";
        }
        out += command_.counts(tally_);
        out += mebibytes(tally_.bytesIn) +
               (command_.writes() ? " in, " + mebibytes(tally_.bytesOut) + " out, " : " read, ") +
               formatted("%.2f s", tally_.seconds) + ", " + mebibytes(bytesPerSecond()) + "/s\n";
        return out;
    }

    Json summaryJson() const {
        Json json;
        json.text("record", "summary").text("command", command_.name()).boolean("dryRun", command_.dryRun());
        json.number("files", tally_.files);
        for (std::size_t i = 0; i < outcomeCount; ++i) json.number(outcomeNames[i].summary, tally_.counts[i]);
        json.number("notStarted", tally_.notStarted).boolean("interrupted", tally_.interrupted);
        json.number("linksNotFollowed", tally_.linksNotFollowed);
        json.number("bytesIn", tally_.bytesIn).number("bytesOut", tally_.bytesOut);
        return json.raw("seconds", formatted("%.3f", tally_.seconds)).number("bytesPerSecond", bytesPerSecond());
    }

    std::uint64_t bytesPerSecond() const {
        return static_cast<std::uint64_t>(tally_.seconds > 0 ? static_cast<double>(tally_.bytesIn) / tally_.seconds
                                                             : 0);
    }

    int finish() {
        const std::string text = summaryText();
        if (settings_.json) {
            put(summaryJson().str() + "\n");
        } else if (command_.summaryShown(tally_)) {
            put(text);
        }
        if (log_) std::fputs(text.c_str(), log_);
        flush();
        if (outputFailed_) return exitOutputClosed;
        if (tally_.interrupted) return exitInterrupted;
        return tally_[Outcome::failed] == 0 && tally_[Outcome::collision] == 0 ? exitSuccess : exitFailure;
    }

    // Standard output that fails (a reader gone, a full disk) stops the run as Ctrl-C does:
    // nothing more is worth working for when its results cannot be told.
    void put(const std::string& text) {
        if (outputFailed_) return;
        unflushed_ = true;
        if (std::fputs(text.c_str(), stdout) == EOF) failed();
    }

    // Whoever reads the records as they come (a pipe, a job scheduler) gets them now.
    void flush() {
        if (outputFailed_ || !unflushed_) return;
        unflushed_ = false;
        if (std::fflush(stdout) != 0) failed();
    }

    void failed() {
        outputFailed_ = true;
        outputClosed();
    }

    const FileList& list_;
    const RunSettings& settings_;
    Command& command_;
    std::FILE* log_;
    ProgressLine progress_;
    const Clock::time_point start_ = Clock::now();
    std::uint64_t totalBytes_ = 0;
    std::atomic<std::size_t> filesDone_{0};
    std::atomic<std::uint64_t> bytesDone_{0};
    Tally tally_;
    bool blockShown_ = false;
    bool unflushed_ = false;
    bool outputFailed_ = false;  // read and written by the thread that writes the output
};

}  // namespace

FileResult judged(std::int32_t status, const marlune_report& report) {
    FileResult result;
    result.hasStatus = true;
    result.status = status;
    result.report = report;
    result.reason = reasonOf(status, report);
    return result;
}

std::vector<FileResult> Command::workGroup(const FileList& list, std::size_t first, std::size_t count,
                                           JobProgress& progress) {
    std::vector<FileResult> results;
    for (std::size_t i = first; i < first + count; ++i) results.push_back(work(i, list.files[i], progress));
    return results;
}

std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

int runCommand(const FileList& list, const RunSettings& settings, Command& command) {
    std::unique_ptr<std::FILE, FileCloser> log;
    if (!settings.log.empty()) {
        log.reset(openForWriting(settings.log));
        if (!log) {
            std::fprintf(stderr, "marlune: cannot open the log %s\n", settings.log.c_str());
            return exitFailure;
        }
    }
    const InterruptHandler handler;
    Run run(list, settings, command, log.get());
    const int status = run.run();
    if (log && (std::fflush(log.get()) != 0 || std::ferror(log.get()))) {
        std::fprintf(stderr, "marlune: cannot write the log %s\n", settings.log.c_str());
        return status == exitSuccess ? exitFailure : status;
    }
    return status;
}

}  // namespace marlune::cli
