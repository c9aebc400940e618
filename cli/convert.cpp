// convert: every file of the list to its .kv name through marlune_convert_batch,
// in groups put on stable storage together, or judged by marlune_judge_convert
// for a dry run.
#include <algorithm>
#include <functional>
#include <map>
#include <tuple>

#include "commands.h"

namespace marlune::cli {
namespace {

constexpr const char* leftPartial =
    "a partial file left by a conversion that stopped; the recording is whole at its own name";

// An earlier file of the run that takes a file's .kv name.
struct Collision {
    std::size_t earlier;
    bool sameFile;  // the file itself, named again (by the same name or another)
};

// A file as findCollisions sorts it: by a hash of what it compares (the file
// itself, or the place of its .kv name), then by its place in the run.
struct Key {
    std::uint64_t hash;
    std::size_t index;
    bool operator<(const Key& other) const { return std::tie(hash, index) < std::tie(other.hash, other.index); }
};

std::uint64_t hashOf(const FileId& id) {
    const auto& [device, high, low] = id;
    return (device * 0x9E3779B97F4A7C15u) ^ (high * 0xC2B2AE3D27D4EB4Fu) ^ (low * 0x165667B19E3779F9u);
}

std::uint64_t hashOf(const Place& place) {
    return hashOf(place.folder) ^ (std::hash<std::string>{}(place.name) * 0x27D4EB2F165667C5u);
}

class Convert : public Command {
public:
    Convert(const Settings& settings, const FileList& list) : settings_(settings), list_(list) { findCollisions(); }
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

    // Files of the run that would convert to one .kv name, or one file named twice:
    // the first in the run's order is converted, each other one is told which file
    // takes its name. Found before any work, so that no conversion of the run
    // replaces another's .kv, not even with --force. Sorted keys rather than maps:
    // a few dozen bytes a file, and only while they are compared.
    void findCollisions() {
        std::vector<Key> keys;
        for (std::size_t i = 0; i < list_.files.size(); ++i) {
            const std::string& file = list_.files[i];
            FileId id{};
            // A .kv is left alone and a partial file never makes one; what is no file,
            // the library tells of, under each name.
            if (kvName(file) == file || endsWith(file, partialSuffix) || !regularFileId(file, id)) continue;
            keys.push_back({hashOf(id), i});
        }
        markLater(keys, true);
        // The same vector again, for the .kv names of the files not named earlier.
        std::size_t kept = 0;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const std::size_t index = keys[k].index;
            Place place;
            if (collisions_.count(index) == 0 && placeOf(kvName(list_.files[index]), place)) {
                keys[kept++] = {hashOf(place), index};
            }
        }
        keys.resize(kept);
        markLater(keys, false);
    }

    // Among files of one hash, each is compared with those before it in the run:
    // the first it matches takes its name.
    void markLater(std::vector<Key>& keys, bool sameFile) {
        std::sort(keys.begin(), keys.end());
        for (std::size_t start = 0, end = 0; start < keys.size(); start = end) {
            for (end = start + 1; end < keys.size() && keys[end].hash == keys[start].hash; ++end) {
            }
            for (std::size_t k = start + 1; k < end; ++k) {
                for (std::size_t earlier = start; earlier < k; ++earlier) {
                    const std::size_t first = keys[earlier].index;
                    if (collisions_.count(first) == 0 && alike(first, keys[k].index, sameFile)) {
                        collisions_.emplace(keys[k].index, Collision{first, sameFile});
                        break;
                    }
                }
            }
        }
    }

    // The same file, or the same .kv name.
    bool alike(std::size_t a, std::size_t b, bool sameFile) const {
        const std::string& one = list_.files[a];
        const std::string& other = list_.files[b];
        if (sameFile) {
            FileId first{};
            FileId second{};
            return regularFileId(one, first) && regularFileId(other, second) && first == second;
        }
        Place first;
        Place second;
        return placeOf(kvName(one), first) && placeOf(kvName(other), second) && !(first < second) && !(second < first);
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
