#include "run.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "console.h"
#include "progress.h"
#include "summary.h"

namespace marlune::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait for the next result lasts before the progress line and the output are tended.
constexpr std::int32_t tickMs = 200;
constexpr std::size_t outputBuffer = 1 << 16;
constexpr std::size_t atomicWrite = 4096;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct RunCloser {
    void operator()(marlune_run* run) const {
        cancelOnInterrupt(nullptr);
        marlune_run_close(run);
    }
};
using RunHandle = std::unique_ptr<marlune_run, RunCloser>;

class Output {
public:
    Output(const RunSettings& settings, Command& command, std::FILE* log)
        : settings_(settings), command_(command), log_(log), progress_(settings.progress) {}

    // Returns 0, or the exit status of operands the engine refused.
    int run(const std::vector<Operand>& operands) {
        for (std::size_t first = 0; first < operands.size() && !stopping();) {
            if (operands[first].single) {
                ++tally_.files;
                emit(operands[first].path, command_.single(operands[first].path));
                ++first;
                continue;
            }
            std::size_t end = first;
            while (end < operands.size() && !operands[end].single) ++end;
            if (const int refused = runEngine(operands, first, end); refused != 0) return refused;
            first = end;
        }
        progress_.clear();
        tally_.interrupted = interrupted();
        tally_.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        return 0;
    }

    int finish() {
        const std::string text = summaryText(command_, tally_);
        if (settings_.json) {
            put(summaryJson(command_, tally_).str() + "\n");
        } else if (command_.summaryShown(tally_)) {
            put(text);
        }
        if (log_) std::fputs(text.c_str(), log_);
        flush();
        if (outputFailed_) return exitOutputClosed;
        if (tally_.interrupted) return exitInterrupted;
        const bool clean = tally_[Outcome::failed] + tally_[Outcome::collision] + tally_[Outcome::different] == 0;
        return clean ? exitSuccess : exitFailure;
    }

private:
    int runEngine(const std::vector<Operand>& operands, std::size_t first, std::size_t end) {
        marlune_run_options options = command_.job();
        options.workers = settings_.workers;
        marlune_run* opened = nullptr;
        if (marlune_run_open(&options, &opened) != MARLUNE_OK) return exitFailure;
        const RunHandle run(opened);
        for (std::size_t i = first; i < end; ++i) {
            const std::int32_t added =
                marlune_run_add(run.get(), operands[i].path.c_str(), operands[i].contents ? "" : nullptr);
            if (added == MARLUNE_RUN_INSIDE_SOURCE) return refused("the destination lies within " + operands[i].path);
            if (added == MARLUNE_SOURCE_MISSING) return refused(operands[i].path + " is not a folder");
            if (added != MARLUNE_OK) return refused(marlune_status_text(added));
        }
        cancelOnInterrupt(run.get());
        marlune_run_start(run.get());
        for (;;) {
            if (stopping()) marlune_run_cancel(run.get());
            Answer answer;
            marlune_run_result result{};
            result.size = sizeof result;
            result.report = &answer.report;
            result.outcome = -1;
            std::int32_t got = marlune_run_next(run.get(), &result, 0);
            if (got == MARLUNE_RUN_WAITING) {
                flush();  // whoever reads the records as they come has them before the wait
                got = marlune_run_next(run.get(), &result, tickMs);
            }
            if (got == MARLUNE_RUN_ENDED) {
                idle(run.get());  // the totals, once
                break;
            }
            if (got == MARLUNE_RUN_WAITING) {
                idle(run.get());
                continue;
            }
            answer.status = result.status;
            answer.file = result.path;
            if (result.destination) answer.destination = result.destination;
            if (result.other) answer.other = result.other;
            answer.outcome = result.outcome;
            ++tally_.files;
            emit(answer.file,
                 answer.status == MARLUNE_RUN_FOLDER_UNREADABLE ? unreadable(answer) : command_.judge(answer));
            // Each record reaches a reader at once, so that a reader gone stops the run before
            // the workers run far ahead of it.
            flush();
            if (++sinceIdle_ == 64) idle(run.get());
        }
        marlune_run_tally counts{};
        counts.size = sizeof counts;
        marlune_run_counts(run.get(), &counts);
        tally_.notStarted += static_cast<std::size_t>(counts.not_started);
        tally_.files += static_cast<std::size_t>(counts.not_started);
        tally_.linksNotFollowed += counts.links_not_followed;
        std::int32_t error = 0;
        const std::int32_t manifest = marlune_run_manifest_status(run.get(), &error);
        if (manifest != MARLUNE_OK && manifest != MARLUNE_CANCELLED) {
            std::fprintf(stderr, "marlune: the manifest was not written: %s (%d)\n", marlune_status_text(manifest),
                         error);
            ++tally_.counts[static_cast<std::size_t>(Outcome::failed)];
        }
        return 0;
    }

