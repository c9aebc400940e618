// copy and salvage, of one file or of many into a folder.
#include <cstdio>
#include <memory>

#include "commands.h"
#include "console.h"

namespace marlune::cli {
namespace {

// Ctrl-C stops the copy under way, its destination kept as it was.
std::int32_t MARLUNE_CALL stopRequested(std::uint64_t, std::uint64_t, void*) {
    return stopping() ? 1 : 0;
}

std::string salvagedText(const std::string& source, const FileResult& result, const Record& record) {
    const std::string& to = result.destination;
    if (result.outcome == MARLUNE_OUTCOME_COPIED)
        return source + ": complete container, copied as it is to " + to + "\n";
    const marlune_report& report = result.report;
    const auto number = [](std::uint64_t value) { return std::to_string(value); };
    std::string piece;
    record.field("cutPiece", piece);
    return source + ": salvaged to " + to + ": " + number(report.chunks) + " whole chunks kept, " +
           number(report.bytes_written) + " bytes\n  lost: the " + (piece == "payload" ? "payload" : "header") +
           " of chunk " + number(report.chunk_number) + " at offset " + number(report.cut_offset) + " is cut short, " +
           number(report.cut_missing) + " of its " + number(report.cut_size) + " bytes missing; the " +
           number(report.source_bytes - report.bytes_written) + " bytes from offset " + number(report.bytes_written) +
           " on are not in " + to + "\n";
}

// One file to a DESTINATION, as any host calls marlune_copy (`-` through the
// library's streams); or each file of a tree or list to its place under the
// destination folder, the groups through marlune_copy_batch, put on stable storage
// together with --sync.
class Copy : public Command {
public:
    Copy(const Settings& settings, bool salvage, bool oneFile)
        : settings_(settings),
          salvage_(salvage),
          oneFile_(oneFile),
          job_(salvage ? MARLUNE_JOB_SALVAGE : MARLUNE_JOB_COPY) {}
    const char* name() const override { return salvage_ ? "salvage" : "copy"; }

    marlune_run_options job() const override {
        marlune_run_options options = jobOf(job_, settings_);
        options.destination = destination().c_str();
        return options;
    }
    bool dryRun() const override { return settings_.dryRun; }

    FileResult single(const std::string& source) override {
        marlune_options options{};
        options.size = sizeof options;
        options.replace = 1;
        options.salvage = salvage_ ? 1 : 0;
        options.durability = settings_.sync ? MARLUNE_DURABLE_DATA_AND_NAME : MARLUNE_DURABLE_NONE;
        options.progress = stopRequested;
        if (settings_.inPlace) options.placement = MARLUNE_IN_PLACE;
        FileResult result = copied(source, options);
        result.destination = destination();
        result.outcome = marlune_file_outcome(job_, result.status);
        return result;
    }

    std::string text(const std::string& file, const FileResult& result, const Record& record) const override {
        // The command's one line for an output it could not write says it.
        if (toOutput() && result.status == MARLUNE_WRITE_ERROR) return {};
        const bool whole = oneFile_ && salvage_ && result.outcome == MARLUNE_OUTCOME_COPIED;
        // A dry run made no salvaged copy to tell of.
        const bool salvaged = result.outcome == MARLUNE_OUTCOME_SALVAGED && !settings_.dryRun;
        if (salvaged || whole) return salvagedText(file, result, record);
        const std::string notDone = "not " + done() + (settings_.quiet ? "" : ": %r");
        std::string told = worded(
            file, result,
            {{MARLUNE_OUTCOME_FAILED, settings_.quiet ? "not " + done() : "%r"},
             {MARLUNE_OUTCOME_COLLISION, notDone},
             {MARLUNE_OUTCOME_RESTORED, "%r"}});
        // A mirror copies a suspect as it is; a copy skips it.
        const std::string would = settings_.dryRun ? "would be: " : "";
        const std::string suspect =
            settings_.mirror ? would + "suspect, its copy holds it as it is: %r" : "skipped: %r";
        if (told.empty() && settings_.verbose) {
            told = worded(file, result,
                          {{MARLUNE_OUTCOME_SKIPPED, "skipped: %r"},
                           {MARLUNE_OUTCOME_SUSPECT, suspect},
                           {MARLUNE_OUTCOME_CANCELLED, notDone}});
        }
        const bool damaged = result.outcome == MARLUNE_OUTCOME_DAMAGED || result.outcome == MARLUNE_OUTCOME_SUSPECT;
        if (told.empty() && settings_.mirror && (settings_.verbose || settings_.dryRun || damaged)) {
            told = worded(file, result,
                          {{MARLUNE_OUTCOME_UNCHANGED, would + "unchanged"},
                           {MARLUNE_OUTCOME_SALVAGED, would + "salvaged: %r"},
                           {MARLUNE_OUTCOME_COPIED_AS_IS, would + "copied as it is"},
                           {MARLUNE_OUTCOME_DAMAGED, would + "damaged, copied as it is: %r"},
                           {MARLUNE_OUTCOME_SUSPECT, suspect},
                           {MARLUNE_OUTCOME_LINKED, would + "linked anew"},
                           {MARLUNE_OUTCOME_DELETED, would + "removed (not in the source)"},
                           {MARLUNE_OUTCOME_PARTIAL_REMOVED, "removed: %r"},
                           {anyOutcome, would + "copied"}});
        }
        if (!told.empty() || !settings_.verbose) return told;
        return salvage_ ? salvagedText(file, result, record) : file + ": copied to " + result.destination + "\n";
    }

    // Standard output holds the copy when it is the destination: the salvage's report goes to standard error.
    bool toError(const FileResult& result) const override { return Command::toError(result) || toOutput(); }
    // A single file's outcome is its exit status: no summary.
    bool summaryShown(const Tally&) const override { return !oneFile_; }

