// copy, salvage and convert: calls of the library's interface for programs, as
// any host makes them.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "marlune.h"

namespace marlune::cli {
namespace {

constexpr const char* partialSuffix = ".marlune-partial";

FileResult judged(std::int32_t status, const marlune_report& report) {
    FileResult result;
    result.hasStatus = true;
    result.status = status;
    result.report = report;
    result.reason = reasonOf(status, report);
    return result;
}

FileList single(const std::string& source) {
    FileList list;
    list.files.push_back(source);
    return list;
}

BatchSettings batchSettings(const char* command, const Settings& settings) {
    BatchSettings batch;
    batch.command = command;
    batch.workers = settings.workers;
    batch.json = settings.json;
    batch.verbose = settings.verbose;
    batch.quiet = settings.quiet;
    batch.dryRun = settings.dryRun;
    batch.progress = settings.progress;
    return batch;
}

bool sourceUnusable(std::int32_t status) {
    return status >= MARLUNE_NO_SOURCE_NAME && status <= MARLUNE_SOURCE_NOT_A_FILE;
}

// What a conversion would do, judged without writing: the order of the checks
// is the library's (the source is opened, then the .kv name looked at, then the
// container read).
FileResult wouldConvert(const std::string& file, const std::string& destination, bool force) {
    marlune_report report = emptyReport();
    const std::int32_t status = marlune_examine(file.c_str(), &report);
    if (!sourceUnusable(status) && !force && fileExists(destination)) {
        FileResult result = judged(MARLUNE_DESTINATION_EXISTS, report);
        result.outcome = Outcome::kept;
        return result;
    }
    FileResult result = judged(status, report);
    result.outcome = status == MARLUNE_OK                ? Outcome::wouldConvert
                     : status == MARLUNE_NOT_A_CONTAINER ? Outcome::skipped
                                                         : Outcome::failed;
    return result;
}

FileResult leftPartial() {
    FileResult result;
    result.outcome = Outcome::skipped;
    result.reason = "a partial file left by a conversion that stopped; the recording is whole at its own name";
    return result;
}

// What a crash left is removed, unless a conversion (here or elsewhere) still writes it.
FileResult removePartial(const std::string& file) {
    marlune_report report = emptyReport();
    FileResult result = judged(marlune_remove_partial(file.c_str(), &report), report);
    switch (result.status) {
        case MARLUNE_OK:
            result.outcome = Outcome::partialRemoved;
            result.reason = "a partial file left by a conversion that stopped; the recording is whole at its own name";
            break;
        case MARLUNE_PARTIAL_IN_USE:
            result.outcome = Outcome::skipped;
            result.reason = "a partial file a conversion is still writing";
            break;
        case MARLUNE_SOURCE_MISSING:
            // Its conversion ended meanwhile.
            result.outcome = Outcome::skipped;
            result.reason = "a partial file, gone meanwhile";
            break;
        default:
            result.outcome = Outcome::failed;
            result.reason = "cannot remove the partial file: " + result.reason;
            break;
    }
    return result;
}

FileResult convertOne(const std::string& file, JobProgress& progress, const Settings& settings) {
    if (endsWith(file, partialSuffix)) {
        // A conversion's own unfinished file: converting it would make a ".kv" of half a recording.
        return settings.dryRun ? leftPartial() : removePartial(file);
    }
    const bool converted = endsWith(file, ".kv");
    const std::string destination = converted ? std::string() : convertedName(file);
    FileResult result;
    if (settings.dryRun && converted) {
        result = judged(MARLUNE_ALREADY_CONVERTED, emptyReport());
    } else if (settings.dryRun) {
        result = wouldConvert(file, destination, settings.force);
    } else {
        marlune_options options = progress.options();
        options.replace = settings.force ? 1 : 0;
        marlune_report report = emptyReport();
        result = judged(marlune_convert(file.c_str(), &options, &report), report);
        switch (result.status) {
            case MARLUNE_OK:
            case MARLUNE_FINISHED:
                result.outcome = result.status == MARLUNE_OK ? Outcome::converted : Outcome::finished;
                if (report.system_error != 0) {
                    result.reason +=
                        "; removing the source failed (system error " + std::to_string(report.system_error) + ")";
                }
                break;
            case MARLUNE_ALREADY_CONVERTED:
                result.outcome = Outcome::alreadyKv;
                break;
            case MARLUNE_NOT_A_CONTAINER:
                result.outcome = Outcome::skipped;
                break;
            case MARLUNE_DESTINATION_EXISTS:
                result.outcome = Outcome::kept;
                break;
            default:
                result.outcome = Outcome::failed;
                break;
        }
    }
    if (result.status == MARLUNE_ALREADY_CONVERTED) result.outcome = Outcome::alreadyKv;
    if (result.outcome == Outcome::skipped) result.reason = "not a container";
    result.destination = destination;
    return result;
}

// An earlier file of the run that takes a file's .kv name.
struct Collision {
    std::size_t earlier;
    bool sameFile;  // the file itself, named again (by the same name or another)
};

// Files of the run that would convert to one .kv name, or one file named twice:
// the first in the run's order is converted, and each other one is told which
// file takes its name. Judged before any work, so that no conversion of the run
// replaces another's .kv, not even with --force.
std::vector<std::optional<Collision>> collisions(const FileList& list) {
    std::vector<std::optional<Collision>> found(list.files.size());
    std::map<FileId, std::size_t> sources;
    std::map<Place, std::size_t> destinations;
    for (std::size_t i = 0; i < list.files.size(); ++i) {
        const std::string& file = list.files[i];
        // Neither is converted: a .kv is left alone, a partial file never makes one.
        if (endsWith(file, ".kv") || endsWith(file, partialSuffix)) continue;
        FileId id{};
        // What is no file, the library tells of, under each name.
        if (!regularFileId(file, id)) continue;
        if (const auto [earlier, first] = sources.emplace(id, i); !first) {
            found[i] = Collision{earlier->second, true};
            continue;
        }
        Place place;
        if (!placeOf(convertedName(file), place)) continue;
        if (const auto [earlier, first] = destinations.emplace(place, i); !first) {
            found[i] = Collision{earlier->second, false};
        }
    }
    return found;
}

FileResult collided(const std::string& file, const Collision& collision, const FileList& list) {
    const std::string& earlier = list.files[collision.earlier];
    FileResult result;
    result.outcome = Outcome::collision;
    result.destination = convertedName(file);
    result.reason = collision.sameFile
                        ? "the same file as " + earlier + ", named earlier in this run"
                        : earlier + ", named earlier in this run, takes the name " + result.destination;
    result.json = ", \"takenBy\": " + jsonString(earlier);
    return result;
}

std::string salvageText(const std::string& source, const std::string& destination, const FileResult& result) {
    const marlune_report& report = result.report;
    if (result.status == MARLUNE_OK) {
        return source + ": complete container, copied as it is to " + destination + "\n";
    }
    const std::uint64_t lost = report.source_bytes - report.bytes_written;
    const std::string piece = report.cut_offset == report.bytes_written ? "the header" : "the payload";
    return source + ": salvaged to " + destination + ": " + std::to_string(report.chunks) + " whole chunks kept, " +
           std::to_string(report.bytes_written) + " bytes\n  lost: " + piece + " of chunk " +
           std::to_string(report.chunk_number) + " at offset " + std::to_string(report.cut_offset) + " is cut short, " +
           std::to_string(report.cut_missing) + " of its " + std::to_string(report.cut_size) + " bytes missing; the " +
           std::to_string(lost) + " bytes from offset " + std::to_string(report.bytes_written) + " on are not in " +
           destination + "\n";
}

}  // namespace

int copyCommand(const Settings& settings) {
    const std::string& destination = settings.operands[1];
    BatchSettings batch = batchSettings("copy", settings);
    batch.summaryText = false;
    return runBatch(single(settings.operands[0]), batch, [&](std::size_t, const std::string& source, JobProgress& progress) {
        marlune_options options = progress.options();
        options.placement = settings.inPlace ? MARLUNE_IN_PLACE : MARLUNE_BESIDE;
        marlune_report report = emptyReport();
        FileResult result = judged(marlune_copy(source.c_str(), destination.c_str(), &options, &report), report);
        result.outcome = result.status == MARLUNE_OK ? Outcome::copied : Outcome::failed;
        result.destination = destination;
        return result;
    });
}

int salvageCommand(const Settings& settings) {
    const std::string& destination = settings.operands[1];
    BatchSettings batch = batchSettings("salvage", settings);
    batch.summaryText = false;
    return runBatch(single(settings.operands[0]), batch, [&](std::size_t, const std::string& source, JobProgress& progress) {
        marlune_options options = progress.options();
        options.salvage = 1;
        marlune_report report = emptyReport();
        FileResult result = judged(marlune_copy(source.c_str(), destination.c_str(), &options, &report), report);
        result.destination = destination;
        if (result.status == MARLUNE_OK || result.status == MARLUNE_SALVAGED) {
            result.outcome = result.status == MARLUNE_OK ? Outcome::copied : Outcome::salvaged;
            result.text = salvageText(source, destination, result);
            const bool cut = result.status == MARLUNE_SALVAGED;
            result.json = ", \"chunksKept\": " + std::to_string(report.chunks) +
                          ", \"lostFromOffset\": " + (cut ? std::to_string(report.bytes_written) : "null") +
                          ", \"lostBytes\": " + std::to_string(cut ? report.source_bytes - report.bytes_written : 0);
        } else {
            result.outcome = Outcome::failed;
            const bool cannot = result.status >= MARLUNE_NOT_A_CONTAINER && result.status <= MARLUNE_PREAMBLE_CUT;
            result.reason = (cannot ? "cannot be salvaged: " : "salvage failed: ") + result.reason;
        }
        return result;
    });
}

int convertCommand(const FileList& list, const Settings& settings) {
    const std::vector<std::optional<Collision>> found = collisions(list);
    return runBatch(list, batchSettings("convert", settings),
                    [&](std::size_t index, const std::string& file, JobProgress& progress) {
                        if (found[index]) return collided(file, *found[index], list);
                        FileResult result = convertOne(file, progress, settings);
                        result.json += ", \"takenBy\": null";
                        return result;
                    });
}

}  // namespace marlune::cli
