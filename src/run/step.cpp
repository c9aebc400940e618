#include "run/step.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <type_traits>

#include "boundary/api.h"
#include "platform/folders.h"
#include "run/job_policy.h"
#include "run/mirror.h"
#include "run/outcome.h"
#include "run/paths.h"
#include "run/reason.h"

namespace marlune::run {
namespace {

constexpr const char* stepMagic = "marlune-step 2";
// The fewest bytes a file of a step takes: five numbers of a digit and four texts, each with its NUL.
constexpr std::size_t leastFileBytes = 5 * 2 + 4;

void field(std::string& out, const std::string& text) {
    out += text;
    out += '\0';
}

void field(std::string& out, std::uint64_t number) {
    field(out, std::to_string(number));
}

class Reader {
public:
    Reader(const char* bytes, std::size_t length) : at_(bytes), end_(bytes + length) {}
    bool text(const char*& out) {
        const void* nul = at_ < end_ ? std::memchr(at_, '\0', static_cast<std::size_t>(end_ - at_)) : nullptr;
        if (!nul) return false;
        out = at_;
        at_ = static_cast<const char*>(nul) + 1;
        return true;
    }
    // Digits alone, of a value that fits: what encode writes, and nothing cut to fit.
    template <typename Number>
    bool number(Number& out) {
        static_assert(std::is_unsigned_v<Number>, "a step's numbers are written unsigned");
        const char* text = nullptr;
        if (!this->text(text) || *text == '\0') return false;
        const char* end = text + std::strlen(text);
        const auto [at, error] = std::from_chars(text, end, out);
        return error == std::errc() && at == end;
    }
    bool atEnd() const { return at_ == end_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

private:
    const char* at_;
    const char* end_;
};

// A batch's progress callback: each file reports from 0 again.
struct Counter {
    const StepProgress& progress;
    std::uint64_t fileSeen = 0;
    std::uint64_t counted = 0;

