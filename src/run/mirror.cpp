#include "run/mirror.h"

#include <cstring>
#include <memory>
#include <random>

#include "boundary/api.h"
#include "boundary/operations.h"
#include "container/layout.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/sha256.h"
#include "run/compare.h"
#include "run/outcome.h"
#include "run/paths.h"

namespace marlune::run {
namespace {

using platform::File;
using platform::Sha256;

constexpr std::size_t pieceSize = 1 << 20;

// Failed or stopped: no copy of it is put in place.
bool unfinished(const FileAnswer& answer) {
    return answer.outcome == unfinishedOutcome(answer.status);
}

// Reads an open file from its position on, for the copy core.
struct FileReader {
    File& file;
    const StepProgress& progress;
    static std::int64_t MARLUNE_CALL read(void* buffer, std::uint64_t count, std::int32_t* error, void* context) {
        auto* self = static_cast<FileReader*>(context);
        if (self->progress.cancel && self->progress.cancel->load()) {
            *error = -1;
            return -1;
        }
        const std::int64_t got =
            self->file.read(buffer, static_cast<std::size_t>(count < pieceSize ? count : pieceSize));
        if (got < 0) *error = self->file.error() ? self->file.error() : -1;
        if (got > 0 && self->progress.bytes) self->progress.bytes->fetch_add(static_cast<std::uint64_t>(got));
        return got;
    }
};

// Writes to an open file (or nowhere), hashing the bytes as they go. The copy
// core takes a writer's code as the caller's own, which says no disk is full:
// `failedWith` keeps the file's, for the mirror to tell. A copy that writes behind
// calls it from its own thread, and has ended before `failedWith` is read.
struct HashingWriter {
    File* file;
    Sha256* hash;
    int failedWith = 0;
    static std::int32_t MARLUNE_CALL write(const void* buffer, std::uint64_t count, void* context) {
        auto* self = static_cast<HashingWriter*>(context);
        if (self->hash && !self->hash->update(buffer, static_cast<std::size_t>(count))) return -1;
        if (self->file && !self->file->write(buffer, static_cast<std::size_t>(count))) {
            self->failedWith = self->file->error();
            return self->failedWith ? self->failedWith : -1;
        }
        return 0;
    }
};

std::string digestOf(Sha256& hash) {
    Sha256::Digest digest{};
    return hash.finish(digest) ? platform::hexOf(digest) : std::string();
}

// Copies the rest of `source` to `destination` (or nowhere) as it is; the status.
std::int32_t copyBytes(File& source, File* destination, Sha256* hash, const StepProgress& progress,
                       marlune_report& report) {
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[pieceSize]);
    if (!buffer) return MARLUNE_OUT_OF_MEMORY;
    for (;;) {
        if (progress.cancel && progress.cancel->load()) return MARLUNE_CANCELLED;
        const std::int64_t got = source.read(buffer.get(), pieceSize);
        if (got < 0) {
            report.system_error = source.error();
            return MARLUNE_READ_ERROR;
        }
        if (got == 0) return MARLUNE_OK;
        const auto size = static_cast<std::size_t>(got);
        if (hash && !hash->update(buffer.get(), size)) return MARLUNE_OUT_OF_MEMORY;
        if (destination && !destination->write(buffer.get(), size)) {
            report.system_error = destination->error();
            return writeFailureStatus(destination->error());
        }
        report.bytes_written += destination ? size : 0;
        report.source_bytes += size;
        if (progress.bytes) progress.bytes->fetch_add(size);
    }
}

// One file of the step, from its opening to its move.
struct Mirrored {
    File source;
    File partial;
    std::string partialName;
    platform::FileState seen;  // the source's when it was opened
    Sha256 hash;
    bool pending = false;  // written, waiting to be moved into place
    bool noCopyThere = false;  // the destination's name was found to hold no regular file
    bool rotted = false;   // the copy there no longer held the digest recorded when it was written
};

class MirrorStep {
public:
    MirrorStep(const Step& step, const StepProgress& progress)
        : step_(step),
          progress_(progress),
          policy_(step.policy()),
          os_(progress.os ? *progress.os : platform::unicodeOs()),
          answers_(step.files.size()),
          files_(step.files.size()),
          comparer_(step.job == MARLUNE_JOB_SALVAGE) {}

