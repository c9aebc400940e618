#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "boundary/copy_call.h"
#include "boundary/operations.h"
#include "platform/folders.h"

namespace marlune {
namespace {

std::int32_t stageStatus(container::Finding finding, int writeError) {
    using container::Finding;
    switch (finding) {
        case Finding::wrongMagic:
            return MARLUNE_NOT_A_CONTAINER;
        case Finding::headerCut:
            return MARLUNE_HEADER_CUT;
        case Finding::dataOffsetBelowHeader:
            return MARLUNE_DATA_OFFSET_BELOW_HEADER;
        case Finding::dataOffsetPastEnd:
            return MARLUNE_PREAMBLE_CUT;
        case Finding::chunkHeaderCut:
            return MARLUNE_CHUNK_HEADER_CUT;
        case Finding::payloadCut:
            return MARLUNE_PAYLOAD_CUT;
        case Finding::sourceChanged:
            return MARLUNE_SOURCE_CHANGED;
        case Finding::readFailed:
            return MARLUNE_READ_ERROR;
        case Finding::cancelled:
            return MARLUNE_CANCELLED;
        // A write that took nothing without an error is a full disk too.
        case Finding::writeFailed:
            return writeError == 0 ? MARLUNE_DISK_FULL : writeFailureStatus(writeError);
        default:
            return MARLUNE_WRITE_ERROR;
    }
}

// What the copy saw of the source, into the report; the status is the caller's.
// `failedInChunks`: the chunk after the whole ones is the one that failed.
void describe(const container::CopyReport& copied, const container::Header& header, bool failedInChunks,
              marlune_report& report) {
    report.header_bytes = static_cast<std::uint32_t>(copied.headerBytes);
    std::memcpy(report.magic, header.data(), std::min<std::size_t>(copied.headerBytes, sizeof report.magic));
    if (copied.headerBytes == container::headerSize) {
        report.length_mode = container::lengthMode(header);
        report.data_offset = container::dataOffset(header);
    }
    report.chunks = copied.chunks;
    report.payload_bytes = copied.payloadBytes;
    report.length_fields_set = copied.lengthFieldsSet;
    report.cut_offset = copied.cutOffset;
    report.cut_size = copied.expectedBytes;
    report.cut_missing = copied.missingBytes;
    report.bytes_written = copied.bytesWritten;
    if (failedInChunks) report.chunk_number = copied.chunks + 1;
}

// A source whose size only its end tells is as long as what was read of it.
std::uint64_t sourceBytes(const platform::File& source) {
    return source.sizeKnown() ? source.sizeAtOpen() : source.position();
}

// Runs both stages of an examination and tells the report what they found; true
// for a complete container.
bool judged(container::ContainerCopy& judge, const container::Header& header, marlune_report& report) {
    const bool headerWhole = judge.copyHeader();
    const bool complete = headerWhole && judge.copyAudioData();
    describe(judge.report(), header, headerWhole && !complete, report);
    report.status = complete ? MARLUNE_OK : stageStatus(judge.report().finding, 0);
    return complete;
}

void clear(marlune_report& report) {
    report = marlune_report{};
    report.size = sizeof report;
}

// A destination this call could not create, whatever the reason but a bad name: the
// original functions' message for it says so.
std::int32_t uncreatable(int code) {
    return platform::kindOf(code) == platform::ErrorKind::badName ? MARLUNE_BAD_NAME : MARLUNE_DESTINATION_UNCREATABLE;
}

}  // namespace

std::int32_t sourceOpenStatus(int code) {
    switch (platform::kindOf(code)) {
        case platform::ErrorKind::missing:
            return MARLUNE_SOURCE_MISSING;
        case platform::ErrorKind::notAFile:
            return MARLUNE_SOURCE_NOT_A_FILE;
        case platform::ErrorKind::badName:
            return MARLUNE_BAD_NAME;
        default:
            return MARLUNE_SOURCE_UNREADABLE;
    }
}

CopyCall::~CopyCall() {
    if (partial_.empty()) return;
    files_.destination.close();
    os_.deleteFile(targetPath(partial_));
}

Outcome CopyCall::fail(std::int32_t status, bool beforeChunks, int systemError) {
    outcome_ = Outcome{status, beforeChunks};
    failed_ = true;
    report_.status = status;
    report_.system_error = systemError;
    if (request_.announce) request_.announce(outcome_);
    files_.source.close();
    files_.destination.close();
    if (request_.placement == Placement::beside) report_.bytes_written = 0;
    return outcome_;
}

bool CopyCall::stop(std::int32_t status, bool beforeChunks, int systemError) {
    fail(status, beforeChunks, systemError);
    return false;
}

std::int32_t creationFailureStatus(int code) {
    return platform::kindOf(code) == platform::ErrorKind::diskFull ? MARLUNE_DISK_FULL
                                                                   : MARLUNE_DESTINATION_UNCREATABLE;
}

std::int32_t writeFailureStatus(int code) {
    return platform::kindOf(code) == platform::ErrorKind::diskFull ? MARLUNE_DISK_FULL : MARLUNE_WRITE_ERROR;
}

std::int32_t syncFailureStatus(int code) {
    return platform::kindOf(code) == platform::ErrorKind::diskFull ? MARLUNE_DISK_FULL : MARLUNE_SYNC_ERROR;
}

std::int32_t CopyCall::createDestination(int& code) {
    const auto refused = [&code](std::int32_t status, int error) {
        code = error;
        return status;
    };
    if (request_.placement == Placement::inPlace) {
        const bool created = request_.replace ? files_.destination.createForWriting(os_, target_.c_str(), files_.source)
                                              : files_.destination.createNew(os_, targetPath(target_));
        if (created) return MARLUNE_OK;
        const int error = files_.destination.error();
        switch (os_.inspect(targetPath(target_), files_.source.handle())) {
            case platform::Os::Name::source:
                return refused(MARLUNE_DESTINATION_IS_SOURCE, error);
            case platform::Os::Name::regularFile:
                if (!request_.replace) return refused(MARLUNE_DESTINATION_EXISTS, error);
                break;
            default:
                break;
        }
        return refused(uncreatable(error), error);
    }
    // Refused by what the name holds: no system call failed.
    switch (os_.inspect(targetPath(target_), files_.source.handle())) {
        case platform::Os::Name::source:
            return refused(MARLUNE_DESTINATION_IS_SOURCE, 0);
        case platform::Os::Name::other:
            return refused(MARLUNE_DESTINATION_UNCREATABLE, 0);
        case platform::Os::Name::regularFile:
            if (!request_.replace) {
                if (!request_.removesSource) return refused(MARLUNE_DESTINATION_EXISTS, 0);
                comparing_ = files_.destination.openForComparing(os_, targetPath(target_));
                return comparing_ ? MARLUNE_OK : refused(MARLUNE_DESTINATION_EXISTS, files_.destination.error());
            }
            // What the caller could not have opened for writing is not replaced either.
            if (!os_.mayWrite(targetPath(target_)))
                return refused(MARLUNE_DESTINATION_UNCREATABLE, platform::lastSystemError());
            if (request_.judgeOnly) return MARLUNE_OK;
            if (!createPartial()) return refused(uncreatable(platform::lastSystemError()), platform::lastSystemError());
            // Before any data goes in: a private file's copy must not be readable meanwhile.
            // A copy that takes its source's mode stays its owner's alone until then.
            if (!request_.keepsTimesAndMode && !os_.copyPermissions(targetPath(target_), files_.destination.handle()) &&
                platform::kindOf(platform::lastSystemError()) != platform::ErrorKind::missing) {
                return refused(MARLUNE_DESTINATION_UNCREATABLE, platform::lastSystemError());
            }
            return MARLUNE_OK;
        case platform::Os::Name::nothing:
            break;
    }
    if (request_.judgeOnly) return MARLUNE_OK;
    return createPartial() ? MARLUNE_OK
                           : refused(uncreatable(platform::lastSystemError()), platform::lastSystemError());
}

// A name already taken, or a file someone else marked in the moment between its
// creation and our mark (one clearing partial files), gets another try under
// another name.
bool CopyCall::createPartial() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        partial_ = request_.partialTag != 0 ? partialNameFor(target_, request_.codePage, request_.partialTag)
                                            : partialNameFor(target_, request_.codePage);
        const platform::Access access =
            request_.keepsTimesAndMode ? platform::Access::ownerAlone : platform::Access::usual;
        if (!files_.destination.createNew(os_, targetPath(partial_), access)) continue;
        if (os_.markInUse(files_.destination.handle())) return true;
        files_.destination.close();
        os_.deleteFile(targetPath(partial_));
    }
    partial_.clear();
    return false;
}

