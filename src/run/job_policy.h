// What a job may do: one answer for every part of a run (the options' check, the
// plan, the steps, the counts, the records) and for every front end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "marlune.h"

namespace marlune::run {

// What a job with its flags does; the rest of the library asks this, never the flags.
struct JobPolicy {
    bool copies = false;          // copy or salvage into the destination folder
    bool converts = false;        // convert, each file to its ".kv"
    bool verifies = false;        // verify: the destination compared, nothing changed
    bool mirrors = false;         // a copy that brings every file, link and folder
    bool dryRun = false;          // MARLUNE_RUN_JUDGE_ONLY: judged and told, nothing written
    bool writes = false;          // anything at all: a copy, a conversion, a link, a folder, a deletion, a manifest
    bool deletes = false;         // a mirror's deletions (in a dry run only told)
    bool hashes = false;          // each copy's SHA-256, for a manifest
    bool writesManifest = false;  // a manifest named is written (verify reads one)
    bool oneFolder = false;       // one source folder, added with place "": it is paired with the destination
};

JobPolicy policyOf(std::int32_t job, std::uint32_t flags);

// What marlune_run_options ask for, as far as the check needs it.
struct JobRequest {
    std::int32_t job = MARLUNE_JOB_EXAMINE;
    std::uint32_t flags = 0;
    std::int32_t durability = MARLUNE_DURABLE_NONE;
    bool destination = false;  // a destination folder is named
    bool manifest = false;     // a manifest is named
    std::uint64_t maxDelete = 0;
};

// MARLUNE_OK when the options go together; else the refusal (MARLUNE_RUN_JOB_REFUSED, or
// MARLUNE_NO_DESTINATION_NAME for a job that needs one), and in `why`, when given, the sentence.
std::int32_t checkJob(const JobRequest& request, std::string* why = nullptr);

// Whether one more path may be added to a run of the policy, after `added` others.
std::int32_t checkAdd(const JobPolicy& policy, std::size_t added, const char* place, std::string* why = nullptr);

}  // namespace marlune::run