    std::vector<FileAnswer> run() {
        std::string folderMade;
        for (std::size_t i = 0; i < step_.files.size(); ++i) {
            const StepFile& file = step_.files[i];
            FileAnswer& answer = answers_[i];
            if (progress_.full()) {
                answer.begun = false;
                continue;
            }
            answer.status = file.status;
            answer.report = emptyReport(file.status, file.systemError);
            if (file.status == MARLUNE_RUN_PARTIAL_REMOVED) {
                removeStalePartial(file, answer);
                continue;
            }
            if (file.status != 0) continue;
            if (file.remove) {
                // Nothing is made for a deletion.
            } else if (!judgeOnly()) {
                int error = 0;
                const std::int32_t ready = readyDestination(os_, step_, file, folderMade, error);
                if (ready != MARLUNE_OK) {
                    fail(answer, ready, error);
                    progress_.ended(answer.status);
                    continue;
                }
            }
            if (file.remove) {
                removeExtra(file, answer);
            } else {
                file.link ? mirrorLink(file, answer) : mirrorFile(file, answer, files_[i]);
            }
            progress_.ended(answer.status);
        }
        moveIntoPlace();
        return std::move(answers_);
    }

private:
    bool has(std::uint32_t flag) const { return (step_.flags & flag) != 0; }
    bool judgeOnly() const { return !policy_.writes; }
    bool hashing() const { return policy_.hashes; }
    marlune_options copyOptions() const {
        marlune_options options{};
        options.size = sizeof options;
        options.replace = 1;
        options.salvage = step_.job == MARLUNE_JOB_SALVAGE ? 1 : 0;
        return options;
    }

    static void fail(FileAnswer& answer, std::int32_t status, int error) {
        answer.status = status;
        answer.outcome = unfinishedOutcome(status);
        answer.report.status = status;
        answer.report.system_error = error;
    }

    // What copying the open source gives: a container's copy, else its bytes; into
    // `destination` (or only hashed). The answer's status and outcome say which.
    void copyInto(const StepFile& file, Mirrored& mirrored, File* destination, FileAnswer& answer) {
        FileReader reader{mirrored.source, progress_};
        HashingWriter writer{destination, hashing() ? &mirrored.hash : nullptr};
        const marlune_reader from{sizeof(marlune_reader), 1, mirrored.source.sizeAtOpen(), &FileReader::read, &reader};
        const marlune_writer to{sizeof(marlune_writer), 0, &HashingWriter::write, &writer};
        const marlune_options options = copyOptions();
        // Beside a copy the run has no other work for, the writer (and so the digest)
        // runs on a thread of its own.
        answer.status = copyStreamThrough(&from, &to, &options, &answer.report, progress_.overlapWrites);
        if (answer.status == MARLUNE_WRITE_ERROR && writer.failedWith != 0) {
            answer.status = answer.report.status = writeFailureStatus(writer.failedWith);
        }
        if (answer.status == MARLUNE_READ_ERROR && progress_.cancel && progress_.cancel->load()) {
            answer.status = MARLUNE_CANCELLED;
        }
        if (answer.status == MARLUNE_OK || answer.status == MARLUNE_SALVAGED) {
            answer.outcome = answer.status == MARLUNE_OK ? MARLUNE_OUTCOME_COPIED : MARLUNE_OUTCOME_SALVAGED;
            return;
        }
        if (!isContainerFinding(answer.status)) return fail(answer, answer.status, answer.report.system_error);
        // Not a container, or a damaged one: its bytes as they are, read again from the start.
        // The same open files, so the source stays the one whose state was taken.
        const std::int32_t finding = answer.status;
        const marlune_report found = answer.report;
        if (!mirrored.source.rewind()) return fail(answer, MARLUNE_READ_ERROR, mirrored.source.error());
        if (hashing()) digestOf(mirrored.hash);  // starts it again
        if (destination && destination->position() != 0 && (!destination->truncate(0) || !destination->rewind())) {
            return fail(answer, writeFailureStatus(destination->error()), destination->error());
        }
        answer.report = emptyReport();
        const std::int32_t copied =
            copyBytes(mirrored.source, destination, hashing() ? &mirrored.hash : nullptr, progress_, answer.report);
        if (copied != MARLUNE_OK) return fail(answer, copied, answer.report.system_error);
        answer.outcome = copiedAsIsOutcome(step_, file, finding);
        if (answer.outcome == MARLUNE_OUTCOME_COPIED_AS_IS) {
            answer.status = MARLUNE_OK;
            answer.report.status = MARLUNE_OK;
        } else {
            // A damaged recording's cut, or what a suspect holds, stays in the report: the
            // copy is the file as it is, never "repaired".
            const std::uint64_t written = answer.report.bytes_written;
            const std::uint64_t read = answer.report.source_bytes;
            answer.report = found;
            answer.report.bytes_written = written;
            answer.report.source_bytes = read;
            answer.status = finding;
        }
    }

