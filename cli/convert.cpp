// convert: every file to its .kv name, in groups put on stable storage together,
// or judged for a dry run; the library's run settles collisions and partial files.
#include "commands.h"

namespace marlune::cli {
namespace {

constexpr const char* leftPartial =
    "a partial file left by a conversion that stopped; the recording is whole at its own name";

bool isPartial(const std::string& file) {
    const std::string suffix = ".marlune-partial";
    return file.size() >= suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0;
}

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

    FileResult judge(const Answer& answer) const override {
        FileResult result = judged(answer, MARLUNE_JOB_CONVERT);
        result.json.raw("takenBy", "null");
        switch (result.status) {
            case MARLUNE_OK:
            case MARLUNE_FINISHED:
                result.outcome = result.status == MARLUNE_FINISHED ? Outcome::finished
                                 : settings_.dryRun                ? Outcome::wouldConvert
                                                                   : Outcome::converted;
                break;
            case MARLUNE_ALREADY_CONVERTED:
                result.outcome = Outcome::alreadyKv;
                break;
            case MARLUNE_NOT_A_CONTAINER:
                result.outcome = Outcome::skipped;
                result.reason = "not a container";
                break;
            case MARLUNE_DESTINATION_EXISTS:
                result.outcome = Outcome::kept;
                break;
            case MARLUNE_RUN_COLLISION:
            case MARLUNE_NAMED_TWICE:
                result.outcome = Outcome::collision;
                result.reason =
                    result.status == MARLUNE_NAMED_TWICE
                        ? "the same file as " + answer.other + ", named earlier in this run"
                        : answer.other + ", named earlier in this run, takes the name " + answer.destination;
                result.json = Json().text("takenBy", answer.other);
                break;
            default:
                result.outcome = Outcome::failed;
                if (isPartial(answer.file)) partial(result);
                break;
        }
        return result;
    }

    std::string text(const std::string& file, const FileResult& result) const override {
        const std::string& to = result.destination;
        if (settings_.dryRun) {
            switch (result.outcome) {
                case Outcome::wouldConvert:
                    return file + ": would convert to " + to + "\n";
                case Outcome::alreadyKv:
                    return file + ": already .kv\n";
                case Outcome::skipped:
                    return file + ": would skip: " + result.reason + "\n";
                case Outcome::kept:
                    return file + ": would keep " + to + ": it exists\n";
                case Outcome::collision:
                    return file + ": would not convert: " + result.reason + "\n";
                case Outcome::finished:
                    return file + ": would finish: " + to + " holds its conversion already\n";
                default:
                    return file + ": would fail: " + result.reason + "\n";
            }
        }
        switch (result.outcome) {
            case Outcome::failed:
                return file + ": " + (settings_.quiet ? "not converted" : result.reason) + "\n";
            case Outcome::kept:
                return file + ": kept " + to + ": it exists (--force replaces it)\n";
            case Outcome::collision:
                return file + ": not converted" + (settings_.quiet ? "" : ": " + result.reason) + "\n";
            default:
                break;
        }
        if (!settings_.verbose) return {};
        switch (result.outcome) {
            case Outcome::alreadyKv:
                return file + ": already .kv\n";
            case Outcome::skipped:
                return file + ": skipped: " + result.reason + "\n";
            case Outcome::finished:
                return file + ": finished: " + to + " held its conversion already\n";
            case Outcome::partialRemoved:
                return file + ": removed: " + result.reason + "\n";
            default:
                return file + ": converted to " + to + "\n";
        }
    }

    std::string counts(const Tally& tally) const override {
        const auto part = [&tally](Outcome outcome, const char* words) {
            return std::to_string(tally[outcome]) + words;
        };
        // What only a crash or an odd list brings is told only when met.
        const auto ifAny = [&](Outcome outcome, const std::string& words) {
            return tally[outcome] == 0 ? std::string() : words;
        };
        const std::string collided = ifAny(
            Outcome::collision, ", " + part(Outcome::collision, " colliding (named twice, or one .kv name for two)"));
        if (settings_.dryRun) {
            return part(Outcome::wouldConvert, " to convert, ") +
                   ifAny(Outcome::finished, part(Outcome::finished, " to finish, ")) +
                   part(Outcome::alreadyKv, " already .kv, ") + part(Outcome::skipped, " to skip (not a container), ") +
                   part(Outcome::kept, " to keep (.kv exists), ") + part(Outcome::failed, " refused") + collided + "\n";
        }
        return part(Outcome::converted, " converted, ") +
               ifAny(Outcome::finished, part(Outcome::finished, " finished, ")) +
               part(Outcome::alreadyKv, " already .kv, ") + part(Outcome::skipped, " skipped (not a container), ") +
               part(Outcome::kept, " kept (.kv exists), ") + part(Outcome::failed, " failed") + collided + "\n" +
               ifAny(Outcome::partialRemoved, counted(tally[Outcome::partialRemoved], "partial file", "partial files") +
                                                  " of conversions stopped by a crash removed\n");
    }
    bool summaryShown(const Tally&) const override { return true; }

private:
    // A partial file that a crash left, which the run removes unless a conversion (here
    // or elsewhere) still writes it; converting it would make a .kv of half a recording.
    static void partial(FileResult& result) {
        result.outcome = Outcome::skipped;
        result.destination.clear();
        switch (result.status) {
            case MARLUNE_RUN_PARTIAL_REMOVED:
            case MARLUNE_RUN_PARTIAL_LEFT:
                result.outcome =
                    result.status == MARLUNE_RUN_PARTIAL_REMOVED ? Outcome::partialRemoved : Outcome::skipped;
                result.reason = leftPartial;
                break;
            case MARLUNE_PARTIAL_IN_USE:
                result.reason = "a partial file a conversion is still writing";
                break;
            case MARLUNE_SOURCE_MISSING:
                result.reason = "a partial file, gone meanwhile";
                break;
            default:
                result.outcome = Outcome::failed;
                result.reason = "cannot remove the partial file: " + result.reason;
                break;
        }
    }

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
    return options;
}

std::unique_ptr<Command> convertCommand(const Settings& settings) {
    return std::make_unique<Convert>(settings);
}

}  // namespace marlune::cli
