// The run engine's exported functions: options read as far as their size says,
// and nothing thrown past them.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "boundary/api.h"
#include "boundary/operations.h"
#include "marlune.h"
#include "platform/folders.h"
#include "run/engine.h"
#include "run/job_policy.h"
#include "run/outcome.h"
#include "run/reason.h"
#include "run/roots.h"
#include "run/step.h"

// A step's answers, whose sentences and digests the results point into, the
// caller's until marlune_step_texts_free.
struct marlune_step_texts {
    std::vector<marlune::run::FileAnswer> answers;
};

struct marlune_run {
    marlune_run(marlune::run::Job job, marlune::run::Bounds bounds)
        : policy(marlune::run::policyOf(job.job, job.flags)),
          destination(job.root),
          manifest(!job.manifest.empty()),
          engine(std::move(job), bounds) {}
    marlune::run::JobPolicy policy;
    std::string destination;
    bool manifest;
    bool destinationLooked = false;  // by the start, or the first step planned
    marlune::run::Engine engine;
};

namespace marlune {
namespace {

template <typename Work>
auto guarded(Work work, decltype(work()) failed) noexcept -> decltype(work()) {
    try {
        return work();
    } catch (...) {  // no memory for a name or a listing
        return failed;
    }
}

bool succeeded(std::int32_t status) {
    return statusIs(status, MARLUNE_CLASS_DONE);
}

// The caller's options as far as their size says; the defaults for the rest.
marlune_run_options readOptions(const marlune_run_options* options) {
    marlune_run_options given{};
    given.size = sizeof given;
    if (options) {
        const std::uint32_t size = std::min<std::uint32_t>(options->size, sizeof given);
        std::memcpy(&given, options, std::max<std::uint32_t>(size, 0));
        given.size = size;
    }
    return given;
}

template <typename Member, typename Value>
Value taken(const marlune_run_options& given, Member member, Value fallback) {
    return holds(given.size, member) ? given.*member : fallback;
}

run::JobRequest requestOf(const marlune_run_options& given) {
    run::JobRequest request;
    request.job = taken(given, &marlune_run_options::job, std::int32_t{MARLUNE_JOB_EXAMINE});
    request.flags = taken(given, &marlune_run_options::flags, std::uint32_t{0});
    request.durability = taken(given, &marlune_run_options::durability, std::int32_t{MARLUNE_DURABLE_NONE});
    const char* destination = taken(given, &marlune_run_options::destination, static_cast<const char*>(nullptr));
    const char* manifest = taken(given, &marlune_run_options::manifest, static_cast<const char*>(nullptr));
    request.destination = destination && *destination;
    request.manifest = manifest && *manifest;
    request.maxDelete = taken(given, &marlune_run_options::max_delete, std::uint64_t{0});
    return request;
}

std::int32_t openRun(const marlune_run_options* options, marlune_run** run) {
    const marlune_run_options given = readOptions(options);
    const auto take = [&](auto member, auto fallback) { return taken(given, member, fallback); };
    const run::JobRequest request = requestOf(given);
    if (const std::int32_t refused = run::checkJob(request); refused != MARLUNE_OK) return refused;
    const run::JobPolicy policy = run::policyOf(request.job, request.flags);
    run::Job job;
    job.job = request.job;
    job.flags = request.flags;
    job.durability = request.durability;
    if (policy.copies || policy.verifies) job.root = take(&marlune_run_options::destination, "");
    if (request.manifest) {
        job.manifest = take(&marlune_run_options::manifest, "");
        if (policy.mirrors) job.flags |= MARLUNE_RUN_SHA256;
    }
    job.maxDelete = request.maxDelete;
    const char* suspects = take(&marlune_run_options::suspect_extensions, static_cast<const char*>(nullptr));
    if (suspects) job.suspects = suspects;
    if (job.durability < MARLUNE_DURABLE_NONE || job.durability > MARLUNE_DURABLE_DATA_AND_NAME) {
        job.durability = MARLUNE_DURABLE_DATA_AND_NAME;  // the safest
    }

    run::Bounds bounds;
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    bounds.workers = std::min(take(&marlune_run_options::workers, 0u), 9999u);
    if (bounds.workers == 0) bounds.workers = processors;
    // Writes are committed together; a group of files that are only read saves the
    // hand-over between threads that one file a group costs, and stays short.
    bounds.groupFiles = take(&marlune_run_options::group_files, 0u);
    if (bounds.groupFiles == 0) bounds.groupFiles = policy.writes ? 256 : 16;
    bounds.groupBytes = take(&marlune_run_options::group_bytes, std::uint64_t{0});
    if (bounds.groupBytes == 0) bounds.groupBytes = std::uint64_t{256} << 20;
    const std::uint32_t opens = take(&marlune_run_options::open_files, 0u);
    bounds.openFiles = opens != 0 ? opens : platform::openFilesAllowed();
    bounds.window = take(&marlune_run_options::window, 0u);
    if (bounds.window == 0) bounds.window = 4 * std::size_t{bounds.workers};
    *run = new marlune_run(std::move(job), bounds);
    return MARLUNE_OK;
}

// The destination, looked at once before the first work of the run.
std::int32_t lookAtDestination(marlune_run& run) {
    if (run.destinationLooked) return MARLUNE_OK;
    const std::int32_t status = run::checkDestination(platform::unicodeOs(), run.policy, run.destination).status;
    run.destinationLooked = status == MARLUNE_OK;
    return status;
}

run::RootCheck checkRoot(const marlune_run_options* options, const char* path, const char* place) {
    const marlune_run_options given = readOptions(options);
    const run::JobRequest request = requestOf(given);
    if (const std::int32_t refused = run::checkJob(request); refused != MARLUNE_OK) return {refused, 0};
    const run::JobPolicy policy = run::policyOf(request.job, request.flags);
    if (path) {
        if (!*path) return {MARLUNE_NO_SOURCE_NAME, 0};
        return run::checkSource(platform::unicodeOs(), policy, path, place);
    }
    const char* destination = taken(given, &marlune_run_options::destination, static_cast<const char*>(nullptr));
    if (!policy.copies && !policy.verifies) return {};
    return run::checkDestination(platform::unicodeOs(), policy, destination);
}

}  // namespace
}  // namespace marlune

