// What became of a file of a run, decided once from the job, the flags, the
// status and the file's name, so that every front end counts alike.
#pragma once

#include <cstdint>
#include <string>

#include "run/step.h"

namespace marlune::run {

// Whether the last component's extension is one of `extensions` (comma-separated,
// without dots, any letter case).
bool namedAsContainer(const std::string& path, const std::string& extensions);

// MARLUNE_OUTCOME_* of `file` of `step` that ended with `status`.
std::int32_t outcomeOf(const Step& step, const StepFile& file, std::int32_t status);

// The outcome of a file whose work ended with `status` short of done: cancelled,
// collided, found different by a verify, or failed.
std::int32_t unfinishedOutcome(std::int32_t status);

// A mirror's copy made byte for byte of a source whose examination found `finding`:
// damaged, a suspect (named as a container, but none), or a plain file copied as is.
std::int32_t copiedAsIsOutcome(const Step& step, const StepFile& file, std::int32_t finding);

// What removing a partial file that a stopped run left came to: removed, left to
// whoever still writes it (or gone meanwhile), or failed.
std::int32_t partialRemovalOutcome(std::int32_t status);

// What a verify found of a file: matched, different, cancelled or failed.
std::int32_t verifiedOutcome(std::int32_t status);

// The outcome of one file of a single call (not in a run) of `job`; -1 for no job.
std::int32_t fileOutcome(std::int32_t job, std::int32_t status);

// Whether a copy's `status` says the source could not be read whole (a folder or file
// that cannot be read or has gone, a failed read): the source's listing may then lack
// what it holds, so a mirror deletes nothing after it.
bool showsSourceError(std::int32_t status);

}  // namespace marlune::run
