// copy and salvage: one file through marlune_copy, as any host calls it; `-`,
// standard input or output, through the library's streams.
#include <cerrno>
#include <cstring>
#include <memory>

#include "commands.h"
#include "console.h"

namespace marlune::cli {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The reader is this command's own: its code is errno, which the system puts in words.
FileResult streamed(std::int32_t status, const marlune_report& report) {
    FileResult result = judged(status, report);
    if (status == MARLUNE_READ_ERROR) result.reason += std::string(": ") + std::strerror(report.system_error);
    return result;
}

class Copy : public Command {
public:
    explicit Copy(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "copy"; }

    FileResult work(std::size_t, const std::string& source, JobProgress& progress) override {
        marlune_options options = progress.options();
        options.placement = settings_.inPlace ? MARLUNE_IN_PLACE : MARLUNE_BESIDE;
        FileResult result = copied(source, options);
        result.outcome = result.hasStatus && result.status == MARLUNE_OK ? Outcome::copied : Outcome::failed;
        result.destination = destination();
        return result;
    }

    std::string text(const std::string& file, const FileResult& result) const override {
        if (result.outcome != Outcome::failed) return {};
        // The command's one line for an output it could not write says it.
        if (toOutput() && result.hasStatus && result.status == MARLUNE_WRITE_ERROR) return {};
        return file + ": " + (settings_.quiet ? "not " + std::string(doneWord()) : result.reason) + "\n";
    }

    std::string counts(const Tally& tally) const override {
        return std::to_string(tally[Outcome::copied]) + " copied, " + std::to_string(tally[Outcome::failed]) +
               " failed\n";
    }
    // A single file's outcome is its exit status.
    bool summaryShown(const Tally&) const override { return false; }

protected:
    virtual const char* doneWord() const { return "copied"; }
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
};

class Salvage : public Copy {
public:
    using Copy::Copy;
    const char* name() const override { return "salvage"; }

    FileResult work(std::size_t, const std::string& source, JobProgress& progress) override {
        marlune_options options = progress.options();
        options.salvage = 1;
        FileResult result = copied(source, options);
        const marlune_report& report = result.report;
        result.destination = destination();
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
        return result;
    }

    std::string text(const std::string& source, const FileResult& result) const override {
        if (result.outcome == Outcome::failed) return Copy::text(source, result);
        const std::string& to = result.destination;
        if (result.outcome == Outcome::copied) return source + ": complete container, copied as it is to " + to + "\n";
        const marlune_report& report = result.report;
        const auto number = [](std::uint64_t value) { return std::to_string(value); };
        return source + ": salvaged to " + to + ": " + number(report.chunks) + " whole chunks kept, " +
               number(report.bytes_written) + " bytes\n  lost: the " +
               (std::string(cutPiece(result.status, report)) == "payload" ? "payload" : "header") + " of chunk " +
               number(report.chunk_number) + " at offset " + number(report.cut_offset) + " is cut short, " +
               number(report.cut_missing) + " of its " + number(report.cut_size) + " bytes missing; the " +
               number(report.source_bytes - report.bytes_written) + " bytes from offset " +
               number(report.bytes_written) + " on are not in " + to + "\n";
    }
    // Standard output holds the copy: the report goes to standard error then.
    bool toError(const FileResult& result) const override {
        return result.outcome == Outcome::failed || toOutput();
    }

    std::string counts(const Tally& tally) const override {
        return std::to_string(tally[Outcome::salvaged]) + " salvaged, " + Copy::counts(tally);
    }

private:
    const char* doneWord() const override { return "salvaged"; }
};

}  // namespace

std::unique_ptr<Command> copyCommand(const Settings& settings) {
    return std::make_unique<Copy>(settings);
}

std::unique_ptr<Command> salvageCommand(const Settings& settings) {
    return std::make_unique<Salvage>(settings);
}

}  // namespace marlune::cli