bool CopyCall::open(platform::Handle sourceFolder) {
    opened_ = true;
    sourceFolder_ = sourceFolder;
    if (!request_.source || !*request_.source) return stop(MARLUNE_NO_SOURCE_NAME, true, 0);
    if (!request_.destination || !*request_.destination) return stop(MARLUNE_NO_DESTINATION_NAME, true, 0);
    if (!files_.source.openForReading(os_, {sourceFolder_, request_.source}))
        return stop(sourceOpenStatus(files_.source.error()), true, files_.source.error());
    report_.source_bytes = sourceBytes(files_.source);
    if (request_.removesSource && !request_.judgeOnly && !os_.fileState(files_.source.handle(), openedSource_))
        return stop(MARLUNE_SOURCE_UNREADABLE, true, platform::lastSystemError());
    target_ = request_.destination;
    // Through a symbolic link, the file it leads to is replaced and the link kept.
    if (request_.placement == Placement::beside) target_ = os_.followLinks(target_.c_str());
    return true;
}

// What the copy read must be what the source holds: new data since it was opened
// (a rewrite in place, a write after the last read) fails the copy. Its name
// may have gone meanwhile: the copy is still of what was read.
bool CopyCall::recordCopiedSource() {
    if (!request_.removesSource || request_.judgeOnly) return true;
    if (!os_.fileState(files_.source.handle(), copiedSource_))
        return stop(MARLUNE_READ_ERROR, false, platform::lastSystemError());
    const bool asRead = copiedSource_.holdsSameData(openedSource_) && copiedSource_.size == files_.source.position();
    return asRead || stop(MARLUNE_SOURCE_CHANGED, false, 0);
}