    static std::int32_t MARLUNE_CALL onProgress(std::uint64_t done, std::uint64_t, void* context) {
        auto* self = static_cast<Counter*>(context);
        if (done < self->fileSeen) self->fileSeen = 0;
        if (self->progress.bytes) self->progress.bytes->fetch_add(done - self->fileSeen);
        self->counted += done - self->fileSeen;
        self->fileSeen = done;
        return self->progress.cancel && self->progress.cancel->load() ? 1 : 0;
    }
    // The step's files held `bytes` so far: what the callback did not tell is counted now.
    void finish(std::uint64_t bytes) {
        if (bytes <= counted) return;
        if (progress.bytes) progress.bytes->fetch_add(bytes - counted);
        counted = bytes;
    }
};

// The destination folder itself, as it was named (links on its way are the caller's), and those above it.
std::int32_t makeRoot(platform::Os& os, const std::string& root, bool durable, int& error) {
    std::uint64_t size = 0;
    platform::FileKey key;
    const platform::Kind kind = os.kindOf(root, size, key);
    if (kind == platform::Kind::folder) return MARLUNE_OK;
    if (kind != platform::Kind::missing) return MARLUNE_DESTINATION_UNCREATABLE;
    const std::string parent = folderOf(root);
    if (parent != root) {
        if (const std::int32_t made = makeRoot(os, parent, durable, error); made != MARLUNE_OK) return made;
    }
    if (!os.createFolder(root, error)) return creationFailureStatus(error);
    if (durable && !os.syncFolder(parent, error)) return MARLUNE_SYNC_ERROR;
    return MARLUNE_OK;
}

// Makes the folders from the run's destination folder down to `folder`, one
// component at a time, refusing any that is a link: a copy never lands outside.
// `ownerWrites`: each existing folder that a name is made in gets its owner's
// write permission where it lacks it (a mirror's copy of a read-only folder,
// which gets its source's mode back once the run has filled it); where that
// fails, making the name tells why.
std::int32_t makeFolders(platform::Os& os, const std::string& root, const std::string& folder, bool durable,
                         bool ownerWrites, int& error) {
    if (std::int32_t made = makeRoot(os, root, durable, error); made != MARLUNE_OK) return made;
    const auto letWrite = [&os, ownerWrites](const std::string& path) {
        int ignored = 0;
        if (ownerWrites) os.letOwnerWrite(path, ignored);
    };
    if (folder.size() <= root.size()) {
        letWrite(root);
        return MARLUNE_OK;
    }
    std::size_t at = root.size();
    std::string parent = root;
    while (at < folder.size()) {
        while (at < folder.size() && isSeparator(folder[at])) ++at;
        std::size_t end = at;
        while (end < folder.size() && !isSeparator(folder[end])) ++end;
        if (end == at) break;
        const std::string path = folder.substr(0, end);
        const platform::Kind kind = os.kindOfName(path);
        if (kind == platform::Kind::link) return MARLUNE_RUN_DESTINATION_LINK;
        if (kind == platform::Kind::missing) {
            letWrite(parent);
            if (!os.createFolder(path, error)) return creationFailureStatus(error);
            if (durable && !os.syncFolder(parent, error)) return MARLUNE_SYNC_ERROR;
            if (os.kindOfName(path) != platform::Kind::folder) return MARLUNE_RUN_DESTINATION_LINK;
        } else if (kind != platform::Kind::folder) {
            return MARLUNE_DESTINATION_UNCREATABLE;
        }
        parent = path;
        at = end;
    }
    letWrite(folder);
    return MARLUNE_OK;
}

}  // namespace

marlune_report emptyReport(std::int32_t status, std::int32_t systemError) {
    marlune_report report{};
    report.size = sizeof report;
    report.status = status;
    report.system_error = systemError;
    return report;
}

std::string encode(const Step& step) {
    std::string out;
    field(out, stepMagic);
    field(out, static_cast<std::uint64_t>(static_cast<std::uint32_t>(step.job)));
    field(out, step.flags);
    field(out, static_cast<std::uint64_t>(static_cast<std::uint32_t>(step.durability)));
    field(out, step.root);
    field(out, step.suspects);
    field(out, step.files.size());
    for (const StepFile& file : step.files) {
        field(out, static_cast<std::uint64_t>(static_cast<std::uint32_t>(file.status)));
        field(out, static_cast<std::uint64_t>(static_cast<std::uint32_t>(file.systemError)));
        field(out, file.index);
        field(out, file.bytes);
        field(out, file.source);
        field(out, file.destination);
        field(out, file.other);
        field(out, (file.link ? 1u : 0u) | (file.remove ? 2u : 0u));
        field(out, file.expected);
    }
    return out;
}

bool decode(const char* bytes, std::size_t length, Step& step, std::vector<StepText>* texts) {
    if (!bytes) return false;
    Reader reader(bytes, length);
    const char* magic = nullptr;
    const char* root = nullptr;
    const char* suspects = nullptr;
    std::size_t count = 0;
    std::uint32_t durability = 0;
    std::uint32_t job = 0;
    if (!reader.text(magic) || std::strcmp(magic, stepMagic) != 0 || !reader.number(job) ||
        !reader.number(step.flags) || !reader.number(durability) || !reader.text(root) || !reader.text(suspects) ||
        !reader.number(count) || count > reader.left() / leastFileBytes) {
        return false;  // a count the bytes cannot hold is never made room for
    }
    step.job = static_cast<std::int32_t>(job);
    step.durability = static_cast<std::int32_t>(durability);
    step.root = root;
    step.suspects = suspects;
    step.files.assign(count, StepFile{});
    if (texts) texts->assign(count, StepText{});
    for (std::size_t i = 0; i < count; ++i) {
        StepFile& file = step.files[i];
        std::uint32_t status = 0;
        std::uint32_t error = 0;
        const char* source = nullptr;
        const char* destination = nullptr;
        const char* other = nullptr;
        std::uint32_t marks = 0;
        const char* expected = nullptr;
        if (!reader.number(status) || !reader.number(error) || !reader.number(file.index) ||
            !reader.number(file.bytes) || !reader.text(source) || !reader.text(destination) || !reader.text(other) ||
            !reader.number(marks) || !reader.text(expected)) {
            return false;
        }
        file.link = (marks & 1u) != 0;
        file.remove = (marks & 2u) != 0;
        file.expected = expected;
        file.status = static_cast<std::int32_t>(status);
        file.systemError = static_cast<std::int32_t>(error);
        file.source = source;
        file.destination = destination;
        file.other = other;
        if (texts) (*texts)[i] = {source, *destination ? destination : nullptr, *other ? other : nullptr};
    }
    return reader.atEnd() && step.job >= MARLUNE_JOB_EXAMINE && step.job <= MARLUNE_JOB_VERIFY && usable(step);
}

bool usable(const Step& step) {
    const bool copying = step.job == MARLUNE_JOB_COPY || step.job == MARLUNE_JOB_SALVAGE;
    const bool mirroring = copying && (step.flags & MARLUNE_RUN_MIRROR) != 0;
    const bool needsRoot = copying || step.job == MARLUNE_JOB_VERIFY;
    if (needsRoot && step.root.empty()) return false;
    for (const StepFile& file : step.files) {
        if (file.status != 0) continue;
        if (file.remove && !mirroring) return false;  // only a mirror's step removes
        if (!needsRoot) continue;
        // A copy, a deletion or a verify acts only under its destination folder, never on it.
        const bool under = file.destination.size() > step.root.size() && liesWithin(file.destination, step.root);
        if (!under && (file.remove || !file.destination.empty())) return false;
    }
    return true;
}

namespace {

// The files the steps of this process may hold open at once, two handles a file
// of a batch call, within this process's own open-file limit: a step planned
// elsewhere may hold more files than this worker allows, and steps run side by side.
class HandleBudget {
public:
    static HandleBudget& ofProcess() {
        static HandleBudget budget(platform::openFilesAllowed());
        return budget;
    }
    // Up to `wanted` files, at least one, waiting while other steps hold the rest.
    std::size_t take(std::size_t wanted) {
        std::unique_lock<std::mutex> lock(mutex_);
        freed_.wait(lock, [this] { return free_ > 0; });
        const std::size_t got = std::min(wanted, free_);
        free_ -= got;
        return got;
    }
    void give(std::size_t files) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            free_ += files;
        }
        freed_.notify_all();
    }

private:
    // 64 handles for the rest of the process, as a run's plan keeps.
    explicit HandleBudget(std::size_t allowed) : free_(allowed > 66 ? (allowed - 64) / 2 : 1) {}
    std::mutex mutex_;
    std::condition_variable freed_;
    std::size_t free_;
};

// A step run again (a worker that died, a task retried) finds the sources it
// converted gone: a .kv that is a whole container of the source's planned size
// is taken as that conversion. Nothing is removed or replaced here.
void foundConverted(platform::Os& os, const StepFile& file, FileAnswer& answer) {
    if (answer.status != MARLUNE_SOURCE_MISSING || file.destination.empty() || file.bytes == 0) return;
    marlune_report kv = emptyReport();
    if (examineThrough(os, file.destination.c_str(), &kv) != MARLUNE_OK || kv.source_bytes != file.bytes) return;
    answer.status = MARLUNE_FINISHED;
    answer.report = emptyReport(MARLUNE_FINISHED);
}

}  // namespace