using marlune::guarded;

extern "C" {

MARLUNE_API int32_t MARLUNE_CALL marlune_run_open(const marlune_run_options* options, marlune_run** run) {
    if (!run) return MARLUNE_RUN_BAD_STATE;
    *run = nullptr;
    return guarded([&] { return marlune::openRun(options, run); }, MARLUNE_OUT_OF_MEMORY);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_check(const marlune_run_options* options, char* text, uint32_t size) {
    return guarded(
        [&]() -> int32_t {
            std::string why;
            const int32_t status = marlune::run::checkJob(marlune::requestOf(marlune::readOptions(options)), &why);
            if (text && size > why.size()) std::memcpy(text, why.c_str(), why.size() + 1);
            return status;
        },
        MARLUNE_OUT_OF_MEMORY);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_check_root(const marlune_run_options* options, const char* path,
                                                        const char* place, int32_t* system_error) {
    if (system_error) *system_error = 0;
    return guarded(
        [&]() -> int32_t {
            const marlune::run::RootCheck checked = marlune::checkRoot(options, path, place);
            if (system_error) *system_error = checked.systemError;
            return checked.status;
        },
        MARLUNE_OUT_OF_MEMORY);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_add(marlune_run* run, const char* path, const char* place) {
    if (!run) return MARLUNE_RUN_BAD_STATE;
    return guarded(
        [&]() -> int32_t {
            if (path && *path && marlune::run::needsFolder(run->policy, place)) {
                const std::int32_t status = marlune::run::checkSource(marlune::platform::unicodeOs(), run->policy, path, place).status;
                if (status != MARLUNE_OK) return status;
            }
            return run->engine.add(path, place);
        },
        MARLUNE_OUT_OF_MEMORY);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_keep(marlune_run* run, const char* path) {
    if (!run) return MARLUNE_RUN_BAD_STATE;
    return guarded([&] { return run->engine.keep(path); }, MARLUNE_OUT_OF_MEMORY);
}

MARLUNE_API void MARLUNE_CALL marlune_run_note(marlune_run* run, int32_t status) {
    if (run) run->engine.note(status);
}

MARLUNE_API void MARLUNE_CALL marlune_run_note_result(marlune_run* run, const marlune_run_result* result) {
    if (!run || !result) return;
    guarded(
        [&] {
            run->engine.noteResult(*result);
            return 0;
        },
        0);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_file_outcome(int32_t job, int32_t status) {
    return marlune::run::fileOutcome(job, status);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_start(marlune_run* run) {
    if (!run) return MARLUNE_RUN_BAD_STATE;
    return guarded(
        [&]() -> int32_t {
            if (const std::int32_t status = marlune::lookAtDestination(*run); status != MARLUNE_OK) return status;
            return run->engine.start();
        },
        MARLUNE_OUT_OF_MEMORY);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_next(marlune_run* run, marlune_run_result* result, int32_t timeout_ms) {
    if (!run || !result) return MARLUNE_RUN_ENDED;
    return guarded([&] { return run->engine.next(*result, timeout_ms); }, MARLUNE_RUN_ENDED);
}

MARLUNE_API void MARLUNE_CALL marlune_run_counts(marlune_run* run, marlune_run_tally* counts) {
    if (run && counts && counts->size >= 8) run->engine.counts(*counts);
}

MARLUNE_API void MARLUNE_CALL marlune_run_cancel(marlune_run* run) {
    if (run) run->engine.cancel();
}

MARLUNE_API void MARLUNE_CALL marlune_run_close(marlune_run* run) {
    delete run;
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_plan_next(marlune_run* run, char* step, uint32_t size, uint32_t* length) {
    if (!run || !length) return MARLUNE_RUN_BAD_STATE;
    return guarded(
        [&]() -> int32_t {
            if (const std::int32_t status = marlune::lookAtDestination(*run); status != MARLUNE_OK) return status;
            return run->engine.planNext(step, size, *length);
        },
        MARLUNE_RUN_BAD_STATE);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_finish_folders(marlune_run* run) {
    if (!run) return MARLUNE_RUN_BAD_STATE;
    return guarded([&] { return run->engine.finishFolders(); }, MARLUNE_RUN_BAD_STATE);
}

MARLUNE_API uint32_t MARLUNE_CALL marlune_step_files(const char* step, uint32_t length) {
    return guarded(
        [&] {
            marlune::run::Step decoded;
            return marlune::run::decode(step, length, decoded) ? static_cast<uint32_t>(decoded.files.size()) : 0u;
        },
        0u);
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_step(const char* step, uint32_t length, marlune_run_result* results,
                                                  uint32_t count, marlune_step_texts** texts) {
    if (texts) *texts = nullptr;
    return guarded(
        [&]() -> int32_t {
            marlune::run::Step decoded;
            std::vector<marlune::run::StepText> names;
            if (!marlune::run::decode(step, length, decoded, &names) || (count < decoded.files.size()) ||
                (!results && !decoded.files.empty())) {
                return MARLUNE_RUN_BAD_STATE;
            }
            // Made before the work and the answers moved in after it, so that none is lost
            // for want of memory to keep it once the files have changed.
            std::unique_ptr<marlune_step_texts> kept(texts ? new marlune_step_texts : nullptr);
            std::vector<marlune::run::FileAnswer> made = marlune::run::runStep(decoded, {});
            if (kept) kept->answers = std::move(made);
            const std::vector<marlune::run::FileAnswer>& answers = kept ? kept->answers : made;
            int32_t first = MARLUNE_OK;
            for (std::size_t i = 0; i < answers.size(); ++i) {
                marlune_run_result& result = results[i];
                using marlune::holds;
                if (holds(result.size, &marlune_run_result::status)) result.status = answers[i].status;
                if (holds(result.size, &marlune_run_result::index)) result.index = decoded.files[i].index;
                if (holds(result.size, &marlune_run_result::path)) result.path = names[i].source;
                if (holds(result.size, &marlune_run_result::destination)) result.destination = names[i].destination;
                if (holds(result.size, &marlune_run_result::other)) result.other = names[i].other;
                if (holds(result.size, &marlune_run_result::report)) {
                    marlune::handBackReport(result.report, answers[i].report);
                }
                if (holds(result.size, &marlune_run_result::outcome)) result.outcome = answers[i].outcome;
                if (holds(result.size, &marlune_run_result::reason)) {
                    result.reason = kept ? answers[i].reason.c_str() : nullptr;
                }
                if (holds(result.size, &marlune_run_result::sha256)) {
                    result.sha256 = kept && !answers[i].sha256.empty() ? answers[i].sha256.c_str() : nullptr;
                }
                if (first == MARLUNE_OK && !marlune::succeeded(answers[i].status)) first = answers[i].status;
            }
            if (texts) *texts = kept.release();
            return first;
        },
        MARLUNE_OUT_OF_MEMORY);
}

MARLUNE_API void MARLUNE_CALL marlune_step_texts_free(marlune_step_texts* texts) {
    delete texts;
}

MARLUNE_API int32_t MARLUNE_CALL marlune_run_manifest_status(marlune_run* run, int32_t* system_error) {
    int error = 0;
    const int32_t status = run ? run->engine.manifestStatus(error) : MARLUNE_RUN_BAD_STATE;
    if (system_error) *system_error = error;
    return status;
}

MARLUNE_API uint32_t MARLUNE_CALL marlune_report_reason(int32_t job, int32_t status, const marlune_report* report,
                                                        char* text, uint32_t size) {
    return guarded(
        [&]() -> uint32_t {
            const std::string reason = marlune::run::reasonFor(job, status, report);
            const auto needed = static_cast<uint32_t>(reason.size() + 1);
            if (text && size >= needed) std::memcpy(text, reason.c_str(), needed);
            return needed;
        },
        0u);
}

MARLUNE_API const char* MARLUNE_CALL marlune_outcome_name(int32_t outcome) {
    static const char* const names[] = {
        "converted", "copied",       "salvaged", "complete",        "would-convert", "already-kv", "skipped",
        "kept",      "failed",       "finished", "partial-removed", "collision",     "cancelled",  "suspect",
        "unchanged", "copied-as-is", "damaged",  "linked",          "deleted",       "matched",    "different",
        "restored",
    };
    if (outcome < 0 || static_cast<std::size_t>(outcome) >= sizeof names / sizeof names[0]) return nullptr;
    return names[outcome];
}

}  // extern "C"