bool CopyCall::copy() {
    if (!opened_ && !open()) return false;
    if (failed_) return false;
    int code = 0;
    if (const std::int32_t status = createDestination(code); status != MARLUNE_OK) return stop(status, true, code);
    platform::File* const written = request_.judgeOnly && !comparing_ ? nullptr : &files_.destination;
    container::CopyBuffer buffer;
    // Without the memory for two buffers, one: the copy then writes inline.
    if (!(overlaps(written) && buffer.allocateOverlapped()) && !buffer.allocateFor(files_.source.sizeAtOpen()))
        return stop(MARLUNE_OUT_OF_MEMORY, true, 0);
    // Compared in whole parts: a mismatch is then in the part that holds it, as a failed write.
    container::ContainerCopy copy(files_.source, written, buffer, files_.header, request_.progress,
                                  request_.wholePartsOnly || comparing_);
    const bool headerCopied = copy.copyHeader();
    const bool chunksCopied = headerCopied && copy.copyAudioData();
    describe(copy.report(), files_.header, headerCopied && !chunksCopied, report_);
    report_.source_bytes = sourceBytes(files_.source);
    if (comparing_ || request_.judgeOnly) report_.bytes_written = 0;
    const container::Finding finding = copy.report().finding;
    salvaged_ = request_.salvage &&
                (finding == container::Finding::chunkHeaderCut || finding == container::Finding::payloadCut);
    // A source that is no copy of what the destination holds keeps the early answer.
    if (comparing_ && !chunksCopied) return stop(MARLUNE_DESTINATION_EXISTS, true, 0);
    if (!chunksCopied && !salvaged_) {
        code = finding == container::Finding::readFailed ? files_.source.error() : files_.destination.error();
        return stop(stageStatus(finding, code), !headerCopied, code);
    }
    return recordCopiedSource() && keepSourceTimesAndMode();
}

// Worth a thread where the source spans more than a couple of buffers of known
// size; a file compared is read, not written.
bool CopyCall::overlaps(const platform::File* written) const {
    const platform::File& source = files_.source;
    return request_.overlapWrites && written && !comparing_ && source.sizeKnown() &&
           source.sizeAtOpen() > 2 * std::uint64_t{container::CopyBuffer::overlappedSize} &&
           platform::processorsAllowed() > 1;
}

// After the last write, which would set the time again; before the sync, which
// then puts the time and mode on stable storage with the data, and before the
// move, so that the name never leads to the copy with the conversion's time.
bool CopyCall::keepSourceTimesAndMode() {
    if (!request_.keepsTimesAndMode || request_.judgeOnly || comparing_) return true;
    int error = 0;
    return os_.keepTimesAndMode(files_.source.handle(), files_.destination.handle(), error) ||
           stop(MARLUNE_WRITE_ERROR, false, error);
}

