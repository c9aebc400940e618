#include "run/outcome.h"

#include <cstddef>

#include "boundary/operations.h"
#include "run/paths.h"

namespace marlune::run {
namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameLetters(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::int32_t converted(bool dryRun, std::int32_t status) {
    switch (status) {
        case MARLUNE_OK:
            return dryRun ? MARLUNE_OUTCOME_WOULD_CONVERT : MARLUNE_OUTCOME_CONVERTED;
        case MARLUNE_FINISHED:
            return MARLUNE_OUTCOME_FINISHED;
        case MARLUNE_ALREADY_CONVERTED:
            return MARLUNE_OUTCOME_ALREADY_KV;
        case MARLUNE_DESTINATION_EXISTS:
            return MARLUNE_OUTCOME_KEPT;
        default:
            return MARLUNE_OUTCOME_FAILED;
    }
}

// A copy's or salvage's outcome by its status alone (not a container's findings).
std::int32_t copied(std::int32_t job, std::int32_t status) {
    if (status == MARLUNE_OK) return MARLUNE_OUTCOME_COPIED;
    return job == MARLUNE_JOB_SALVAGE && status == MARLUNE_SALVAGED ? MARLUNE_OUTCOME_SALVAGED
                                                                     : MARLUNE_OUTCOME_FAILED;
}

}  // namespace

bool namedAsContainer(const std::string& path, const std::string& extensions) {
    const std::string name = nameOf(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return false;
    const std::string extension = name.substr(dot + 1);
    for (std::size_t from = 0; from <= extensions.size();) {
        std::size_t comma = extensions.find(',', from);
        if (comma == std::string::npos) comma = extensions.size();
        if (comma > from && sameLetters(extension, extensions.substr(from, comma - from))) return true;
        from = comma + 1;
    }
    return false;
}

bool showsSourceError(std::int32_t status) {
    return statusIs(status, MARLUNE_CLASS_SOURCE_ERROR);
}

std::int32_t unfinishedOutcome(std::int32_t status) {
    if (statusIs(status, MARLUNE_CLASS_CANCELLED)) return MARLUNE_OUTCOME_CANCELLED;
    if (statusIs(status, MARLUNE_CLASS_COLLISION)) return MARLUNE_OUTCOME_COLLISION;
    if (statusIs(status, MARLUNE_CLASS_DIFFERENT)) return MARLUNE_OUTCOME_DIFFERENT;
    return MARLUNE_OUTCOME_FAILED;
}

std::int32_t copiedAsIsOutcome(const Step& step, const StepFile& file, std::int32_t finding) {
    if (statusIs(finding, MARLUNE_CLASS_DAMAGED)) return MARLUNE_OUTCOME_DAMAGED;
    if (statusIs(finding, MARLUNE_CLASS_NOT_A_CONTAINER) && namedAsContainer(file.source, step.suspects)) {
        return MARLUNE_OUTCOME_SUSPECT;
    }
    return MARLUNE_OUTCOME_COPIED_AS_IS;
}

std::int32_t partialRemovalOutcome(std::int32_t status) {
    switch (status) {
        case MARLUNE_RUN_PARTIAL_REMOVED:
            return MARLUNE_OUTCOME_PARTIAL_REMOVED;
        case MARLUNE_PARTIAL_IN_USE:
        case MARLUNE_SOURCE_MISSING:
            return MARLUNE_OUTCOME_SKIPPED;
        default:
            return unfinishedOutcome(status);
    }
}

std::int32_t verifiedOutcome(std::int32_t status) {
    return status == MARLUNE_OK ? MARLUNE_OUTCOME_MATCHED : unfinishedOutcome(status);
}

std::int32_t outcomeOf(const Step& step, const StepFile& file, std::int32_t status) {
    if (statusIs(status, MARLUNE_CLASS_CANCELLED | MARLUNE_CLASS_COLLISION)) return unfinishedOutcome(status);
    switch (status) {
        case MARLUNE_RUN_PARTIAL_REMOVED:
            return MARLUNE_OUTCOME_PARTIAL_REMOVED;
        case MARLUNE_RUN_PARTIAL_LEFT:
            return MARLUNE_OUTCOME_SKIPPED;
        case MARLUNE_NOT_A_CONTAINER:
            return namedAsContainer(file.source, step.suspects) ? MARLUNE_OUTCOME_SUSPECT : MARLUNE_OUTCOME_SKIPPED;
        default:
            break;
    }
    switch (step.job) {
        case MARLUNE_JOB_EXAMINE:
            return status == MARLUNE_OK ? MARLUNE_OUTCOME_COMPLETE : MARLUNE_OUTCOME_FAILED;
        case MARLUNE_JOB_COPY:
        case MARLUNE_JOB_SALVAGE:
            return copied(step.job, status);
        default:
            break;
    }
    // A partial file in use, or gone meanwhile, is left to whoever has it.
    if (endsWith(file.source, partialSuffix) && status != MARLUNE_OK) return partialRemovalOutcome(status);
    return converted(step.policy().dryRun, status);
}

std::int32_t fileOutcome(std::int32_t job, std::int32_t status) {
    if (statusIs(status, MARLUNE_CLASS_CANCELLED)) return MARLUNE_OUTCOME_CANCELLED;
    switch (job) {
        case MARLUNE_JOB_EXAMINE:
            return status == MARLUNE_OK                ? MARLUNE_OUTCOME_COMPLETE
                   : status == MARLUNE_NOT_A_CONTAINER ? MARLUNE_OUTCOME_SKIPPED
                                                       : MARLUNE_OUTCOME_FAILED;
        // Named on its own, a file was meant to be a container: one that is not fails.
        case MARLUNE_JOB_COPY:
        case MARLUNE_JOB_SALVAGE:
            return copied(job, status);
        case MARLUNE_JOB_CONVERT:
            return converted(false, status);
        case MARLUNE_JOB_VERIFY:
            return verifiedOutcome(status);
        default:
            return -1;
    }
}

}  // namespace marlune::run