std::int32_t readyDestination(platform::Os& os, const Step& step, const StepFile& file, std::string& folderMade,
                              int& error) {
    const std::string folder = folderOf(file.destination);
    const bool mirroring = (step.flags & MARLUNE_RUN_MIRROR) != 0;
    std::int32_t made =
        folder == folderMade
            ? MARLUNE_OK
            : makeFolders(os, step.root, folder, step.durability == MARLUNE_DURABLE_DATA_AND_NAME, mirroring, error);
    // Followed, a link at the name would be written through, outside; a mirror writes
    // beside and renames over the name, which replaces the link itself.
    if (made == MARLUNE_OK && !mirroring && os.kindOfName(file.destination) == platform::Kind::link) {
        made = MARLUNE_RUN_DESTINATION_LINK;
    }
    if (made == MARLUNE_OK) folderMade = folder;
    return made;
}

namespace {

// The step's files through the batch calls (or one call a file).
std::vector<FileAnswer> runBatchStep(const Step& step, const StepProgress& progress) {
    std::vector<FileAnswer> answers(step.files.size());
    platform::Os& os = progress.os ? *progress.os : platform::unicodeOs();
    const JobPolicy policy = step.policy();
    const bool copying = policy.copies;
    const bool judgeOnly = policy.dryRun;
    Counter counter{progress};
    marlune_options options{};
    options.size = sizeof options;
    options.replace = copying || (step.flags & MARLUNE_RUN_REPLACE) != 0 ? 1 : 0;
    options.placement = MARLUNE_BESIDE;
    options.durability = copying ? step.durability : MARLUNE_DURABLE_NONE;
    options.salvage = step.job == MARLUNE_JOB_SALVAGE ? 1 : 0;
    options.progress = &Counter::onProgress;
    options.progress_context = &counter;

    std::vector<marlune_batch_file> batch;
    std::vector<std::size_t> batched;
    std::string folderMade;  // the last one: a step's files share few folders
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < step.files.size(); ++i) {
        const StepFile& file = step.files[i];
        FileAnswer& answer = answers[i];
        answer.report = emptyReport(file.status, file.systemError);
        answer.status = file.status;
        if (file.status == MARLUNE_RUN_PARTIAL_REMOVED) {
            answer.status = removePartialThrough(os, file.source.c_str(), &answer.report);
            if (answer.status == MARLUNE_OK) answer.status = answer.report.status = MARLUNE_RUN_PARTIAL_REMOVED;
            continue;
        }
        if (file.status != 0) continue;
        if (step.job == MARLUNE_JOB_EXAMINE) {
            answer.status = examineThrough(os, file.source.c_str(), &answer.report);
            bytes += answer.report.source_bytes;
            counter.finish(bytes);
            continue;
        }
        if (policy.converts && judgeOnly) {
            answer.status = judgeConvertThrough(os, file.source.c_str(), &options, &answer.report);
            bytes += answer.report.source_bytes;
            counter.finish(bytes);
            continue;
        }
        if (copying) {
            int error = 0;
            if (const std::int32_t ready = readyDestination(os, step, file, folderMade, error); ready != MARLUNE_OK) {
                answer.status = ready;
                answer.report = emptyReport(ready, error);
                progress.ended(ready);
                continue;
            }
        }
        batch.push_back({sizeof(marlune_batch_file), 0, file.source.c_str(),
                         copying ? file.destination.c_str() : nullptr, &answer.report});
        batched.push_back(i);
    }
    // A destination found full meanwhile: none of the batch begins.
    if (!batch.empty() && progress.full()) {
        for (const std::size_t i : batched) answers[i].begun = false;
        batch.clear();
    }
    if (!batch.empty()) {
        HandleBudget& budget = HandleBudget::ofProcess();
        for (std::size_t from = 0; from < batch.size();) {
            const std::size_t taken = budget.take(batch.size() - from);
            const auto count = static_cast<std::uint32_t>(taken);
            (copying ? copyBatchThrough : convertBatchThrough)(os, &batch[from], count, &options,
                                                               progress.destinationFull, progress.overlapWrites);
            budget.give(taken);
            from += taken;
        }
        for (std::size_t k = 0; k < batch.size(); ++k) {
            FileAnswer& answer = answers[batched[k]];
            answer.status = batch[k].status;
            answer.begun = answer.status != notBegun;
            if (!answer.begun) continue;
            progress.ended(answer.status);
            bytes += answer.report.source_bytes;
            if (!copying) foundConverted(os, step.files[batched[k]], answer);
        }
        counter.finish(bytes);
    }
    return answers;
}

}  // namespace

