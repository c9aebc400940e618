// convert: every file to its .kv name, in groups put on stable storage together,
// or judged for a dry run; the library's run settles collisions and partial files.
#include "commands.h"

namespace marlune::cli {
namespace {

class Convert : public Command {
public:
    explicit Convert(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "convert"; }
    bool dryRun() const override { return settings_.dryRun; }

    marlune_run_options job() const override {
        marlune_run_options options = jobOf(MARLUNE_JOB_CONVERT, settings_);
        if (settings_.dryRun) options.flags |= MARLUNE_RUN_JUDGE_ONLY;
        if (settings_.force) options.flags |= MARLUNE_RUN_REPLACE;
        return options;
    }

    std::string text(const std::string& file, const FileResult& result, const Record&) const override {
        const std::string& to = result.destination;
        if (settings_.dryRun) {
            switch (result.outcome) {
                case MARLUNE_OUTCOME_WOULD_CONVERT:
                    return file + ": would convert to " + to + "\n";
                case MARLUNE_OUTCOME_ALREADY_KV:
                    return file + ": already .kv\n";
                case MARLUNE_OUTCOME_SKIPPED:
                case MARLUNE_OUTCOME_SUSPECT:
                    return file + ": would skip: " + result.reason + "\n";
                case MARLUNE_OUTCOME_KEPT:
                    return file + ": would keep " + to + ": it exists\n";
                case MARLUNE_OUTCOME_COLLISION:
                    return file + ": would not convert: " + result.reason + "\n";
                case MARLUNE_OUTCOME_FINISHED:
                    return file + ": would finish: " + to + " holds its conversion already\n";
                default:
                    return file + ": would fail: " + result.reason + "\n";
            }
        }
        switch (result.outcome) {
            case MARLUNE_OUTCOME_FAILED:
                return file + ": " + (settings_.quiet ? "not converted" : result.reason) + "\n";
            case MARLUNE_OUTCOME_KEPT:
                return file + ": kept " + to + ": it exists (--force replaces it)\n";
            case MARLUNE_OUTCOME_COLLISION:
                return file + ": not converted" + (settings_.quiet ? "" : ": " + result.reason) + "\n";
            default:
                break;
        }
        if (!settings_.verbose) return {};
        switch (result.outcome) {
            case MARLUNE_OUTCOME_ALREADY_KV:
                return file + ": already .kv\n";
            case MARLUNE_OUTCOME_SKIPPED:
            case MARLUNE_OUTCOME_SUSPECT:
                return file + ": skipped: " + result.reason + "\n";
            case MARLUNE_OUTCOME_FINISHED:
                return file + ": finished: " + to + " held its conversion already\n";
            case MARLUNE_OUTCOME_PARTIAL_REMOVED:
                return file + ": removed: " + result.reason + "\n";
            case MARLUNE_OUTCOME_CANCELLED:
                return file + ": not converted: " + result.reason + "\n";
            default:
                return file + ": converted to " + to + "\n";
        }
    }

    std::string counts(const Tally& tally) const override {
        const auto part = [&tally](std::int32_t outcome, const char* words) {
            return std::to_string(tally[outcome]) + words;
        };
        // What only a crash or an odd list brings is told only when met.
        const auto ifAny = [&](std::int32_t outcome, const std::string& words) {
            return tally[outcome] == 0 ? std::string() : words;
        };
        const std::string collided =
            ifAny(MARLUNE_OUTCOME_COLLISION,
                  ", " + part(MARLUNE_OUTCOME_COLLISION, " colliding (named twice, or one .kv name for two)")) +
            countsIfMet(tally);
        if (settings_.dryRun) {
            return part(MARLUNE_OUTCOME_WOULD_CONVERT, " to convert, ") +
                   ifAny(MARLUNE_OUTCOME_FINISHED, part(MARLUNE_OUTCOME_FINISHED, " to finish, ")) +
                   part(MARLUNE_OUTCOME_ALREADY_KV, " already .kv, ") +
                   part(MARLUNE_OUTCOME_SKIPPED, " to skip (not a container), ") +
                   part(MARLUNE_OUTCOME_KEPT, " to keep (.kv exists), ") + part(MARLUNE_OUTCOME_FAILED, " refused") +
                   collided + "\n";
        }
        const std::uint64_t removed = tally[MARLUNE_OUTCOME_PARTIAL_REMOVED];
        return part(MARLUNE_OUTCOME_CONVERTED, " converted, ") +
               ifAny(MARLUNE_OUTCOME_FINISHED, part(MARLUNE_OUTCOME_FINISHED, " finished, ")) +
               part(MARLUNE_OUTCOME_ALREADY_KV, " already .kv, ") +
               part(MARLUNE_OUTCOME_SKIPPED, " skipped (not a container), ") +
               part(MARLUNE_OUTCOME_KEPT, " kept (.kv exists), ") + part(MARLUNE_OUTCOME_FAILED, " failed") + collided +
               "\n" +
               ifAny(MARLUNE_OUTCOME_PARTIAL_REMOVED, counted(removed, "partial file", "partial files") +
                                                          " of conversions stopped by a crash removed\n");
    }
    bool summaryShown(const Tally&) const override { return true; }

private:
    const Settings& settings_;
};

}  // namespace

marlune_run_options jobOf(std::int32_t job, const Settings& settings) {
    marlune_run_options options{};
    options.size = sizeof options;
    options.job = job;
    if (settings.recursive) options.flags |= MARLUNE_RUN_RECURSIVE;
    if (settings.followLinks) options.flags |= MARLUNE_RUN_FOLLOW_LINKS;
    if (settings.kvNames) options.flags |= MARLUNE_RUN_KV_NAMES;
    if (settings.suspectExtensionsGiven) options.suspect_extensions = settings.suspectExtensions.c_str();
    return options;
}

std::unique_ptr<Command> convertCommand(const Settings& settings) {
    return std::make_unique<Convert>(settings);
}

}  // namespace marlune::cli