bool CopyCall::syncData() {
    platform::File& file = files_.destination;
    // Another program may have written what was found: on stable storage before the source goes.
    const auto synced = [this, &file] {
        return file.sync() || stop(syncFailureStatus(file.error()), false, file.error());
    };
    if (comparing_) return checkFound() && synced();
    return request_.durability == Durability::asWritten || synced();
}

bool CopyCall::checkFound() {
    return files_.destination.matchedToEnd() || stop(MARLUNE_DESTINATION_EXISTS, false, 0);
}

bool CopyCall::moveIntoPlace() {
    if (partial_.empty()) return true;  // written in place, or found complete there
    // Without `replace`, only a name still free is taken: another file put there
    // meanwhile is kept.
    if (!os_.move(files_.destination.handle(), targetPath(partial_), targetPath(target_), request_.replace)) {
        const int error = platform::lastSystemError();
        const bool taken = platform::kindOf(error) == platform::ErrorKind::exists && !request_.replace;
        return stop(taken ? MARLUNE_DESTINATION_EXISTS : writeFailureStatus(error), false, error);
    }
    partial_.clear();
    return true;
}

bool CopyCall::copyStillNamed() {
    return files_.destination.isNamedBy(targetPath(target_)) || stop(MARLUNE_DESTINATION_REPLACED, false, 0);
}

// A source that cannot be told unchanged is kept as one that changed. One whose
// name leads to another file now is left to removeSource, which keeps it.
bool CopyCall::sourceUnchanged() {
    sourceElsewhere_ = !files_.source.isNamedBy({sourceFolder_, request_.source});
    if (sourceElsewhere_) return true;
    platform::FileState now;
    if (!os_.fileState(files_.source.handle(), now)) {
        return stop(MARLUNE_SOURCE_CHANGED, false, platform::lastSystemError());
    }
    return now == copiedSource_ || stop(MARLUNE_SOURCE_CHANGED, false, 0);
}

// Only the file copied, and only unchanged: a file put at the source's name
// meanwhile is another recording and stays, as does the source while it fails
// to go (the report's system_error says why). Checked again by name, as the
// source is no longer open: Windows removes no file that this call has open.
void CopyCall::removeSource() {
    switch (os_.deleteUnchanged({sourceFolder_, request_.source}, copiedSource_)) {
        case platform::Os::Deletion::removed:
        case platform::Os::Deletion::elsewhere:
            return;
        case platform::Os::Deletion::changed:
            outcome_ = Outcome{MARLUNE_SOURCE_CHANGED, false};
            report_.status = outcome_.status;
            if (request_.announce) request_.announce(outcome_);
            return;
        case platform::Os::Deletion::failed:
            report_.system_error = platform::lastSystemError();
            return;
    }
}

Outcome CopyCall::finish() {
    if (failed_) return outcome_;
    if ((request_.removesSource || comparing_) && !copyStillNamed()) return outcome_;
    if (request_.removesSource && !sourceUnchanged()) return outcome_;
    release();
    const bool succeeded = outcome_.status == MARLUNE_OK || outcome_.status == MARLUNE_FINISHED;
    if (request_.removesSource && !sourceElsewhere_ && succeeded) removeSource();
    return outcome_;
}

Outcome CopyCall::release() {
    // A close can be where a write finally fails (network file systems): the copy
    // is only a success when both closed cleanly.
    const bool destinationClosed = files_.destination.close();
    const bool sourceClosed = files_.source.close();
    if (!destinationClosed || !sourceClosed) {
        report_.system_error = !destinationClosed ? files_.destination.error() : files_.source.error();
        outcome_ = Outcome{!destinationClosed ? writeFailureStatus(report_.system_error) : MARLUNE_WRITE_ERROR, false};
        report_.status = outcome_.status;
        if (request_.announce) request_.announce(outcome_);
        return outcome_;
    }
    report_.status = comparing_ ? MARLUNE_FINISHED : salvaged_ ? MARLUNE_SALVAGED : MARLUNE_OK;
    return outcome_ = Outcome{report_.status};
}

// Data first, then (beside) the move into place: the complete file takes the name
// only once its data is on disk, and the name is on disk before the call returns.
Outcome CopyCall::run() {
    if (!copy()) return outcome_;
    if (request_.judgeOnly) return comparing_ && !checkFound() ? outcome_ : release();
    if (!syncData()) return outcome_;
    const bool namesToSync = request_.durability == Durability::dataAndName || comparing_;
    const auto syncFolder = [this](const std::string& name) {
        return os_.syncFolderOf(targetPath(name)) || stop(MARLUNE_SYNC_ERROR, false, platform::lastSystemError());
    };
    if (namesToSync && !partial_.empty() && !syncFolder(partial_)) return outcome_;
    if (!moveIntoPlace()) return outcome_;
    if (namesToSync && !syncFolder(target_)) return outcome_;
    return finish();
}