    // Copies that rotted on the destination since they were written, told apart from a changed source.
    static std::string restored(const Tally& tally) {
        const std::uint64_t count = tally[MARLUNE_OUTCOME_RESTORED];
        return count == 0 ? std::string()
                          : counted(count, "copy", "copies") + " had changed since written, copied again from the source\n";
    }

    std::string counts(const Tally& tally) const override {
        const auto part = [&tally](std::int32_t outcome, const char* words) {
            return std::to_string(tally[outcome]) + words;
        };
        if (settings_.mirror) {
            const std::uint64_t partials = tally[MARLUNE_OUTCOME_PARTIAL_REMOVED];
            const std::string stale = partials == 0 ? std::string()
                                                    : counted(partials, "partial file", "partial files") +
                                                          " of a mirror that stopped removed\n";
            return std::string(settings_.dryRun ? "would be: " : "") + part(MARLUNE_OUTCOME_COPIED, " copied, ") +
                   (salvage_ ? part(MARLUNE_OUTCOME_SALVAGED, " salvaged, ") : "") +
                   part(MARLUNE_OUTCOME_COPIED_AS_IS, " copied as is, ") +
                   part(MARLUNE_OUTCOME_DAMAGED, " damaged (copied as is), ") +
                   part(MARLUNE_OUTCOME_LINKED, " linked, ") + part(MARLUNE_OUTCOME_UNCHANGED, " unchanged, ") +
                   (settings_.remove ? part(MARLUNE_OUTCOME_DELETED, " removed, ") : "") +
                   part(MARLUNE_OUTCOME_FAILED, " failed") + countsIfMet(tally) + "\n" + stale + restored(tally);
        }
        const std::uint64_t left = tally.files() - tally[MARLUNE_OUTCOME_COPIED] - tally[MARLUNE_OUTCOME_SALVAGED];
        const std::string notCopied =
            left == 0 || salvage_ ? "" : counted(left, "file", "files") + " not copied: --mirror copies every file\n";
        const bool collided = tally[MARLUNE_OUTCOME_COLLISION] != 0;
        return (salvage_ ? part(MARLUNE_OUTCOME_SALVAGED, " salvaged, ") : std::string()) +
               part(MARLUNE_OUTCOME_COPIED, " copied, ") +
               part(MARLUNE_OUTCOME_SKIPPED, " skipped (not a container), ") + part(MARLUNE_OUTCOME_FAILED, " failed") +
               (collided ? ", " + part(MARLUNE_OUTCOME_COLLISION, " colliding (one name for two)") : "") +
               countsIfMet(tally) + "\n" + notCopied;
    }

private:
    std::string done() const { return salvage_ ? "salvaged" : "copied"; }
    // A file or (into a folder) a folder; "-": standard output.
    const std::string& destination() const { return settings_.operands.back(); }
    bool toOutput() const { return destination() == "-"; }

    // `-` is standard input, or as the destination standard output, through the library's streams.
    FileResult copied(const std::string& source, const marlune_options& options) const {
        marlune_report report = emptyReport();
        marlune_reader input{sizeof input, 0, 0, nullptr, nullptr};
        marlune_writer output{sizeof output, 0, nullptr, nullptr};
        const char* to = destination().c_str();
        std::int32_t status = 0;
        if (source == "-") marlune_standard_input(&input);
        if (toOutput() && std::fflush(stdout) == 0) marlune_standard_output(&output);
        if (source != "-" && !toOutput()) {
            status = marlune_copy(source.c_str(), to, &options, &report);
        } else if (source != "-") {
            status = marlune_copy_to_stream(source.c_str(), &output, &options, &report);
        } else {
            status = toOutput() ? marlune_copy_stream(&input, &output, &options, &report)
                                : marlune_copy_from_stream(&input, to, &options, &report);
        }
        FileResult result = judged(job_, status, report);
        // Standard input's code is the system's, which the sentence for a named file leaves out.
        if (status == MARLUNE_READ_ERROR && source == "-") result.reason += ": " + systemWords(report.system_error);
        if (status == MARLUNE_WRITE_ERROR && toOutput()) outputClosed();
        return result;
    }

    const Settings& settings_;
    const bool salvage_;
    const bool oneFile_;
    const std::int32_t job_;
};

// Each file of either tree compared; only differences are told, but with -v.
class Verify : public Command {
public:
    explicit Verify(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "verify"; }
    marlune_run_options job() const override {
        marlune_run_options options = jobOf(MARLUNE_JOB_VERIFY, settings_);
        options.destination = settings_.operands.back().c_str();
        return options;
    }
    std::string text(const std::string& file, const FileResult& result, const Record&) const override {
        if (result.outcome == MARLUNE_OUTCOME_MATCHED && !settings_.verbose) return {};
        return file + ": " + (result.outcome == MARLUNE_OUTCOME_MATCHED ? "matches" : result.reason) + "\n";
    }
    std::string counts(const Tally& tally) const override {
        return std::to_string(tally[MARLUNE_OUTCOME_MATCHED]) + " matched, " +
               std::to_string(tally[MARLUNE_OUTCOME_DIFFERENT]) + " different, " +
               std::to_string(tally[MARLUNE_OUTCOME_FAILED]) + " failed" + countsIfMet(tally) + "\n";
    }
    bool writes() const override { return false; }

private:
    const Settings& settings_;
};

}  // namespace

std::unique_ptr<Command> verifyCommand(const Settings& settings) {
    return std::make_unique<Verify>(settings);
}

std::unique_ptr<Command> copyCommand(const Settings& settings, bool salvage, bool oneFile) {
    return std::make_unique<Copy>(settings, salvage, oneFile);
}

}  // namespace marlune::cli
