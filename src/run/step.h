// A step: a group of consecutive files of a run's plan, with all a worker needs
// to do its part anywhere the paths lead to the same files, as bytes to send.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "marlune.h"
#include "platform/os.h"
#include "run/job_policy.h"

namespace marlune::run {

// A file of a step as the plan left it.
struct StepFile {
    // 0: the job's to do; else the status the plan settled (MARLUNE_RUN_PARTIAL_REMOVED:
    // a stale partial file for the worker to remove).
    std::int32_t status = 0;
    std::int32_t systemError = 0;  // of a settled status (a folder that cannot be read)
    std::uint64_t index = 0;       // in the run's order
    std::uint64_t bytes = 0;       // the source's size, as far as known
    std::string source;
    std::string destination;  // empty: none
    std::string other;        // the other file of a collision; empty: none
    bool link = false;        // a mirror's symbolic link, made anew at the destination (verify: compared)
    bool remove = false;      // a mirror's --delete: the destination file, which the source lacks
    std::string expected;     // the digest the manifest gives (verify; a mirror: the one it replaces)
};

// What every step of a run carries of its job.
struct StepJob {
    std::int32_t job = MARLUNE_JOB_EXAMINE;
    std::uint32_t flags = 0;
    std::int32_t durability = MARLUNE_DURABLE_NONE;
    std::string root;                 // copies: the destination folder
    std::string suspects = "snd,kv";  // extensions whose files should be containers
    // A mirror's: when the manifest it replaces was written (0: not known), after which a
    // copy changed is no longer what that manifest's line says. Not sent with a step's bytes.
    std::int64_t recordedAt = 0;
    JobPolicy policy() const { return policyOf(job, flags); }
};

struct Step : StepJob {
    std::vector<StepFile> files;
};

// Where a step's fields lie in its bytes, for results that point into them.
struct StepText {
    const char* source;
    const char* destination;  // null: none
    const char* other;        // null: none
};

std::string encode(const Step& step);
// False for bytes that are no whole step or no usable one; `texts` (when given) gets each
// file's strings in `bytes`.
bool decode(const char* bytes, std::size_t length, Step& step, std::vector<StepText>* texts = nullptr);
// Whether a worker may run the step: a destination folder for the jobs that need one (copies,
// verify, deletions), and every file it copies, verifies or removes under that folder.
bool usable(const Step& step);

// What a step hands a run while it works: the bytes worked through, and whether to
// stop; and the system it writes through (null: the one the library was built for),
// so that tests can put their own in front of a conversion's writes.
struct StepProgress {
    std::atomic<std::uint64_t>* bytes = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    platform::Os* os = nullptr;
    // The run's: set by the first file that finds the destination full, after which
    // no file of any step begins (null: each file of the step is worked on).
    std::atomic<bool>* destinationFull = nullptr;
    // Fewer steps were under way than workers when this one began: a large copy
    // may write on a thread of its own (a processor would sit idle otherwise).
    bool overlapWrites = false;

    bool full() const { return destinationFull && destinationFull->load(); }
    // A file that ended with `status`: the run stops when it found the destination full.
    void ended(std::int32_t status) const {
        if (status == MARLUNE_DISK_FULL && destinationFull) destinationFull->store(true);
    }
};

struct FileAnswer {
    std::int32_t status = MARLUNE_OK;
    marlune_report report{};
    std::int32_t outcome = -1;  // MARLUNE_OUTCOME_* where the step decided it; -1: from the status
    std::string reason;
    std::string sha256;  // of the copy's bytes, in hex, where they were hashed
    bool begun = true;   // false: left untouched once the destination was full
};

// Runs the step: settled files answered as the plan said, stale partial files
// removed, the copies' folders made, then one batch call (or one call a file);
// each answer with its outcome and sentence.
std::vector<FileAnswer> runStep(const Step& step, const StepProgress& progress);

// Makes the copy's folders (after `folderMade`, the last one made) and refuses a
// link on its way, and one at its name unless a mirror replaces it: MARLUNE_OK, or
// the file's status. A mirror's folders get their owner's write permission for the run.
std::int32_t readyDestination(platform::Os& os, const Step& step, const StepFile& file, std::string& folderMade,
                              int& error);

// The report of a file no call looked at.
marlune_report emptyReport(std::int32_t status = MARLUNE_OK, std::int32_t systemError = 0);

}  // namespace marlune::run
