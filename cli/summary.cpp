#include "summary.h"

#include "progress.h"

namespace marlune::cli {
namespace {

struct OutcomeNames {
    const char* record;   // in a file's record
    const char* summary;  // the summary's key
};
constexpr OutcomeNames outcomeNames[outcomeCount] = {
    {"converted", "converted"},
    {"copied", "copied"},
    {"salvaged", "salvaged"},
    {"complete", "complete"},
    {"would-convert", "wouldConvert"},
    {"already-kv", "alreadyKv"},
    {"skipped", "skipped"},
    {"kept", "kept"},
    {"failed", "failed"},
    {"finished", "finished"},
    {"partial-removed", "partialsRemoved"},
    {"collision", "collisions"},
    {"unchanged", "unchanged"},
    {"copied-as-is", "copiedAsIs"},
    {"damaged", "damaged"},
    {"linked", "linked"},
    {"deleted", "deleted"},
    {"matched", "matched"},
    {"different", "different"},
};

const OutcomeNames& namesOf(Outcome outcome) {
    return outcomeNames[static_cast<std::size_t>(outcome)];
}

std::uint64_t bytesPerSecond(const Tally& tally) {
    return static_cast<std::uint64_t>(tally.seconds > 0 ? static_cast<double>(tally.bytesIn) / tally.seconds : 0);
}

}  // namespace

// Its bytes count in the summary's bytes in and out.
bool isWork(Outcome outcome) {
    return outcome == Outcome::converted || outcome == Outcome::copied || outcome == Outcome::salvaged ||
           outcome == Outcome::complete || outcome == Outcome::wouldConvert || outcome == Outcome::copiedAsIs ||
           outcome == Outcome::damaged;
}

Json fileRecord(const Command& command, const std::string& file, const FileResult& result) {
    const marlune_report& report = result.report;
    const bool judged = result.hasStatus;
    const char* piece = judged ? cutPiece(result.status, report) : nullptr;
    Json json;
    json.text("record", "file").text("command", command.name()).text("file", file);
    json.textOrNull("destination", !result.destination.empty(), result.destination);
    json.text("outcome", namesOf(result.outcome).record);
    json.textOrNull("status", judged, marlune_status_name(result.status));
    json.numberOrNull("statusCode", judged, result.status).text("reason", result.reason);
    json.number("systemError", judged ? report.system_error : 0);
    json.textOrNull("cutPiece", piece != nullptr, piece ? piece : "");
    json.numberOrNull("cutOffset", piece != nullptr, report.cut_offset);
    json.numberOrNull("cutExpectedBytes", piece != nullptr, report.cut_size);
    json.numberOrNull("cutMissingBytes", piece != nullptr, report.cut_missing);
    json.numberOrNull("chunk", piece != nullptr && report.chunk_number != 0, report.chunk_number);
    json.number("bytesIn", judged ? report.source_bytes : 0).number("bytesOut", judged ? report.bytes_written : 0);
    return json.append(result.json);
}

std::string summaryText(const Command& command, const Tally& tally) {
    std::string out;
    if (tally.interrupted) {
        out += "interrupted: " + std::to_string(tally.notStarted) + " of " + std::to_string(tally.files) +
               " files not started\n";
    }
    if (tally.linksNotFollowed != 0) {
        out += counted(tally.linksNotFollowed, "symbolic link", "symbolic links") + " not followed (-L follows them)\n";
    }
    out += command.counts(tally);
    out += mebibytes(tally.bytesIn) + (command.writes() ? " in, " + mebibytes(tally.bytesOut) + " out, " : " read, ") +
           formatted("%.2f s", tally.seconds) + ", " + mebibytes(bytesPerSecond(tally)) + "/s\n";
    return out;
}

Json summaryJson(const Command& command, const Tally& tally) {
    Json json;
    json.text("record", "summary").text("command", command.name()).boolean("dryRun", command.dryRun());
    json.number("files", tally.files);
    for (std::size_t i = 0; i < outcomeCount; ++i) json.number(outcomeNames[i].summary, tally.counts[i]);
    json.number("notStarted", tally.notStarted).boolean("interrupted", tally.interrupted);
    json.number("linksNotFollowed", tally.linksNotFollowed);
    json.number("bytesIn", tally.bytesIn).number("bytesOut", tally.bytesOut);
    return json.raw("seconds", formatted("%.3f", tally.seconds)).number("bytesPerSecond", bytesPerSecond(tally));
}

}  // namespace marlune::cli