// Short names keep all of the target's; a long one gives up the end of its last
// component, at a character's boundary, so that the whole fits the 255 bytes (or
// UTF-16 units, never more than the bytes) that a name may have.
std::uint64_t randomTag() {
    try {
        std::random_device device;
        return std::uint64_t{device()} << 32 ^ device();
    } catch (...) {  // no source of randomness: the clock still tells calls apart
        return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
}

std::string partialNameFor(const std::string& target, unsigned codePage) {
    return partialNameFor(target, codePage, randomTag());
}

std::string partialNameFor(const std::string& target, unsigned codePage, std::uint64_t drawn) {
    constexpr std::size_t longestName = 255;
    char tag[18];
    std::snprintf(tag, sizeof tag, ".%016llx", static_cast<unsigned long long>(drawn));
    const std::size_t added = sizeof tag - 1 + partialSuffix.size();
    std::size_t nameStart = 0;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (platform::isLeadByte(codePage, static_cast<unsigned char>(target[i])) && i + 1 < target.size()) {
            ++i;
        } else if (platform::isPathSeparator(target[i])) {
            nameStart = i + 1;
        }
    }
    std::size_t kept = target.size();
    if (kept - nameStart + added > longestName) {
        const std::size_t room = nameStart + longestName - added;
        kept = nameStart;
        for (std::size_t i = nameStart; i < target.size();) {
            const auto byte = static_cast<unsigned char>(target[i]);
            std::size_t length = 1;
            if (platform::isLeadByte(codePage, byte)) {
                length = 2;
            } else if (codePage == 0) {
                while (i + length < target.size() && (static_cast<unsigned char>(target[i + length]) & 0xC0) == 0x80)
                    ++length;  // a UTF-8 character's continuation bytes
            }
            if (i + length > room) break;
            i += length;
            kept = i;
        }
    }
    return target.substr(0, kept) + tag + std::string(partialSuffix);
}

std::int32_t removePartial(platform::Os& os, const char* path, marlune_report& report) {
    clear(report);
    const std::string_view name = path ? path : "";
    if (name.empty()) return report.status = MARLUNE_NO_SOURCE_NAME;
    if (name.size() <= partialSuffix.size() || name.substr(name.size() - partialSuffix.size()) != partialSuffix)
        return report.status = MARLUNE_BAD_NAME;
    switch (os.removeIfUnused(path)) {
        case platform::Os::Removal::removed:
            return report.status = MARLUNE_OK;
        case platform::Os::Removal::inUse:
            return report.status = MARLUNE_PARTIAL_IN_USE;
        case platform::Os::Removal::failed:
            break;
    }
    report.system_error = platform::lastSystemError();
    return report.status = sourceOpenStatus(report.system_error);
}

Outcome copyContainer(const CopyRequest& request, CopyFiles& files, marlune_report& report) {
    clear(report);
    return CopyCall(request, files, report).run();
}

std::int32_t examineContainer(platform::Os& os, const char* path, marlune_report& report) {
    clear(report);
    platform::File file;
    container::CopyBuffer buffer;
    container::Header header{};
    if (!path || !*path) {
        report.status = MARLUNE_NO_SOURCE_NAME;
    } else if (!file.openForReading(os, path)) {
        report.status = sourceOpenStatus(file.error());
        report.system_error = file.error();
    } else if (report.source_bytes = sourceBytes(file); !buffer.allocateFor(file.sizeAtOpen())) {
        report.status = MARLUNE_OUT_OF_MEMORY;
    } else {
        container::ContainerCopy judge(file, nullptr, buffer, header);
        const bool complete = judged(judge, header, report);
        report.source_bytes = sourceBytes(file);
        report.system_error = complete ? 0 : file.error();
    }
    return report.status;
}

std::int32_t examineMemory(const std::uint8_t* bytes, std::size_t size, marlune_report& report) {
    clear(report);
    container::Header header{};
    container::ContainerCopy judge(bytes, size, header);
    judged(judge, header, report);
    report.source_bytes = size;
    return report.status;
}

}  // namespace marlune
