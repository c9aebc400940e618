// What the command takes from the library's records and gives them: the
// records' options, a file's facts and sentence, and the run's text summary.
#include "progress.h"
#include "run.h"

namespace marlune::cli {

FileResult judged(std::int32_t job, std::int32_t status, const marlune_report& report) {
    FileResult result;
    result.status = status;
    result.report = report;
    result.reason = libraryText(
        [&](char* text, std::uint32_t size) { return marlune_report_reason(job, status, &report, text, size); });
    return result;
}

std::string shown(const std::string& name) {
    return libraryText([&](char* text, std::uint32_t size) { return marlune_name_escaped(name.c_str(), text, size); });
}

bool Record::field(const char* key, std::string& value) const {
    char text[256];  // a field's value is a name, a word or a number
    const std::uint32_t bytes = marlune_records_field(records_, &result_, key, text, sizeof text);
    if (bytes > sizeof text) {
        value.assign(bytes, '\0');
        marlune_records_field(records_, &result_, key, value.data(), bytes);
    } else {
        value.assign(text, bytes);
    }
    if (!value.empty()) value.pop_back();
    return bytes != 0;
}

marlune_records_options recordsOptions(const RunSettings& settings, const Command& command,
                                       const std::vector<Operand>& operands) {
    const marlune_run_options job = command.job();
    const auto path = [](const std::string& name) { return name.empty() ? nullptr : name.c_str(); };
    marlune_records_options options{};
    options.size = sizeof options;
    options.job = job.job;
    options.flags = job.flags;
    options.command = command.name();
    options.command_line = settings.commandLine.c_str();
    options.log = path(settings.log);
    options.log_all = settings.logAll ? 1 : 0;
    options.failed_list = path(settings.failedList);
    options.suspect_list = path(settings.suspectList);
    options.csv = path(settings.csv);
    options.html = path(settings.report);
    options.destination_folder = job.destination;
    options.manifest = job.manifest;
    // One folder the files come from: the page names it (verify: what was checked against).
    if (operands.size() == 1 && !operands.front().single) options.source_folder = operands.front().path.c_str();
    return options;
}

std::string worded(const std::string& file, const FileResult& result, std::initializer_list<Words> table) {
    for (const Words& words : table) {
        if (words.outcome != result.outcome && words.outcome != anyOutcome) continue;
        std::string line = file + ": ";
        for (std::size_t i = 0; i < words.text.size(); ++i) {
            const bool filled = words.text[i] == '%' && i + 1 < words.text.size();
            if (filled && words.text[i + 1] == 't') line += result.destination;
            if (filled && words.text[i + 1] == 'r') line += result.reason;
            if (filled) ++i;
            if (!filled) line += words.text[i];
        }
        return line + "\n";
    }
    return {};
}

std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string countsIfMet(const Tally& tally) {
    const std::uint64_t suspects = tally[MARLUNE_OUTCOME_SUSPECT];
    const std::uint64_t cancelled = tally[MARLUNE_OUTCOME_CANCELLED];
    return (suspects == 0 ? "" : ", " + std::to_string(suspects) + " suspect (named as containers, but not)") +
           (cancelled == 0 ? "" : ", " + std::to_string(cancelled) + " cancelled");
}

std::string stoppedText(const Tally& tally) {
    if (tally.stopped_by != MARLUNE_DISK_FULL) return {};
    return "the destination is full: the run stopped, " + counted(tally.not_started, "file", "files") +
           " not started and " + mebibytes(tally.bytes_not_written) + " (" + std::to_string(tally.bytes_not_written) +
           " bytes) not written" + (tally.plan_complete != 0 ? "" : ", the rest of the source not looked at") +
           (tally.manifestLeft ? ", and no manifest written" : "") + "\n";
}

std::string summaryText(const Command& command, const Tally& tally) {
    std::string out;
    if (tally.interrupted || tally.stopped_by != MARLUNE_OK) {
        out += (tally.interrupted ? "interrupted: " : "stopped: ") + std::to_string(tally.not_started) + " of " +
               std::to_string(tally.files()) + " files not started\n";
    }
    if (tally.links_not_followed != 0) {
        out +=
            counted(tally.links_not_followed, "symbolic link", "symbolic links") + " not followed (-L follows them)\n";
    }
    out += command.counts(tally);
    const double perSecond = tally.seconds > 0 ? static_cast<double>(tally.bytes_read) / tally.seconds : 0;
    out += mebibytes(tally.bytes_read) +
           (command.writes() ? " in, " + mebibytes(tally.bytes_written) + " out, " : " read, ") +
           formatted("%.2f s", tally.seconds) + ", " + mebibytes(static_cast<std::uint64_t>(perSecond)) + "/s\n";
    return out;
}

}  // namespace marlune::cli
