// info: what a user needs to know of a file before or after a copy, judged by
// the library's own examination.
#include <algorithm>

#include "commands.h"
#include "console.h"

namespace marlune::cli {
namespace {

constexpr std::size_t magicSize = 4;
constexpr std::uint64_t headerSize = 82;

// A file as marlune_examine found it, and what that allows to be said.
struct Examined {
    std::int32_t status;
    const marlune_report& report;

    bool opened() const { return !notOpened(status); }
    // The header was read whole with a container magic: its fields mean something.
    bool header() const { return report.header_bytes == headerSize && status != MARLUNE_NOT_A_CONTAINER; }
    bool fixed() const { return report.length_mode <= 0; }
    bool preambleKnown() const { return header() && report.data_offset >= headerSize; }
    // The chunk area was walked: a count of complete chunks means something.
    bool walked() const { return status == MARLUNE_OK || (factsOf(status).cut && !factsOf(status).beforeChunks); }
    bool magicRead() const { return opened() && report.header_bytes >= magicSize; }
    std::size_t magicBytes() const { return std::min<std::size_t>(report.header_bytes, magicSize); }

    // The magic as read, printable: other bytes, and the quote and backslash, as \xNN.
    std::string magic() const {
        std::string text;
        for (std::size_t i = 0; i < magicBytes(); ++i) {
            const auto byte = static_cast<unsigned char>(report.magic[i]);
            if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
                text += static_cast<char>(byte);
            } else {
                text += std::string("\\x") + hexDigit(byte >> 4u) + hexDigit(byte);
            }
        }
        return text;
    }

    std::string magicHex() const {
        std::string text;
        for (std::size_t i = 0; i < magicBytes(); ++i) {
            const auto byte = static_cast<unsigned char>(report.magic[i]);
            text += std::string() + hexDigit(byte >> 4u) + hexDigit(byte);
        }
        return text;
    }

    // What the library says of the file, after its name; a folder is looked inside with -r.
    static std::string verdict(const std::string& said) {
        return said == "is a folder, not a file" ? said + " (-r looks inside it)" : said;
    }

    std::string block(const std::string& path, const std::string& reason) const {
        std::string out = path + ": " + reason + "\n";
        const auto field = [&out](const std::string& name, const std::string& value) {
            out += "  " + name + std::string(15 - name.size(), ' ') + value + "\n";
        };
        const auto number = [](std::uint64_t value) { return std::to_string(value); };
        if (opened()) field("size", number(report.source_bytes) + " bytes");
        if (magicRead()) {
            field("magic", magic() + (status == MARLUNE_NOT_A_CONTAINER ? " (hex " + magicHex() + ")" : ""));
        }
        if (header()) {
            field("lengthMode", std::to_string(report.length_mode) + ": " +
                                    (fixed() ? "fixed 330-byte payloads" : "each chunk gives its payload length"));
            field("dataOffset",
                  number(report.data_offset) +
                      (preambleKnown() ? " (preamble: " + number(report.data_offset - headerSize) + " bytes)" : ""));
        }
        if (walked()) {
            field("chunks", number(report.chunks) + (status == MARLUNE_OK ? "" : " complete"));
            field("payload", number(report.payload_bytes) + " bytes");
            const std::uint64_t other = report.length_fields_set;
            if (fixed()) {
                field("length fields", other == 0 ? "all 330"
                                                  : number(other) + " of " + number(report.chunks) +
                                                        " not 330; a copy sets them to 330");
            }
        }
        return out;
    }
};

// `-`: standard input, read to its end.
std::int32_t examineInput(marlune_report& report) {
    StreamFile input{openForReading("-")};
    const marlune_reader reader = readerOf(input);
    return marlune_examine_stream(&reader, &report);
}

class Info : public Command {
public:
    explicit Info(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "info"; }
    marlune_run_options job() const override { return jobOf(MARLUNE_JOB_EXAMINE, settings_); }

    FileResult single(const std::string&) override {
        marlune_report report = emptyReport();
        const std::int32_t status = examineInput(report);
        FileResult result = judged(MARLUNE_JOB_EXAMINE, status, report);
        // Standard input has no name that would make it a suspect.
        result.outcome = status == MARLUNE_OK                ? MARLUNE_OUTCOME_COMPLETE
                         : status == MARLUNE_NOT_A_CONTAINER ? MARLUNE_OUTCOME_SKIPPED
                                                             : MARLUNE_OUTCOME_FAILED;
        describe(result);
        return result;
    }

    void describe(FileResult& result) const override { result.reason = Examined::verdict(result.reason); }

    std::string text(const std::string& file, const FileResult& result) const override {
        if (!result.hasStatus) return file + ": " + result.reason + "\n";
        return Examined{result.status, result.report}.block(file, result.reason);
    }
    // Its verdicts are its output; only what it could not even look at is an error.
    bool toError(const FileResult& result) const override { return !result.hasStatus; }
    bool blocks() const override { return true; }

    std::string counts(const Tally& tally) const override {
        return std::to_string(tally[MARLUNE_OUTCOME_COMPLETE]) + " complete, " +
               std::to_string(tally[MARLUNE_OUTCOME_SKIPPED]) + " skipped (not a container), " +
               std::to_string(tally[MARLUNE_OUTCOME_FAILED]) + " failed" + countsIfMet(tally) + "\n";
    }
    // One file's verdict says all there is.
    bool summaryShown(const Tally& tally) const override { return tally.files > 1; }
    bool writes() const override { return false; }

private:
    const Settings& settings_;
};

}  // namespace

std::unique_ptr<Command> infoCommand(const Settings& settings) {
    return std::make_unique<Info>(settings);
}

}  // namespace marlune::cli