std::vector<FileAnswer> runStep(const Step& step, const StepProgress& progress) {
    // Steps come as bytes from anywhere: a job that could not have been opened does nothing.
    JobRequest request;
    request.job = step.job;
    request.flags = step.flags;
    request.durability = step.durability;
    request.destination = !step.root.empty();
    if (const std::int32_t refused = checkJob(request); refused != MARLUNE_OK) {
        std::vector<FileAnswer> answers(step.files.size());
        for (FileAnswer& answer : answers) {
            answer.status = refused;
            answer.report = emptyReport(refused);
            answer.outcome = MARLUNE_OUTCOME_FAILED;
            answer.reason = marlune_status_text(refused);
        }
        return answers;
    }
    const JobPolicy policy = step.policy();
    std::vector<FileAnswer> answers = policy.mirrors    ? runMirrorStep(step, progress)
                                      : policy.verifies ? runVerifyStep(step, progress)
                                                        : runBatchStep(step, progress);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (!answers[i].begun) continue;
        // What a dry run or a verify would have copied reached no destination.
        if (!policy.writes) answers[i].report.bytes_written = 0;
        // A mirror or a verify decides what it did itself; the rest follows from the status.
        if (answers[i].outcome < 0) answers[i].outcome = outcomeOf(step, step.files[i], answers[i].status);
        if (answers[i].reason.empty()) {
            answers[i].reason = sentenceFor(step, step.files[i], answers[i].status, answers[i].report);
        }
    }
    return answers;
}

}  // namespace marlune::run
