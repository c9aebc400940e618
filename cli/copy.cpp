// copy and salvage: one file through marlune_copy, as any host calls it.
#include "commands.h"

namespace marlune::cli {
namespace {

class Copy : public Command {
public:
    explicit Copy(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "copy"; }

    FileResult work(std::size_t, const std::string& source, JobProgress& progress) override {
        marlune_options options = progress.options();
        options.placement = settings_.inPlace ? MARLUNE_IN_PLACE : MARLUNE_BESIDE;
        marlune_report report = emptyReport();
        FileResult result = judged(marlune_copy(source.c_str(), destination().c_str(), &options, &report), report);
        result.outcome = result.status == MARLUNE_OK ? Outcome::copied : Outcome::failed;
        result.destination = destination();
        return result;
    }

    std::string text(const std::string& file, const FileResult& result) const override {
        if (result.outcome != Outcome::failed) return {};
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
    const Settings& settings_;
};

class Salvage : public Copy {
public:
    using Copy::Copy;
    const char* name() const override { return "salvage"; }

    FileResult work(std::size_t, const std::string& source, JobProgress& progress) override {
        marlune_options options = progress.options();
        options.salvage = 1;
        marlune_report report = emptyReport();
        FileResult result = judged(marlune_copy(source.c_str(), destination().c_str(), &options, &report), report);
        result.destination = destination();
        const bool cut = result.status == MARLUNE_SALVAGED;
        if (result.status == MARLUNE_OK || cut) {
            result.outcome = cut ? Outcome::salvaged : Outcome::copied;
            result.json.number("chunksKept", report.chunks);
            result.json.numberOrNull("lostFromOffset", cut, report.bytes_written);
            result.json.number("lostBytes", cut ? report.source_bytes - report.bytes_written : 0);
        } else {
            result.outcome = Outcome::failed;
            const bool cannot = factsOf(result.status).beforeChunks;
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
    bool toError(const FileResult& result) const override { return result.outcome == Outcome::failed; }

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
