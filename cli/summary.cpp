#include "summary.h"

#include "progress.h"

namespace marlune::cli {
namespace {

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

}  // namespace marlune::cli
