// copy and salvage: one file through marlune_copy, as any host calls it (`-`,
// standard input or output, through the library's streams), or a tree (or a
// list) of files into a destination folder through marlune_copy_batch.
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "collisions.h"
#include "commands.h"
#include "console.h"
#include "system.h"

namespace marlune::cli {
namespace {

marlune_options copyOptions(const Settings& settings, JobProgress& progress, bool salvage) {
    marlune_options options = progress.options();
    options.salvage = salvage ? 1 : 0;
    options.durability = settings.sync ? MARLUNE_DURABLE_DATA_AND_NAME : MARLUNE_DURABLE_NONE;
    return options;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The reader is this command's own: its code is errno, which the system puts in words.
FileResult streamed(std::int32_t status, const marlune_report& report) {
    FileResult result = judged(status, report);
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

    FileResult work(std::size_t, const std::string& source, JobProgress& progress) override {
        marlune_options options = copyOptions(settings_, progress, salvage_);
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
        if (source != "-" && !toOutput()) return judged(marlune_copy(source.c_str(), to, &options, &report), report);
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
    Mirror(const Settings& settings, const FileList& list, bool salvage)
        : settings_(settings), list_(list), salvage_(salvage), sources_(list) {
        // Names kept from the sources cannot meet; .kv names can (a.snd, a.wav).
        if (settings.kvNames)
            collisions_ = findCollisions(
                list, [this](std::size_t i) { return destinationOf(list_.files[i]); }, false);
    }
    const char* name() const override { return salvage_ ? "salvage" : "copy"; }
    Grouping grouping() const override { return {256, 256u << 20}; }

    FileResult work(std::size_t index, const std::string&, JobProgress& progress) override {
        return workGroup(list_, index, 1, progress)[0];
    }

    std::vector<FileResult> workGroup(const FileList& list, std::size_t first, std::size_t count,
                                      JobProgress& progress) override {
        std::vector<FileResult> results(count);
        Batch batch(count);
        std::string folderMade;  // the last one: a group's files share few folders
        for (std::size_t i = 0; i < count; ++i) {
            if (prepare(first + i, results[i], folderMade)) {
                batch.add(i, list.files[first + i], results[i].destination.c_str());
            }
        }
        batch.run(marlune_copy_batch, copyOptions(settings_, progress, salvage_),
                  [&](std::size_t i, std::int32_t status, const marlune_report& report) {
                      results[i] = copied(status, report, results[i].destination);
                  });
        return results;
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
        if (!settings_.verbose) return {};
        if (result.outcome == Outcome::skipped) return file + ": skipped: " + result.reason + "\n";
        return salvage_ ? salvagedText(file, result) : file + ": copied to " + result.destination + "\n";
    }

    std::string counts(const Tally& tally) const override {
        const auto part = [&tally](Outcome outcome, const char* words) {
            return std::to_string(tally[outcome]) + words;
        };
        return (salvage_ ? part(Outcome::salvaged, " salvaged, ") : std::string()) +
               part(Outcome::copied, " copied, ") + part(Outcome::skipped, " skipped (not a container), ") +
               part(Outcome::failed, " failed") +
               (tally[Outcome::collision] == 0 ? ""
                                               : ", " + part(Outcome::collision, " colliding (one name for two)")) +
               "\n";
    }
    bool summaryShown(const Tally&) const override { return true; }

private:
    std::string done() const { return salvage_ ? "salvaged" : "copied"; }
    const std::string& folder() const { return settings_.operands.back(); }

    // The file's place under the destination folder; empty for a listed name that has none.
    std::string destinationOf(const std::string& file) const {
        std::string relative = file.substr(std::min(file.size(), settings_.sourceFolderLength));
        if (settings_.sourceFolderLength == 0 && !staysInside(relative)) return {};
        while (relative.size() > 2 && relative[0] == '.' && isSeparator(relative[1])) {
            relative.erase(0, 2);  // "./a.snd" is at a.snd
        }
        const std::string destination = joinPath(folder(), relative);
        return settings_.kvNames ? kvName(destination) : destination;
    }

    // What is answered without a copy is answered here; true when the file goes into the batch.
    bool prepare(std::size_t index, FileResult& result, std::string& folderMade) const {
        const std::string& file = list_.files[index];
        result.destination = destinationOf(file);
        result.outcome = Outcome::skipped;
        if (endsWith(file, partialSuffix)) {
            result.reason = "a partial file left by a copy or conversion that stopped";
            return false;
        }
        result.outcome = Outcome::failed;
        if (result.destination.empty()) {
            result.reason = "a listed name needs to be relative, without \"..\", to have a place under " + folder();
            return false;
        }
        // A tree copied into a folder above it, or a list whose names meet under the
        // destination, would put a copy over another file of the run.
        if (const std::size_t source = sources_.find(result.destination); source != RunFiles::none) {
            result.reason = "its copy would replace " + list_.files[source] + ", a file of this run";
            return false;
        }
        if (const auto earlier = collisions_.find(index); earlier != collisions_.end()) {
            result.outcome = Outcome::collision;
            result.reason = list_.files[earlier->second.earlier] + ", named earlier in this run, takes the name " +
                            result.destination;
            return false;
        }
        std::string folder = folderOf(result.destination);
        if (folder == folderMade) return true;
        if (!makeFolders(folder, settings_.sync, result.reason)) return false;
        folderMade = std::move(folder);
        return true;
    }

    FileResult copied(std::int32_t status, const marlune_report& report, const std::string& destination) const {
        FileResult result = judged(status, report);
        result.destination = destination;
        if (status == MARLUNE_NOT_A_CONTAINER) {
            result.outcome = Outcome::skipped;
            result.reason = "not a container";
        } else if (salvage_) {
            judgeSalvage(result);
        } else {
            result.outcome = status == MARLUNE_OK ? Outcome::copied : Outcome::failed;
        }
        return result;
    }

    const Settings& settings_;
    const FileList& list_;
    const bool salvage_;
    const RunFiles sources_;
    std::map<std::size_t, Collision> collisions_;
};

}  // namespace

std::unique_ptr<Command> copyCommand(const Settings& settings) {
    return std::make_unique<Copy>(settings, false);
}

std::unique_ptr<Command> salvageCommand(const Settings& settings) {
    return std::make_unique<Copy>(settings, true);
}

std::unique_ptr<Command> mirrorCommand(const Settings& settings, const FileList& list, bool salvage) {
    return std::make_unique<Mirror>(settings, list, salvage);
}

}  // namespace marlune::cli