    // Readable by its owner alone until it is complete and has its source's mode: a
    // private recording's copy is never open to others, nor is what a stopped run leaves.
    // Marked in use, so that another run clearing partial files leaves it; a name that
    // another took first, or a file another marked in the moment before the mark, is
    // tried again under a new name.
    bool createPartial(const std::string& destination, Mirrored& mirrored, FileAnswer& answer) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            mirrored.partialName = partialNameFor(destination, 0, nextTag());
            if (!mirrored.partial.createNew(os_, mirrored.partialName.c_str(), platform::Access::ownerAlone)) {
                if (platform::kindOf(mirrored.partial.error()) == platform::ErrorKind::exists) continue;
                break;
            }
            if (os_.markInUse(mirrored.partial.handle())) return true;
            mirrored.partial.close();
            os_.deleteFile(mirrored.partialName.c_str());
        }
        fail(answer, creationFailureStatus(mirrored.partial.error()), mirrored.partial.error());
        return false;
    }

    // A partial file's tag, from a generator seeded for the step at its first partial file.
    std::uint64_t nextTag() {
        if (!tagsSeeded_) {
            tags_.seed(randomTag());
            tagsSeeded_ = true;
        }
        return tags_();
    }

    // The digest the replaced manifest recorded for the copy, unless the copy changed
    // since (`changed`: its change time, 0 where not known), as one written by a run
    // without the manifest: empty then, and the source is hashed.
    std::string carried(const StepFile& file, std::int64_t changed) const {
        const bool since = changed != 0 && step_.recordedAt != 0 && changed > step_.recordedAt;
        return since ? std::string() : file.expected;
    }

    // The source read again from its start, after a pass that only hashed it.
    static void rewind(Mirrored& mirrored) {
        if (!mirrored.source.rewind()) mirrored.source.close();
    }

    // The destination matches the source already: by size and time, or with checksums
    // by content. Its manifest line is the digest the replaced manifest recorded, or
    // else what a copy of the source gives; never the destination's bytes, which may
    // have rotted since they were written.
    bool unchanged(const StepFile& file, Mirrored& mirrored, FileAnswer& answer) {
        // A link at the name is no copy, whatever it leads to: the copy replaces it.
        if (mirrored.noCopyThere || os_.kindOfName(file.destination) != platform::Kind::file) return false;
        const bool byContent = has(MARLUNE_RUN_CHECKSUM);
        std::string digest;
        std::int64_t copyChanged = 0;
        {
            File copy;
            if (!copy.openForReading(os_, file.destination.c_str())) return false;
            const platform::FileState& source = mirrored.seen;
            platform::FileState destination;
            // Checksums with no recorded digest to tell a rot by need the copy's size alone,
            // known from its opening.
            const bool stateWanted = !byContent || !file.expected.empty();
            if (stateWanted && !os_.fileState(copy.handle(), destination)) return false;
            copyChanged = destination.changed;
            // Size and time: what the copy was given when written.
            const bool asItsSource =
                stateWanted && source.size == destination.size && source.modified == destination.modified;
            if (!byContent && !asItsSource) return false;
            if (byContent && !holdsACopy(file, mirrored, copy, asItsSource)) return false;
            if (byContent && hashing()) digest = digestOf(mirrored.hash);
        }
        if (!byContent) digest = carried(file, copyChanged);
        if (hashing() && digest.empty()) {
            FileAnswer expected;
            expected.report = emptyReport();
            copyInto(file, mirrored, nullptr, expected);
            const bool read = !unfinished(expected);
            digest = digestOf(mirrored.hash);  // and the hash starts again for the copy
            if (!read) {
                rewind(mirrored);
                return false;
            }
        }
        answer.status = MARLUNE_OK;
        answer.outcome = MARLUNE_OUTCOME_UNCHANGED;
        answer.report = emptyReport();
        answer.report.source_bytes = mirrored.seen.size;
        if (hashing()) answer.sha256 = digest;
        platform::FileAttributes sourceNow;
        platform::FileAttributes copyNow;
        if (os_.regularFileAttributes(file.destination, copyNow) && os_.regularFileAttributes(file.source, sourceNow)) {
            keepAttributes(file, sourceNow, copyNow, answer);
        }
        return true;
    }

    // With checksums: whether the copy holds what copying the source gives now, its
    // digest then in `mirrored.hash` where the run hashes. One that does not, yet still
    // has its source's size and time (`asItsSource`) but no longer the digest recorded
    // when it was written, changed on the destination: told apart from a changed source
    // (whose copy has another time, or was rewritten since). Only then is it hashed.
    bool holdsACopy(const StepFile& file, Mirrored& mirrored, File& copy, bool asItsSource) {
        marlune_report read = emptyReport();
        const std::int32_t compared =
            comparer_.compare(mirrored.source, copy, hashing() ? &mirrored.hash : nullptr, progress_, read);
        if (compared == MARLUNE_OK) return true;
        if (hashing()) digestOf(mirrored.hash);  // starts it again for the copy
        if (compared == MARLUNE_VERIFY_DIFFERENT && asItsSource && !file.expected.empty() && copy.rewind()) {
            Sha256 copyHash;
            const StepProgress uncounted{nullptr, progress_.cancel};
            const bool hashed = comparer_.hashRest(copy, copyHash, uncounted, read) == MARLUNE_OK;
            mirrored.rotted = hashed && digestOf(copyHash) != file.expected;
        }
        if (mirrored.source.position() != 0) rewind(mirrored);  // sizes that differ read nothing
        return false;
    }

    // Size and time alike by their names alone: nothing opened, as a rerun mostly finds.
    // A manifest's line is carried over from the one replaced.
    // A name found to hold no regular file is noted, and not looked at again.
    bool unchangedByName(const StepFile& file, FileAnswer& answer, Mirrored& mirrored) {
        platform::FileAttributes source;
        platform::FileAttributes copy;
        if (has(MARLUNE_RUN_CHECKSUM)) return false;
        if (!os_.regularFileAttributes(file.destination, copy)) {
            mirrored.noCopyThere = true;
            return false;
        }
        if ((hashing() && carried(file, copy.changed).empty()) || !os_.regularFileAttributes(file.source, source) ||
            source.size != copy.size || source.modified != copy.modified) {
            return false;
        }
        answer.status = MARLUNE_OK;
        answer.outcome = MARLUNE_OUTCOME_UNCHANGED;
        answer.report = emptyReport();
        answer.report.source_bytes = source.size;
        if (hashing()) answer.sha256 = file.expected;
        keepAttributes(file, source, copy, answer);
        return true;
    }

    // An unchanged copy gets what its source has now of permissions, owner and group
    // (where the caller may set them) and times; only what differs is set.
    void keepAttributes(const StepFile& file, const platform::FileAttributes& source,
                        const platform::FileAttributes& copy, FileAnswer& answer) {
        int error = 0;
        if (judgeOnly() || !platform::attributesDiffer(source, copy)) return;
        if (!os_.keepFileTimesAndMode(file.source, file.destination, error)) {
            fail(answer, MARLUNE_WRITE_ERROR, error);
        }
    }

    // A copy found unchanged was not examined: a suspect is told on every run all the
    // same, by the first bytes of its source.
    void lookForSuspect(const StepFile& file, FileAnswer& answer) {
        if (answer.outcome != MARLUNE_OUTCOME_UNCHANGED || !namedAsContainer(file.source, step_.suspects)) return;
        std::uint8_t magic[sizeof answer.report.magic] = {};
        // A comparison by content has read them already.
        std::int64_t got = has(MARLUNE_RUN_CHECKSUM) ? comparer_.lead(magic, sizeof magic) : -1;
        File source;
        if (got < 0 && !source.openForReading(os_, file.source.c_str())) return;
        if (got < 0) got = source.read(magic, sizeof magic);
        const bool whole = got == static_cast<std::int64_t>(sizeof magic);
        if (got < 0 || (whole && container::mayStartContainer(magic, sizeof magic))) return;
        answer.status = answer.report.status = MARLUNE_NOT_A_CONTAINER;
        answer.outcome = MARLUNE_OUTCOME_SUSPECT;
        answer.report.header_bytes = static_cast<std::uint32_t>(got);
        std::memcpy(answer.report.magic, magic, static_cast<std::size_t>(got));
    }

    void mirrorFile(const StepFile& file, FileAnswer& answer, Mirrored& mirrored) {
        if (unchangedByName(file, answer, mirrored)) return lookForSuspect(file, answer);
        // As it is before any of it is read: the copy takes this time, and only while it still holds.
        if (!mirrored.source.openForReading(os_, file.source.c_str(), mirrored.seen)) {
            return fail(answer, sourceOpenStatus(mirrored.source.error()), mirrored.source.error());
        }
        if (unchanged(file, mirrored, answer)) return lookForSuspect(file, answer);
        if (!mirrored.source.isOpen()) return fail(answer, MARLUNE_SOURCE_MISSING, 0);
        if (judgeOnly()) {
            copyInto(file, mirrored, nullptr, answer);
            return;
        }
        if (!createPartial(file.destination, mirrored, answer)) return;
        copyInto(file, mirrored, &mirrored.partial, answer);
        int error = 0;
        if (!unfinished(answer) &&
            !os_.keepSeenTimesAndMode(mirrored.source.handle(), mirrored.seen, mirrored.partial.handle(), error)) {
            fail(answer, writeFailureStatus(error), error);
        }
        // Written over or cut meanwhile (same size or not): the copy would hold neither
        // what the source held nor what it holds now, under the new time.
        platform::FileState now;
        if (!unfinished(answer) &&
            (!os_.fileState(mirrored.source.handle(), now) || !now.holdsSameData(mirrored.seen))) {
            fail(answer, MARLUNE_SOURCE_CHANGED, 0);
        }
        if (unfinished(answer)) return discard(mirrored);
        if (hashing()) answer.sha256 = digestOf(mirrored.hash);
        if (mirrored.rotted && answer.status == MARLUNE_OK) {
            answer.status = answer.report.status = MARLUNE_RUN_COPY_ROTTED;
            answer.outcome = MARLUNE_OUTCOME_RESTORED;
        }
        mirrored.pending = true;
    }

    void discard(Mirrored& mirrored) {
        mirrored.pending = false;
        if (!mirrored.partial.isOpen()) return;
        mirrored.partial.close();
        os_.deleteFile(mirrored.partialName.c_str());
    }

    // Durable together as the run asks, then each moved over its name.
    void moveIntoPlace() {
        std::vector<platform::Handle> handles;
        for (Mirrored& mirrored : files_) {
            if (mirrored.pending) handles.push_back(mirrored.partial.handle());
        }
        const bool cancelled = progress_.cancel && progress_.cancel->load();
        bool synced = true;
        if (!handles.empty() && !cancelled && step_.durability != MARLUNE_DURABLE_NONE) {
            synced = os_.syncTogether(handles.data(), handles.size());
        }
        std::string lastFolder;
        for (std::size_t i = 0; i < files_.size(); ++i) {
            Mirrored& mirrored = files_[i];
            if (!mirrored.pending) continue;
            FileAnswer& answer = answers_[i];
            const StepFile& file = step_.files[i];
            if (cancelled) {
                fail(answer, MARLUNE_CANCELLED, 0);
                answer.sha256.clear();
                discard(mirrored);
                continue;
            }
            if (!synced && !mirrored.partial.sync()) {
                fail(answer, syncFailureStatus(mirrored.partial.error()), mirrored.partial.error());
                discard(mirrored);
                continue;
            }
            // A link put at the name meanwhile is replaced by the move, never written through.
            if (!os_.move(mirrored.partial.handle(), mirrored.partialName.c_str(), file.destination.c_str(), true)) {
                const int error = platform::lastSystemError();
                fail(answer, writeFailureStatus(error), error);
                answer.sha256.clear();
                discard(mirrored);
                continue;
            }
            mirrored.pending = false;
            mirrored.partial.close();
            const std::string folder = folderOf(file.destination);
            if (step_.durability == MARLUNE_DURABLE_DATA_AND_NAME && folder != lastFolder) {
                lastFolder = folder;
                if (!os_.syncFolderOf(file.destination.c_str())) {
                    fail(answer, MARLUNE_SYNC_ERROR, platform::lastSystemError());
                }
            }
        }
    }

    // Whether every folder from the destination folder down to `path` is one, and no
    // link: one put there since the walk listed it.
    // Up to the destination folder, or to a root of the system, whichever comes first.
    bool foldersAllTheWay(const std::string& path) const {
        for (std::string folder = folderOf(path), above = folderOf(folder); folder.size() > step_.root.size();
             folder = above, above = folderOf(folder)) {
            if (os_.kindOfName(folder) != platform::Kind::folder) return false;
            if (above == folder) break;
        }
        return true;
    }

    // A partial file that a run which stopped left in the destination: removed unless
    // someone still writes it (a run under way, here or elsewhere), which is left to them.
    void removeStalePartial(const StepFile& file, FileAnswer& answer) {
        if (!foldersAllTheWay(file.source)) return fail(answer, MARLUNE_RUN_DESTINATION_LINK, 0);
        int ignored = 0;
        os_.letOwnerWrite(folderOf(file.source), ignored);  // where that fails, the removal tells why
        answer.status = removePartialThrough(os_, file.source.c_str(), &answer.report);
        if (answer.status == MARLUNE_OK) answer.status = answer.report.status = MARLUNE_RUN_PARTIAL_REMOVED;
        answer.outcome = partialRemovalOutcome(answer.status);
    }

    // A file or link of the destination that the source lacks: removed, never
    // through a link on its way (one put there since the walk listed it). One found
    // gone already (a step run again) is as asked: done.
    void removeExtra(const StepFile& file, FileAnswer& answer) {
        if (endsWith(file.destination, partialSuffix)) {
            answer.status = MARLUNE_RUN_PARTIAL_LEFT;
            answer.outcome = MARLUNE_OUTCOME_SKIPPED;
            return;
        }
        bool gone = false;
        // Up to the destination folder, or to a root of the system, whichever comes first.
        for (std::string folder = folderOf(file.destination), above = folderOf(folder);
             folder.size() > step_.root.size(); folder = above, above = folderOf(folder)) {
            const platform::Kind kind = os_.kindOfName(folder);
            if (kind == platform::Kind::missing) {
                gone = true;
            } else if (kind != platform::Kind::folder) {
                return fail(answer, MARLUNE_RUN_DESTINATION_LINK, 0);
            }
            if (above == folder) break;
        }
        const platform::Kind kind = gone ? platform::Kind::missing : os_.kindOfName(file.destination);
        if (kind != platform::Kind::file && kind != platform::Kind::link && kind != platform::Kind::missing) {
            return fail(answer, MARLUNE_SOURCE_NOT_A_FILE, 0);
        }
        answer.status = MARLUNE_OK;
        answer.outcome = MARLUNE_OUTCOME_DELETED;
        if (kind != platform::Kind::missing && !judgeOnly() && !os_.deleteFile(file.destination.c_str())) {
            // Removed meanwhile by another: gone all the same.
            const int error = platform::lastSystemError();
            if (platform::kindOf(error) != platform::ErrorKind::missing) fail(answer, MARLUNE_WRITE_ERROR, error);
        }
    }

    // A symbolic link made anew with the text it holds; never followed.
    void mirrorLink(const StepFile& file, FileAnswer& answer) {
        std::string target;
        int error = 0;
        if (!os_.readLink(file.source, target, error)) return fail(answer, sourceOpenStatus(error), error);
        std::string existing;
        int ignored = 0;
        if (os_.kindOfName(file.destination) == platform::Kind::link &&
            os_.readLink(file.destination, existing, ignored) && existing == target) {
            answer.status = MARLUNE_OK;
            answer.outcome = MARLUNE_OUTCOME_UNCHANGED;
            return;
        }
        const platform::Kind there = os_.kindOfName(file.destination);
        if (there == platform::Kind::folder || there == platform::Kind::other) {
            return fail(answer, MARLUNE_DESTINATION_UNCREATABLE, 0);
        }
        answer.status = MARLUNE_OK;
        answer.outcome = MARLUNE_OUTCOME_LINKED;
        if (judgeOnly()) return;
        std::uint64_t size = 0;
        platform::FileKey key;
        const bool toFolder = os_.kindOf(file.source, size, key) == platform::Kind::folder;
        const std::string partial = partialNameFor(file.destination, 0, nextTag());
        if (!os_.makeLink(target, partial, toFolder, error)) {
            return fail(answer, MARLUNE_RUN_LINK_REFUSED, error);
        }
        if (!os_.renameOver(partial, file.destination, error)) {
            os_.deleteFile(partial.c_str());
            return fail(answer, MARLUNE_WRITE_ERROR, error);
        }
    }

    const Step& step_;
    const StepProgress& progress_;
    const JobPolicy policy_;
    platform::Os& os_;
    std::vector<FileAnswer> answers_;
    std::vector<Mirrored> files_;
    std::mt19937_64 tags_;
    bool tagsSeeded_ = false;
    CopyComparer comparer_;
};

}  // namespace