    int refused(const std::string& why) {
        std::fprintf(stderr, "marlune: %s -r: %s\nTry 'marlune --help'.\n", command_.name(), why.c_str());
        return exitUsage;
    }

    // A folder of the walk that could not be read: a failure of its own.
    static FileResult unreadable(const Answer& answer) {
        FileResult result;
#ifdef _WIN32
        result.reason = "cannot read the folder (error " + std::to_string(answer.report.system_error) + ")";
#else
        result.reason = std::string("cannot read the folder: ") + std::strerror(answer.report.system_error);
#endif
        return result;
    }

    void idle(marlune_run* run) {
        sinceIdle_ = 0;
        flush();
        if (!settings_.progress) return;
        marlune_run_tally counts{};
        counts.size = sizeof counts;
        marlune_run_counts(run, &counts);
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        progress_.show(progressText(tally_.files, counts.files_planned, counts.bytes_done, counts.bytes_planned,
                                    counts.plan_complete != 0, seconds));
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
            put(fileRecord(command_, file, result).str() + "\n");
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

    // Standard output that fails (a reader gone, a full disk) stops the run as Ctrl-C does:
    // nothing more is worth working for when its results cannot be told.
    // Whole lines reach a reader: the output goes in writes of whole records, each
    // within what a pipe takes at once (4096 bytes) unless a record alone is larger.
    void put(const std::string& text) {
        if (outputFailed_) return;
        if (unflushed_ + text.size() > atomicWrite) flush();
        unflushed_ += text.size();
        if (std::fputs(text.c_str(), stdout) == EOF) failed();
    }

    // Whoever reads the records as they come (a pipe, a job scheduler) gets them now.
    void flush() {
        if (outputFailed_ || unflushed_ == 0) return;
        unflushed_ = 0;
        if (std::fflush(stdout) != 0) failed();
    }

    void failed() {
        outputFailed_ = true;
        outputClosed();
    }

    const RunSettings& settings_;
    Command& command_;
    std::FILE* log_;
    ProgressLine progress_;
    const Clock::time_point start_ = Clock::now();
    Tally tally_;
    std::size_t sinceIdle_ = 0;
    bool blockShown_ = false;
    std::size_t unflushed_ = 0;  // bytes
    bool outputFailed_ = false;
};

}  // namespace

FileResult judged(const Answer& answer, std::int32_t job) {
    FileResult result;
    result.hasStatus = true;
    result.status = answer.status;
    result.report = answer.report;
    result.reason = reasonOf(job, answer.status, answer.report);
    result.destination = answer.destination;
    return result;
}

FileResult Command::single(const std::string&) {
    return {};
}

std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

int runCommand(const std::vector<Operand>& operands, const RunSettings& settings, Command& command) {
    std::unique_ptr<std::FILE, FileCloser> log;
    if (!settings.log.empty()) {
        log.reset(openForWriting(settings.log));
        if (!log) {
            std::fprintf(stderr, "marlune: cannot open the log %s\n", settings.log.c_str());
            return exitFailure;
        }
    }
    const InterruptHandler handler;
    std::setvbuf(stdout, nullptr, _IOFBF, outputBuffer);
    Output output(settings, command, log.get());
    if (const int refused = output.run(operands); refused != 0) return refused;
    const int status = output.finish();
    if (log && (std::fflush(log.get()) != 0 || std::ferror(log.get()))) {
        std::fprintf(stderr, "marlune: cannot write the log %s\n", settings.log.c_str());
        return status == exitSuccess ? exitFailure : status;
    }
    return status;
}

}  // namespace marlune::cli
