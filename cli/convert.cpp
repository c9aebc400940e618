// convert: every file of the list to its .kv name through marlune_convert_batch,
// in groups put on stable storage together, or judged by marlune_judge_convert
// for a dry run.
#include <map>

#include "collisions.h"
#include "commands.h"

namespace marlune::cli {
namespace {

constexpr const char* leftPartial =
    "a partial file left by a conversion that stopped; the recording is whole at its own name";

class Convert : public Command {
public:
    // A .kv file is left alone and a partial file never makes one; for the others,
    // the first of the run's files to take a .kv name (or named twice) converts.
    Convert(const Settings& settings, const FileList& list)
        : settings_(settings),
          list_(list),
          collisions_(findCollisions(
              list,
              [&list](std::size_t i) {
                  const std::string& file = list.files[i];
                  const std::string destination = kvName(file);
                  return destination == file || endsWith(file, partialSuffix) ? std::string() : destination;
              },
              true)) {}
    const char* name() const override { return "convert"; }
    bool dryRun() const override { return settings_.dryRun; }

    // A dry run writes nothing, so it has nothing to commit together.
    Grouping grouping() const override { return settings_.dryRun ? Grouping{} : Grouping{256, 256u << 20}; }

    FileResult work(std::size_t index, const std::string& file, JobProgress& progress) override {
        if (const auto collision = collisions_.find(index); collision != collisions_.end()) {
            return collided(file, collision->second);
        }
        if (endsWith(file, partialSuffix)) return partial(file);
        marlune_options options = optionsFor(progress);
        marlune_report report = emptyReport();
        const std::int32_t status = settings_.dryRun ? marlune_judge_convert(file.c_str(), &options, &report)
                                                     : marlune_convert(file.c_str(), &options, &report);
        return converted(file, status, report);
    }

    // The files that need a conversion go through one batch; the others are answered alone.
    std::vector<FileResult> workGroup(const FileList& list, std::size_t first, std::size_t count,
                                      JobProgress& progress) override {
        std::vector<FileResult> results(count);
        Batch batch(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& file = list.files[first + i];
            if (settings_.dryRun || collisions_.count(first + i) != 0 || endsWith(file, partialSuffix)) {
                results[i] = work(first + i, file, progress);
            } else {
                batch.add(i, file);
            }
        }
        batch.run(marlune_convert_batch, optionsFor(progress),
                  [&](std::size_t i, std::int32_t status, const marlune_report& report) {
                      results[i] = converted(list.files[first + i], status, report);
                  });
        return results;
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
    marlune_options optionsFor(JobProgress& progress) const {
        marlune_options options = progress.options();
        options.replace = settings_.force ? 1 : 0;
        return options;
    }

    FileResult converted(const std::string& file, std::int32_t status, const marlune_report& report) const {
        FileResult result = judged(status, report);
        result.json.raw("takenBy", "null");
        switch (result.status) {
            case MARLUNE_OK:
            case MARLUNE_FINISHED:
                result.outcome = result.status == MARLUNE_FINISHED ? Outcome::finished
                                 : settings_.dryRun                ? Outcome::wouldConvert
                                                                   : Outcome::converted;
                if (report.system_error != 0 && !settings_.dryRun) {
                    result.reason +=
                        "; removing the source failed (system error " + std::to_string(report.system_error) + ")";
                }
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
            default:
                result.outcome = Outcome::failed;
                break;
        }
        if (result.outcome != Outcome::alreadyKv) result.destination = kvName(file);
        return result;
    }

    // What a crash left is removed, unless a conversion (here or elsewhere) still writes it;
    // converting it would make a .kv of half a recording.
    FileResult partial(const std::string& file) const {
        if (settings_.dryRun) {
            FileResult result;
            result.outcome = Outcome::skipped;
            result.reason = leftPartial;
            result.json.raw("takenBy", "null");
            return result;
        }
        marlune_report report = emptyReport();
        FileResult result = judged(marlune_remove_partial(file.c_str(), &report), report);
        result.json.raw("takenBy", "null");  // as every record of convert has
        result.outcome = Outcome::skipped;
        switch (result.status) {
            case MARLUNE_OK:
                result.outcome = Outcome::partialRemoved;
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
        return result;
    }

    FileResult collided(const std::string& file, const Collision& collision) const {
        const std::string& earlier = list_.files[collision.earlier];
        FileResult result;
        result.outcome = Outcome::collision;
        result.destination = kvName(file);
        result.reason = collision.sameFile
                            ? "the same file as " + earlier + ", named earlier in this run"
                            : earlier + ", named earlier in this run, takes the name " + result.destination;
        result.json.text("takenBy", earlier);
        return result;
    }

    const Settings& settings_;
    const FileList& list_;
    std::map<std::size_t, Collision> collisions_;  // by file; few runs have any
};

}  // namespace

std::unique_ptr<Command> convertCommand(const Settings& settings, const FileList& list) {
    return std::make_unique<Convert>(settings, list);
}

}  // namespace marlune::cli
