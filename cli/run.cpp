#include "run.h"

#include <chrono>
#include <cstdio>
#include <memory>

#include "console.h"
#include "progress.h"

namespace marlune::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait for the next result lasts before the progress line and the output are tended.
constexpr std::int32_t tickMs = 200;
constexpr std::size_t outputBuffer = 1 << 16;
constexpr std::size_t atomicWrite = 4096;

struct RunCloser {
    void operator()(marlune_run* run) const {
        cancelOnInterrupt(nullptr);
        marlune_run_close(run);
    }
};
using RunHandle = std::unique_ptr<marlune_run, RunCloser>;

class Output {
public:
    Output(const RunSettings& settings, Command& command, marlune_records* records)
        : settings_(settings), command_(command), records_(records), progress_(settings.progress) {}

    // Returns 0, or the exit status of operands the engine refused.
    int run(const std::vector<Operand>& operands) {
        for (std::size_t first = 0; first < operands.size() && !stopping() && tally_.stopped_by == MARLUNE_OK;) {
            if (operands[first].single) {
                const FileResult result = command_.single(operands[first].path);
                ++tally_.outcomes[result.outcome];
                tally_.bytes_read += result.report.source_bytes;
                tally_.bytes_written += result.report.bytes_written;
                emit(operands[first].path, result);
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
        if (settings_.json) {
            put(libraryText([&](char* json, std::uint32_t size) {
                    return marlune_records_summary_json(records_, &tally_, tally_.interrupted, json, size);
                }) +
                "\n");
        } else if (command_.summaryShown(tally_)) {
            put(summaryText(command_, tally_));
        }
        flush();
        if (const std::string stopped = stoppedText(tally_); !stopped.empty()) {
            std::fputs(("marlune: " + stopped).c_str(), stderr);
        }
        if (outputFailed_) return exitOutputClosed;
        if (tally_.interrupted) return exitInterrupted;
        const bool suspects = settings_.strict && tally_[MARLUNE_OUTCOME_SUSPECT] != 0;
        const std::uint64_t wrong =
            tally_[MARLUNE_OUTCOME_FAILED] + tally_[MARLUNE_OUTCOME_COLLISION] + tally_[MARLUNE_OUTCOME_DIFFERENT];
        return wrong == 0 && !suspects && tally_.stopped_by == MARLUNE_OK && !manifestMissing_ ? exitSuccess
                                                                                               : exitFailure;
    }

    const Tally& tally() const { return tally_; }
    bool recordsFailed() const { return recordsFailed_; }

private:
    int runEngine(const std::vector<Operand>& operands, std::size_t first, std::size_t end) {
        marlune_run_options options = command_.job();
        options.workers = settings_.workers;
        marlune_run* opened = nullptr;
        if (const std::int32_t status = marlune_run_open(&options, &opened); status != MARLUNE_OK) {
            return refused(marlune_status_text(status));
        }
        const RunHandle run(opened);
        // The run's own records are no mirror's to delete.
        for (const std::string* record :
             {&settings_.log, &settings_.failedList, &settings_.suspectList, &settings_.csv, &settings_.report}) {
            if (!record->empty()) marlune_run_keep(run.get(), record->c_str());
        }
        for (std::size_t i = first; i < end; ++i) {
            const std::int32_t added =
                marlune_run_add(run.get(), operands[i].path.c_str(), operands[i].contents ? "" : nullptr);
            if (added == MARLUNE_RUN_INSIDE_SOURCE) return refused("the destination lies within " + operands[i].path);
            if (added == MARLUNE_RUN_SOURCE_INSIDE_DESTINATION) {
                return refused(operands[i].path + " lies within the destination, whose deletions would remove it");
            }
            if (added == MARLUNE_SOURCE_MISSING) return refused(operands[i].path + ": no such folder");
            if (added == MARLUNE_RUN_NO_FOLDER) return refused(operands[i].path + " is not a folder");
            if (added == MARLUNE_SOURCE_UNREADABLE) return refused(operands[i].path + " may not be read");
            if (added == MARLUNE_RUN_JOB_REFUSED) return refused("--delete and verify take one SOURCE_FOLDER");
            if (added != MARLUNE_OK) return refused(marlune_status_text(added));
        }
        if (const int destination = refusedDestination(options); destination != 0) return destination;
        cancelOnInterrupt(run.get());
        if (const std::int32_t started = marlune_run_start(run.get()); started != MARLUNE_OK) {
            if (const int manifest = refusedManifest(run.get(), options); manifest != 0) return manifest;
            std::fprintf(stderr, "marlune: %s -r: %s\n", command_.name(), marlune_status_text(started));
            return exitFailure;
        }
        tellWorkers(run.get());
        for (;;) {
            if (stopping()) marlune_run_cancel(run.get());
            FileResult file;
            marlune_run_result result{};
            result.size = sizeof result;
            result.report = &file.report;
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
            file.status = result.status;
            file.outcome = result.outcome;
            file.reason = result.reason;
            if (result.destination) file.destination = result.destination;
            if (result.other) file.other = result.other;
            ++told_;
            emit(result.path, file);
            // Each record reaches a reader at once, so that a reader gone stops the run before
            // the workers run far ahead of it.
            flush();
            if (++sinceIdle_ == 64) idle(run.get());
        }
        marlune_run_tally counts{};
        counts.size = sizeof counts;
        marlune_run_counts(run.get(), &counts);
        tally_.not_started += counts.not_started;
        tally_.links_not_followed += counts.links_not_followed;
        for (std::size_t i = 0; i < MARLUNE_OUTCOME_COUNT; ++i) tally_.outcomes[i] += counts.outcomes[i];
        tally_.bytes_read += counts.bytes_read;
        tally_.bytes_written += counts.bytes_written;
        if (counts.stopped_by != MARLUNE_OK) {
            tally_.stopped_by = counts.stopped_by;
            tally_.bytes_not_written = counts.bytes_not_written;
            tally_.plan_complete = counts.plan_complete;
        }
        std::int32_t error = 0;
        const std::int32_t manifest = marlune_run_manifest_status(run.get(), &error);
        if (options.manifest) {
            tally_.manifest_told = 1;
            tally_.manifest_status = manifest;
        }
        // A run stopped short writes none: its sentence says so.
        if (manifest != MARLUNE_OK && counts.stopped_by != MARLUNE_OK) tally_.manifestLeft = true;
        if (manifest != MARLUNE_OK && counts.stopped_by == MARLUNE_OK) {
            // No manifest vouches for a tree the run did not finish: the one at the name stays.
            std::fprintf(stderr, "marlune: no manifest was written, %s is left as it was: %s",
                         shown(options.manifest ? options.manifest : "").c_str(),
                         manifest == MARLUNE_CANCELLED ? "the run did not finish every file"
                                                       : marlune_status_text(manifest));
            if (error != 0) std::fprintf(stderr, " (%s)", systemWords(error).c_str());
            std::fputc('\n', stderr);
            manifestMissing_ = true;
        }
        return 0;
    }

    // A run the system gave fewer threads than asked for goes on with them.
    static void tellWorkers(marlune_run* run) {
        marlune_run_tally counts{};
        counts.size = sizeof counts;
        marlune_run_counts(run, &counts);
        if (counts.workers_started < counts.workers_wanted) {
            std::fprintf(stderr, "marlune: the system started %u of %u worker threads; going on with them\n",
                         counts.workers_started, counts.workers_wanted);
        }
    }

    // A destination folder the run cannot use, told before any work with the system's reason.
    int refusedDestination(const marlune_run_options& options) {
        std::int32_t error = 0;
        const std::int32_t status = marlune_run_check_root(&options, nullptr, nullptr, &error);
        if (status == MARLUNE_OK) return 0;
        const std::string destination = options.destination ? options.destination : "";
        if (status == MARLUNE_RUN_NO_FOLDER) return refused(destination + ": " + systemWords(error));
        std::fprintf(stderr, "marlune: %s -r: cannot write in %s: %s\n", command_.name(), destination.c_str(),
                     error != 0 ? systemWords(error).c_str() : marlune_status_text(status));
        return exitFailure;
    }

    // A manifest's name the library refused before any work, in the command's words.
    int refusedManifest(marlune_run* run, const marlune_run_options& options) {
        std::int32_t error = 0;
        const std::int32_t status = marlune_run_manifest_status(run, &error);
        if (status == MARLUNE_OK || !options.manifest) return 0;
        const bool named = status == MARLUNE_RUN_LANDS_ON_RUN_FILE || status == MARLUNE_DESTINATION_EXISTS;
        const std::string why = status == MARLUNE_RUN_LANDS_ON_RUN_FILE ? "would be a file of the source or of its copy"
                                : status == MARLUNE_DESTINATION_EXISTS
                                    ? "holds something other than a manifest, and is left as it is"
                                : error != 0 ? systemWords(error)
                                             : marlune_status_text(status);
        std::fprintf(stderr, "marlune: %s -r: --manifest %s %s%s\n", command_.name(), shown(options.manifest).c_str(),
                     named ? "" : "cannot be written: ", why.c_str());
        return exitFailure;
    }

    int refused(const std::string& why) {
        std::fprintf(stderr, "marlune: %s -r: %s\nTry 'marlune --help'.\n", command_.name(), why.c_str());
        return exitUsage;
    }

    void idle(marlune_run* run) {
        sinceIdle_ = 0;
        flush();
        if (!settings_.progress) return;
        marlune_run_tally counts{};
        counts.size = sizeof counts;
        marlune_run_counts(run, &counts);
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        progress_.show(progressText(told_, counts.files_planned, counts.bytes_done, counts.bytes_planned,
                                    counts.plan_complete != 0, seconds));
    }

    void emit(const std::string& file, const FileResult& result) {
        marlune_report report = result.report;
        marlune_run_result record{};
        record.size = sizeof record;
        record.status = result.status;
        record.path = file.c_str();
        record.destination = result.destination.empty() ? nullptr : result.destination.c_str();
        record.other = result.other.empty() ? nullptr : result.other.c_str();
        record.report = &report;
        record.outcome = result.outcome;
        record.reason = result.reason.c_str();
        FileResult named = result;
        if (!named.destination.empty()) named.destination = shown(result.destination);
        const bool toError = command_.toError(result);
        // With --json only what goes to standard error is worded.
        const std::string text =
            settings_.json && !toError ? std::string() : command_.text(shown(file), named, Record(records_, record));
        if (records_ && marlune_records_add(records_, &record) != MARLUNE_OK) recordsFailed_ = true;
        if (settings_.json) {
            put(libraryText(
                    [&](char* out, std::uint32_t size) { return marlune_records_json(records_, &record, out, size); }) +
                "\n");
        } else if (!text.empty() && !toError) {
            progress_.clear();
            put((command_.blocks() && blockShown_ ? "\n" : "") + text);
            blockShown_ = true;
        }
        if (!text.empty() && toError) {
            progress_.clear();
            std::fputs(("marlune: " + text).c_str(), stderr);
        }
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
    marlune_records* records_;
    bool recordsFailed_ = false;
    bool manifestMissing_ = false;  // asked for and not put in place
    ProgressLine progress_;
    const Clock::time_point start_ = Clock::now();
    Tally tally_;
    std::uint64_t told_ = 0;  // results told so far
    std::size_t sinceIdle_ = 0;
    bool blockShown_ = false;
    std::size_t unflushed_ = 0;  // bytes
    bool outputFailed_ = false;
};

}  // namespace

FileResult Command::single(const std::string&) {
    return {};
}

struct RecordsCloser {
    void operator()(marlune_records* records) const { marlune_records_close(records, nullptr); }
};

int runCommand(const std::vector<Operand>& operands, const RunSettings& settings, Command& command) {
    const marlune_records_options options = recordsOptions(settings, command, operands);
    marlune_records* opened = nullptr;
    if (const std::int32_t status = marlune_records_open(&options, &opened); status != MARLUNE_OK) {
        std::fprintf(stderr, "marlune: cannot write the run's records: %s\n",
                     status == MARLUNE_RUN_LANDS_ON_RUN_FILE
                         ? "a record's name is a file of the source, or of its copy"
                         : marlune_status_text(status));
        return exitFailure;
    }
    std::unique_ptr<marlune_records, RecordsCloser> records(opened);
    const InterruptHandler handler;
    std::setvbuf(stdout, nullptr, _IOFBF, outputBuffer);
    Output output(settings, command, records.get());
    if (const int refused = output.run(operands); refused != 0) return refused;
    const int status = output.finish();
    if (marlune_records_close(records.release(), &output.tally()) != MARLUNE_OK || output.recordsFailed()) {
        std::fprintf(stderr, "marlune: writing the run's records failed\n");
        return status == exitSuccess ? exitFailure : status;
    }
    return status;
}

}  // namespace marlune::cli
