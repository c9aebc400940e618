#include "summary.h"

#include <iterator>

#include "progress.h"

namespace marlune::cli {
namespace {

// The summary's key for each outcome it counts, in the library's order.
constexpr const char* summaryKeys[] = {
    "converted", "copied", "salvaged", "complete",        "wouldConvert", "alreadyKv", "skipped",
    "kept",      "failed", "finished", "partialsRemoved", "collisions",   "cancelled", "suspects",
};

std::uint64_t bytesPerSecond(const Tally& tally) {
    return static_cast<std::uint64_t>(tally.seconds > 0 ? static_cast<double>(tally.bytesIn) / tally.seconds : 0);
}

}  // namespace

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
    for (std::size_t i = 0; i < std::size(summaryKeys); ++i) json.number(summaryKeys[i], tally.counts[i]);
    json.number("notStarted", tally.notStarted).boolean("interrupted", tally.interrupted);
    json.number("linksNotFollowed", tally.linksNotFollowed);
    json.number("bytesIn", tally.bytesIn).number("bytesOut", tally.bytesOut);
    return json.raw("seconds", formatted("%.3f", tally.seconds)).number("bytesPerSecond", bytesPerSecond(tally));
}

}  // namespace marlune::cli
