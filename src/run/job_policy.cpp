#include "run/job_policy.h"

namespace marlune::run {

JobPolicy policyOf(std::int32_t job, std::uint32_t flags) {
    const auto has = [flags](std::uint32_t flag) { return (flags & flag) != 0; };
    JobPolicy policy;
    policy.copies = job == MARLUNE_JOB_COPY || job == MARLUNE_JOB_SALVAGE;
    policy.converts = job == MARLUNE_JOB_CONVERT;
    policy.verifies = job == MARLUNE_JOB_VERIFY;
    policy.mirrors = policy.copies && has(MARLUNE_RUN_MIRROR);
    // Whatever else is set: a dry run never writes.
    policy.dryRun = has(MARLUNE_RUN_JUDGE_ONLY);
    policy.writes = (policy.copies || policy.converts) && !policy.dryRun;
    policy.deletes = policy.mirrors && has(MARLUNE_RUN_DELETE);
    // A digest is of use to a manifest alone: checksums compare the bytes themselves.
    policy.hashes = policy.mirrors && has(MARLUNE_RUN_SHA256);
    policy.writesManifest = policy.mirrors && policy.writes;
    // Deletions and verify pair each source entry with the destination's: one tree against one.
    policy.oneFolder = policy.verifies || policy.deletes;
    return policy;
}

namespace {

std::int32_t refused(std::int32_t status, const char* sentence, std::string* why) {
    if (why) *why = sentence;
    return status;
}

}  // namespace

std::int32_t checkJob(const JobRequest& request, std::string* why) {
    const auto has = [&request](std::uint32_t flag) { return (request.flags & flag) != 0; };
    if (request.job < MARLUNE_JOB_EXAMINE || request.job > MARLUNE_JOB_VERIFY) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "no job has that value", why);
    }
    const JobPolicy policy = policyOf(request.job, request.flags);
    if ((policy.copies || policy.verifies) && !request.destination) {
        return refused(MARLUNE_NO_DESTINATION_NAME, "a copy and verify need a destination folder", why);
    }
    if (has(MARLUNE_RUN_MIRROR) && !policy.copies) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "a mirror is a copy's (copy, salvage)", why);
    }
    if ((has(MARLUNE_RUN_CHECKSUM) || has(MARLUNE_RUN_DELETE)) && !policy.mirrors) {
        return refused(MARLUNE_RUN_JOB_REFUSED,
                       "checksum and delete need a mirror, which copies a folder under its sources' names", why);
    }
    if (request.manifest && !policy.mirrors && !policy.verifies) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "a manifest is written by a mirror and read by verify", why);
    }
    // Examinations and verify only read; a plain copy has no judging of its own.
    if (policy.dryRun && !policy.converts && !policy.mirrors) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "a dry run is of convert and of a mirror", why);
    }
    if (policy.dryRun && request.manifest && !policy.verifies) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "a dry run writes no manifest", why);
    }
    if (has(MARLUNE_RUN_KV_NAMES) && !policy.copies) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "kv names are the names of copies (copy, salvage)", why);
    }
    // Copies under other names than their sources' would all look extra to a deletion.
    if (has(MARLUNE_RUN_KV_NAMES) && policy.mirrors) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "a mirror keeps its sources' names: no kv names", why);
    }
    if (has(MARLUNE_RUN_REPLACE) && !policy.converts) {
        return refused(MARLUNE_RUN_JOB_REFUSED,
                       "replacing an existing .kv is of convert (copies replace what is at their names)", why);
    }
    if (request.durability != MARLUNE_DURABLE_NONE && !policy.copies) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "durability is of copies (copy, salvage)", why);
    }
    if ((has(MARLUNE_RUN_DELETE_FROM_EMPTY) || request.maxDelete != 0) && !policy.deletes) {
        return refused(MARLUNE_RUN_JOB_REFUSED, "deleting from an empty source and a most to delete go with delete",
                       why);
    }
    if (why) why->clear();
    return MARLUNE_OK;
}

std::int32_t checkAdd(const JobPolicy& policy, std::size_t added, const char* place, std::string* why) {
    if (policy.oneFolder && (added != 0 || !place || *place)) {
        return refused(MARLUNE_RUN_JOB_REFUSED,
                       "a mirror that deletes, and verify, take one source folder whose entries go straight into "
                       "the destination",
                       why);
    }
    if (why) why->clear();
    return MARLUNE_OK;
}

}  // namespace marlune::run