std::vector<FileAnswer> runMirrorStep(const Step& step, const StepProgress& progress) {
    return MirrorStep(step, progress).run();
}

void keepFolder(platform::Os& os, const std::string& source, const std::string& copy, const std::string& root) {
    int error = 0;
    if (os.kindOfName(copy) == platform::Kind::missing) {
        // An empty folder's copy, and any above it the copies did not make. Made in a copy
        // of a read-only folder, which gets its mode back when its own turn comes.
        const std::string above = folderOf(copy);
        if (copy.size() > root.size() && above != copy) keepFolder(os, folderOf(source), above, root);
        os.letOwnerWrite(above, error);
        os.createFolder(copy, error);
    }
    if (os.kindOfName(copy) == platform::Kind::folder) os.keepFolderTimesAndMode(source, copy, error);
}

namespace {

class VerifyStep {
public:
    VerifyStep(const Step& step, const StepProgress& progress)
        : step_(step), progress_(progress), os_(progress.os ? *progress.os : platform::unicodeOs()), comparer_(false) {}

    std::vector<FileAnswer> run() {
        std::vector<FileAnswer> answers(step_.files.size());
        for (std::size_t i = 0; i < step_.files.size(); ++i) {
            const StepFile& file = step_.files[i];
            FileAnswer& answer = answers[i];
            answer.report = emptyReport(file.status, file.systemError);
            answer.status = file.status;
            if (file.status == 0) answer.status = compare(file, answer.report);
            // A read stopped by a cancel failed nothing.
            const bool cancelled = progress_.cancel && progress_.cancel->load();
            if (cancelled && answer.status == MARLUNE_READ_ERROR) answer.status = MARLUNE_CANCELLED;
            answer.report.status = answer.status;
            answer.outcome = verifiedOutcome(answer.status);
        }
        return answers;
    }

private:
    std::int32_t compare(const StepFile& file, marlune_report& report) {
        if (file.link) {
            std::string source;
            std::string copy;
            int error = 0;
            if (!os_.readLink(file.source, source, error) || !os_.readLink(file.destination, copy, error)) {
                report.system_error = error;
                return MARLUNE_SOURCE_UNREADABLE;
            }
            return source == copy ? MARLUNE_OK : MARLUNE_VERIFY_DIFFERENT;
        }
        File copy;
        if (!copy.openForReading(os_, file.destination.c_str())) {
            report.system_error = copy.error();
            return sourceOpenStatus(copy.error());
        }
        if (!file.expected.empty()) {
            const std::int32_t hashed = comparer_.hashRest(copy, hash_, progress_, report);
            const std::string digest = digestOf(hash_);  // and it starts again for the next file
            if (hashed != MARLUNE_OK) return hashed;
            return digest == file.expected ? MARLUNE_OK : MARLUNE_VERIFY_NOT_AS_LISTED;
        }
        File source;
        if (!source.openForReading(os_, file.source.c_str())) {
            report.system_error = source.error();
            return sourceOpenStatus(source.error());
        }
        return comparer_.compare(source, copy, nullptr, progress_, report);
    }

    const Step& step_;
    const StepProgress& progress_;
    platform::Os& os_;
    CopyComparer comparer_;  // a verify compares with what a copy (never a salvage) gives
    Sha256 hash_;            // for each file with a manifest's digest, in turn
};

}  // namespace

std::vector<FileAnswer> runVerifyStep(const Step& step, const StepProgress& progress) {
    return VerifyStep(step, progress).run();
}

}  // namespace marlune::run
