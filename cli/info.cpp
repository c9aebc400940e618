// info: what a user needs to know of a file before or after a copy, judged by
// the library's own examination.
#include "commands.h"

namespace marlune::cli {
namespace {

// What the library says of the file, after its name; a folder is looked inside with -r.
std::string verdict(const std::string& said) {
    return said == "is a folder, not a file" ? said + " (-r looks inside it)" : said;
}

// The record's facts, each told only where the examination knows it.
std::string block(const std::string& path, const FileResult& result, const Record& record) {
    std::string out = path + ": " + verdict(result.reason) + "\n";
    const auto line = [&out](const std::string& name, const std::string& value) {
        out += "  " + name + std::string(15 - name.size(), ' ') + value + "\n";
    };
    std::string size, magic, hex, lengthKind, mode, offset, preamble, chunks, payload, lengths;
    if (record.field("size", size)) line("size", size + " bytes");
    if (record.field("magic", magic)) {
        const bool wrong = result.status == MARLUNE_NOT_A_CONTAINER && record.field("magicHex", hex);
        line("magic", magic + (wrong ? " (hex " + hex + ")" : ""));
    }
    const bool fixed = record.field("chunkLengths", lengthKind) && lengthKind == "fixed";
    if (record.field("lengthMode", mode) && record.field("dataOffset", offset)) {
        line("lengthMode", mode + ": " + (fixed ? "fixed 330-byte payloads" : "each chunk gives its payload length"));
        line("dataOffset",
             offset + (record.field("preambleBytes", preamble) ? " (preamble: " + preamble + " bytes)" : ""));
    }
    if (record.field("chunks", chunks) && record.field("payloadBytes", payload)) {
        line("chunks", chunks + (result.status == MARLUNE_OK ? "" : " complete"));
        line("payload", payload + " bytes");
        record.field("lengthFieldsToRewrite", lengths);
        if (fixed) {
            line("length fields",
                 lengths == "0" ? "all 330" : lengths + " of " + chunks + " not 330; a copy sets them to 330");
        }
    }
    return out;
}

class Info : public Command {
public:
    explicit Info(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "info"; }
    marlune_run_options job() const override { return jobOf(MARLUNE_JOB_EXAMINE, settings_); }

    FileResult single(const std::string&) override {
        marlune_report report = emptyReport();
        marlune_reader input{sizeof input, 0, 0, nullptr, nullptr};
        marlune_standard_input(&input);
        const std::int32_t status = marlune_examine_stream(&input, &report);
        FileResult result = judged(MARLUNE_JOB_EXAMINE, status, report);
        // Standard input has no name that would make it a suspect.
        result.outcome = marlune_file_outcome(MARLUNE_JOB_EXAMINE, status);
        return result;
    }

    std::string text(const std::string& file, const FileResult& result, const Record& record) const override {
        return result.judged() ? block(file, result, record) : file + ": " + result.reason + "\n";
    }
    // Its verdicts are its output; only what it could not even look at is an error.
    bool toError(const FileResult& result) const override { return !result.judged(); }
    bool blocks() const override { return true; }

    std::string counts(const Tally& tally) const override {
        return std::to_string(tally[MARLUNE_OUTCOME_COMPLETE]) + " complete, " +
               std::to_string(tally[MARLUNE_OUTCOME_SKIPPED]) + " skipped (not a container), " +
               std::to_string(tally[MARLUNE_OUTCOME_FAILED]) + " failed" + countsIfMet(tally) + "\n";
    }
    // One file's verdict says all there is.
    bool summaryShown(const Tally& tally) const override { return tally.files() > 1; }
    bool writes() const override { return false; }

private:
    const Settings& settings_;
};

}  // namespace

std::unique_ptr<Command> infoCommand(const Settings& settings) {
    return std::make_unique<Info>(settings);
}

}  // namespace marlune::cli
