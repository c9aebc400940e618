// Whether the files a run looked after are safe, in one sentence for the page:
// decided here from the run's counts, so that every host's page says the same.
#include <cmath>
#include <cstdio>

#include "records/records.h"
#include "records/text.h"
#include "run/job_policy.h"

namespace marlune::records {
namespace {

using Tone = Finding::Tone;

std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Against what a verify checked: "the manifest of DATE", or the source folder.
std::string checkedAgainst(const Header& header) {
    if (!header.manifest.empty()) {
        return header.manifestDate.empty() ? "the manifest " + shellEscaped(header.manifest)
                                           : "the manifest of " + header.manifestDate;
    }
    return header.source.empty() ? "its source" : shellEscaped(header.source);
}

bool manifestWritten(const Header& header, const Totals& totals) {
    return !header.manifest.empty() && totals.manifestTold && totals.manifestStatus == MARLUNE_OK;
}

}  // namespace

std::string readableBytes(std::uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return counted(bytes, "byte", "bytes");
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    // Rounded as printed: 1023.96 KiB is shown as 1.0 MiB, not 1024.0 KiB.
    while (std::round(value * 10) / 10 >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 100 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

std::string readableSeconds(double seconds) {
    char text[48];
    if (seconds < 59.95) {
        std::snprintf(text, sizeof text, seconds < 9.995 ? "%.2f s" : "%.1f s", seconds);
        return text;
    }
    const auto whole = static_cast<std::uint64_t>(std::llround(seconds));
    if (whole < 3600) {
        std::snprintf(text, sizeof text, "%llu min %llu s", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu h %llu min", static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole % 3600 / 60));
    }
    return text;
}

std::vector<Finding> verdictOf(const Header& header, const Totals& totals) {
    const run::JobPolicy policy = run::policyOf(header.job, header.flags);
    const auto count = [&totals](std::int32_t outcome) { return totals.outcomes[static_cast<std::size_t>(outcome)]; };
    const bool verify = header.job == MARLUNE_JOB_VERIFY;
    const bool examine = header.job == MARLUNE_JOB_EXAMINE;
    // An examination tells a cut container as failed: here it is a finding, not a failure.
    const std::uint64_t failed =
        count(MARLUNE_OUTCOME_FAILED) + count(MARLUNE_OUTCOME_COLLISION) - (examine ? totals.failedDamaged : 0);
    const std::uint64_t interrupted = count(MARLUNE_OUTCOME_CANCELLED) + totals.notStarted;
    const bool full = totals.stoppedBy == MARLUNE_DISK_FULL || totals.failedForRoom != 0;
    std::vector<Finding> found;

    if (full) {
        std::string sentence = failed != 0
                                   ? counted(failed, "file", "files") + " failed because the destination filled up"
                                   : std::string("The destination filled up");
        if (totals.notStarted != 0) {
            sentence +=
                (failed != 0 ? "; " : ": ") + counted(totals.notStarted, "file was", "files were") + " not started";
        }
        if (totals.bytesNotWritten != 0) sentence += " (" + readableBytes(totals.bytesNotWritten) + " more was needed)";
        found.push_back({Tone::unsafe, sentence});
    } else if (failed != 0) {
        const char* what = verify ? " could not be checked" : examine ? " could not be read" : " failed";
        found.push_back({Tone::unsafe, counted(failed, "file", "files") + what});
    }
    if (verify && count(MARLUNE_OUTCOME_DIFFERENT) != 0) {
        found.push_back({Tone::unsafe, counted(count(MARLUNE_OUTCOME_DIFFERENT), "file differs", "files differ") +
                                           " from " + checkedAgainst(header)});
    }
    if (interrupted != 0 && !full) {
        found.push_back(
            {Tone::unsafe, "The run was interrupted: " + counted(interrupted, "file was", "files were") + " not done"});
    }
    if (!header.manifest.empty() && policy.mirrors && totals.manifestTold && totals.manifestStatus != MARLUNE_OK &&
        !full && interrupted == 0) {
        found.push_back({Tone::unsafe, failed == 0 ? "Every file arrived, but its manifest was not written"
                                                   : "The manifest was not written"});
    }

    if (count(MARLUNE_OUTCOME_DAMAGED) != 0) {
        const std::uint64_t damaged = count(MARLUNE_OUTCOME_DAMAGED);
        const char* copied = policy.dryRun  ? " would be copied as they are"
                             : damaged == 1 ? " was copied as it is"
                                            : " were copied as they are";
        found.push_back({Tone::warning, counted(damaged, "recording is", "recordings are") + " damaged and" + copied});
    }
    if (count(MARLUNE_OUTCOME_SALVAGED) != 0) {
        found.push_back({Tone::warning, counted(count(MARLUNE_OUTCOME_SALVAGED), "recording was", "recordings were") +
                                            " cut short: only their whole chunks were kept"});
    }
    if (examine && totals.failedDamaged != 0) {
        found.push_back({Tone::warning, counted(totals.failedDamaged, "recording is", "recordings are") + " damaged"});
    }
    if (count(MARLUNE_OUTCOME_SUSPECT) != 0) {
        found.push_back(
            {Tone::warning, counted(count(MARLUNE_OUTCOME_SUSPECT), "file is named as a recording but holds none",
                                    "files are named as recordings but hold none")});
    }
    if (totals.files + totals.notStarted == 0) found.push_back({Tone::warning, "The run found no file"});
    if (!found.empty()) return found;

    if (verify) {
        return {{Tone::safe, "Verified against " + checkedAgainst(header) + ": all " +
                                 counted(count(MARLUNE_OUTCOME_MATCHED), "file", "files") + " matched"}};
    }
    if (policy.dryRun) return {{Tone::safe, "A dry run, nothing written: every file would arrive"}};
    if (examine) return {{Tone::safe, "Every recording is whole"}};
    if (header.job == MARLUNE_JOB_CONVERT)
        return {{Tone::safe, "Every recording was converted or needed no conversion"}};
    if (manifestWritten(header, totals)) return {{Tone::safe, "Every file arrived and its manifest is written"}};
    return {{Tone::safe, "Every file arrived"}};
}

}  // namespace marlune::records
