// copy and salvage: one file through marlune_copy, as any host calls it (`-`,
// standard input or output, through the library's streams), or a tree (or a
// list) of files into a destination folder through marlune_copy_batch.
#include <cerrno>
#include <cstring>
#include <memory>

#include "commands.h"
#include "console.h"

namespace marlune::cli {
namespace {

// Ctrl-C stops the copy under way, its destination kept as it was.
std::int32_t MARLUNE_CALL stopRequested(std::uint64_t, std::uint64_t, void*) {
    return stopping() ? 1 : 0;
}

marlune_options copyOptions(const Settings& settings, bool salvage) {
    marlune_options options{};
    options.size = sizeof options;
    options.replace = 1;
    options.salvage = salvage ? 1 : 0;
    options.durability = settings.sync ? MARLUNE_DURABLE_DATA_AND_NAME : MARLUNE_DURABLE_NONE;
    options.progress = stopRequested;
    return options;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The reader is this command's own: its code is errno, which the system puts in words.
FileResult streamed(std::int32_t status, const marlune_report& report) {
    FileResult result = judged({status, "", "", "", report});
    if (status == MARLUNE_READ_ERROR) result.reason += std::string(": ") + std::strerror(report.system_error);
    return result;
}

// A salvage's outcome, and its own members of the file's record.
void judgeSalvage(FileResult& result) {
    const marlune_report& report = result.report;
    const bool cut = result.status == MARLUNE_SALVAGED;
    if (result.hasStatus && (result.status == MARLUNE_OK || cut)) {
        result.outcome = cut ? Outcome::salvaged : Outcome::copied;
        result.json.number("chunksKept", report.chunks);
        result.json.numberOrNull("lostFromOffset", cut, report.bytes_written);
        result.json.number("lostBytes", cut ? report.source_bytes - report.bytes_written : 0);
    } else {
        result.outcome = Outcome::failed;
        const bool cannot = result.hasStatus && factsOf(result.status).beforeChunks;
        result.reason = (cannot ? "cannot be salvaged: " : "salvage failed: ") + result.reason;
    }
}

std::string salvagedText(const std::string& source, const FileResult& result) {
    const std::string& to = result.destination;
    if (result.outcome == Outcome::copied) return source + ": complete container, copied as it is to " + to + "\n";
    const marlune_report& report = result.report;
    const auto number = [](std::uint64_t value) { return std::to_string(value); };
    return source + ": salvaged to " + to + ": " + number(report.chunks) + " whole chunks kept, " +
           number(report.bytes_written) + " bytes\n  lost: the " +
           (std::string(cutPiece(result.status, report)) == "payload" ? "payload" : "header") + " of chunk " +
           number(report.chunk_number) + " at offset " + number(report.cut_offset) + " is cut short, " +
           number(report.cut_missing) + " of its " + number(report.cut_size) + " bytes missing; the " +
           number(report.source_bytes - report.bytes_written) + " bytes from offset " + number(report.bytes_written) +
           " on are not in " + to + "\n";
}

class Copy : public Command {
public:
    Copy(const Settings& settings, bool salvage) : settings_(settings), salvage_(salvage) {}
    const char* name() const override { return salvage_ ? "salvage" : "copy"; }
    marlune_run_options job() const override { return jobOf(MARLUNE_JOB_COPY, settings_); }
    FileResult judge(const Answer& answer) const override { return judged(answer); }

    FileResult single(const std::string& source) override {
        marlune_options options = copyOptions(settings_, salvage_);
        if (settings_.inPlace) options.placement = MARLUNE_IN_PLACE;
        FileResult result = copied(source, options);
        result.destination = destination();
        if (salvage_) {
            judgeSalvage(result);
        } else {
            result.outcome = result.hasStatus && result.status == MARLUNE_OK ? Outcome::copied : Outcome::failed;
        }
        return result;
    }

    std::string text(const std::string& file, const FileResult& result) const override {
        if (result.outcome != Outcome::failed) return salvage_ ? salvagedText(file, result) : std::string();
        // The command's one line for an output it could not write says it.
        if (toOutput() && result.hasStatus && result.status == MARLUNE_WRITE_ERROR) return {};
        return file + ": " +
               (settings_.quiet ? std::string("not ") + (salvage_ ? "salvaged" : "copied") : result.reason) + "\n";
    }
    // Standard output holds the copy when it is the destination: the salvage's report goes to standard error.
    bool toError(const FileResult& result) const override { return result.outcome == Outcome::failed || toOutput(); }

    std::string counts(const Tally& tally) const override {
        return (salvage_ ? std::to_string(tally[Outcome::salvaged]) + " salvaged, " : std::string()) +
               std::to_string(tally[Outcome::copied]) + " copied, " + std::to_string(tally[Outcome::failed]) +
               " failed\n";
    }
    // A single file's outcome is its exit status.
    bool summaryShown(const Tally&) const override { return false; }

private:
    const std::string& destination() const { return settings_.operands[1]; }
    bool toOutput() const { return destination() == "-"; }

    // A named source and destination are the library's to open; `-` and the file
    // copied to standard output are read here, as streams.
    FileResult copied(const std::string& source, const marlune_options& options) const {
        marlune_report report = emptyReport();
        const char* to = destination().c_str();
        if (source != "-" && !toOutput())
            return judged({marlune_copy(source.c_str(), to, &options, &report), "", "", "", report});
        const std::unique_ptr<std::FILE, FileCloser> named(source == "-" ? nullptr : openForReading(source));
        if (source != "-" && !named) {
            FileResult result;
            result.reason = std::string("cannot be opened for reading: ") + std::strerror(errno);
            return result;
        }
        StreamFile input{named ? named.get() : openForReading("-")};
        const marlune_reader reader = readerOf(input);
        if (!toOutput()) return streamed(marlune_copy_from_stream(&reader, to, &options, &report), report);
        StreamFile output{openDataOutput()};
        const marlune_writer writer = writerOf(output);
        return streamed(marlune_copy_stream(&reader, &writer, &options, &report), report);
    }

    const Settings& settings_;
    const bool salvage_;
};

// Each file to its place under the destination folder; the groups go through
// marlune_copy_batch, put on stable storage together with --sync.
class Mirror : public Command {
public:
    Mirror(const Settings& settings, bool salvage) : settings_(settings), salvage_(salvage) {}
    const char* name() const override { return salvage_ ? "salvage" : "copy"; }

    marlune_run_options job() const override {
        marlune_run_options options = jobOf(salvage_ ? MARLUNE_JOB_SALVAGE : MARLUNE_JOB_COPY, settings_);
        options.destination = folder().c_str();
        options.durability = settings_.sync ? MARLUNE_DURABLE_DATA_AND_NAME : MARLUNE_DURABLE_NONE;
        if (!settings_.mirror) return options;
        options.flags |= MARLUNE_RUN_MIRROR;
        if (settings_.checksum) options.flags |= MARLUNE_RUN_CHECKSUM;
        if (settings_.dryRun) options.flags |= MARLUNE_RUN_JUDGE_ONLY;
        if (settings_.remove) options.flags |= MARLUNE_RUN_DELETE;
        if (!settings_.manifest.empty()) options.manifest = settings_.manifest.c_str();
        return options;
    }
    bool dryRun() const override { return settings_.dryRun; }

    FileResult judge(const Answer& answer) const override {
        FileResult result = judged(answer);
        if (settings_.mirror && answer.outcome == MARLUNE_OUTCOME_COPIED)
            return result.outcome = Outcome::copied, result;
        if (settings_.mirror && answer.outcome >= MARLUNE_OUTCOME_UNCHANGED) {
            result.outcome = fromEngine(answer.outcome);
            return result;
        }
        switch (answer.status) {
            case MARLUNE_NOT_A_CONTAINER:
            case MARLUNE_RUN_PARTIAL_LEFT:
                result.outcome = Outcome::skipped;
                if (answer.status == MARLUNE_RUN_PARTIAL_LEFT) {
                    result.reason = "a partial file left by a copy or conversion that stopped";
                }
                break;
            case MARLUNE_RUN_OUTSIDE_DESTINATION:
                result.reason = "a listed name needs to be relative, without \"..\", to have a place under " + folder();
                break;
            case MARLUNE_RUN_LANDS_ON_RUN_FILE:
                result.reason = "its copy would replace " + answer.other + ", a file of this run";
                break;
            case MARLUNE_RUN_COLLISION:
                result.outcome = Outcome::collision;
                result.reason = answer.other + ", named earlier in this run, takes the name " + answer.destination;
                break;
            case MARLUNE_RUN_DESTINATION_LINK:
                result.reason =
                    "a symbolic link on the way to " + answer.destination + ": nothing is written through it";
                break;
            default:
                if (salvage_) {
                    judgeSalvage(result);
                } else {
                    result.outcome = answer.status == MARLUNE_OK ? Outcome::copied : Outcome::failed;
                }
                break;
        }
        return result;
    }

    std::string text(const std::string& file, const FileResult& result) const override {
        const std::string words = settings_.quiet ? "" : ": " + result.reason;
        switch (result.outcome) {
            case Outcome::failed:
                return file + ": " + (settings_.quiet ? "not " + done() : result.reason) + "\n";
            case Outcome::collision:
                return file + ": not " + done() + words + "\n";
            case Outcome::salvaged:
                return salvagedText(file, result);
            default:
                break;
        }
        if (settings_.mirror && (settings_.verbose || settings_.dryRun || result.outcome == Outcome::damaged)) {
            static const char* const mirrored[] = {"unchanged", "copied as it is", "damaged, copied as it is",
                                                   "linked anew", "removed (not in the source)"};
            const bool copied = result.outcome == Outcome::copied;
            return file + ": " + (settings_.dryRun ? "would be: " : "") +
                   (copied ? "copied"
                           : mirrored[static_cast<int>(result.outcome) - static_cast<int>(Outcome::unchanged)]) +
                   (result.outcome == Outcome::damaged ? ": " + result.reason : "") + "\n";
        }
        if (!settings_.verbose) return {};
        if (result.outcome == Outcome::skipped) return file + ": skipped: " + result.reason + "\n";
        return salvage_ ? salvagedText(file, result) : file + ": copied to " + result.destination + "\n";
    }

    std::string counts(const Tally& tally) const override {
        const auto part = [&tally](Outcome outcome, const char* words) {
            return std::to_string(tally[outcome]) + words;
        };
        if (settings_.mirror) {
            return std::string(settings_.dryRun ? "would be: " : "") + part(Outcome::copied, " copied, ") +
                   (salvage_ ? part(Outcome::salvaged, " salvaged, ") : "") +
                   part(Outcome::copiedAsIs, " copied as is, ") + part(Outcome::damaged, " damaged (copied as is), ") +
                   part(Outcome::linked, " linked, ") + part(Outcome::unchanged, " unchanged, ") +
                   (settings_.remove ? part(Outcome::deleted, " removed, ") : "") + part(Outcome::failed, " failed") +
                   "\n";
        }
        const std::size_t left = tally.files - tally[Outcome::copied] - tally[Outcome::salvaged];
        const std::string notCopied =
            left == 0 || salvage_ ? "" : counted(left, "file", "files") + " not copied: --mirror copies every file\n";
        return (salvage_ ? part(Outcome::salvaged, " salvaged, ") : std::string()) +
               part(Outcome::copied, " copied, ") + part(Outcome::skipped, " skipped (not a container), ") +
               part(Outcome::failed, " failed") +
               (tally[Outcome::collision] == 0 ? ""
                                               : ", " + part(Outcome::collision, " colliding (one name for two)")) +
               "\n" + notCopied;
    }
    bool summaryShown(const Tally&) const override { return true; }

private:
    std::string done() const { return salvage_ ? "salvaged" : "copied"; }
    const std::string& folder() const { return settings_.operands.back(); }

    const Settings& settings_;
    const bool salvage_;
};

class Verify : public Command {
public:
    explicit Verify(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "verify"; }
    marlune_run_options job() const override {
        marlune_run_options options = jobOf(MARLUNE_JOB_VERIFY, settings_);
        options.destination = settings_.operands.back().c_str();
        if (!settings_.manifest.empty()) options.manifest = settings_.manifest.c_str();
        return options;
    }
    FileResult judge(const Answer& answer) const override {
        FileResult result = judged(answer);
        if (answer.outcome == MARLUNE_OUTCOME_MATCHED || answer.outcome == MARLUNE_OUTCOME_DIFFERENT)
            result.outcome = fromEngine(answer.outcome);
        return result;
    }
    std::string text(const std::string& file, const FileResult& result) const override {
        if (result.outcome == Outcome::matched && !settings_.verbose) return {};
        return file + ": " + (result.outcome == Outcome::matched ? "matches" : result.reason) + "\n";
    }
    std::string counts(const Tally& tally) const override {
        return std::to_string(tally[Outcome::matched]) + " matched, " + std::to_string(tally[Outcome::different]) +
               " different, " + std::to_string(tally[Outcome::failed]) + " failed\n";
    }
    bool summaryShown(const Tally&) const override { return true; }
    const Settings& settings_;
};

}  // namespace

std::unique_ptr<Command> verifyCommand(const Settings& settings) {
    return std::make_unique<Verify>(settings);
}

std::unique_ptr<Command> copyCommand(const Settings& settings, bool salvage) {
    return std::make_unique<Copy>(settings, salvage);
}

std::unique_ptr<Command> mirrorCommand(const Settings& settings, bool salvage) {
    return std::make_unique<Mirror>(settings, salvage);
}

}  // namespace marlune::cli
