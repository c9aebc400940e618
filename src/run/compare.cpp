#include "run/compare.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "boundary/operations.h"
#include "container/layout.h"

namespace marlune::run {
namespace {

using platform::File;
using platform::Sha256;

bool cancelled(const StepProgress& progress) {
    return progress.cancel && progress.cancel->load();
}

void counted(const StepProgress& progress, std::uint64_t bytes) {
    if (progress.bytes && bytes != 0) progress.bytes->fetch_add(bytes);
}

// The source for the copy core: the first bytes, read already to look at them, then the
// rest, where those bytes did not reach its end.
struct AheadReader {
    File& file;
    const std::uint8_t* ahead;
    std::size_t left;
    bool ended;
    const StepProgress& progress;
    static std::int64_t MARLUNE_CALL read(void* buffer, std::uint64_t count, std::int32_t* error, void* context) {
        auto* self = static_cast<AheadReader*>(context);
        if (cancelled(self->progress)) {
            *error = -1;
            return -1;
        }
        if (self->left != 0) {
            const std::size_t given = count < self->left ? static_cast<std::size_t>(count) : self->left;
            std::memcpy(buffer, self->ahead, given);
            self->ahead += given;
            self->left -= given;
            return static_cast<std::int64_t>(given);
        }
        if (self->ended) return 0;
        const std::int64_t got = self->file.read(buffer, static_cast<std::size_t>(count));
        if (got < 0) *error = self->file.error() ? self->file.error() : -1;
        if (got > 0) counted(self->progress, static_cast<std::uint64_t>(got));
        return got;
    }
};

// Takes the bytes a copy gets and compares them with the copy's next ones. A
// difference does not stop the copy core: whether its source is a whole container
// tells what the copy should hold. A copy that cannot be read stops it.
struct ComparingWriter {
    File& copy;
    std::uint8_t* buffer;
    std::size_t bufferSize;
    Sha256* hash;
    bool differs = false;
    bool copyFailed = false;
    bool hashFailed = false;
    static std::int32_t MARLUNE_CALL write(const void* bytes, std::uint64_t count, void* context) {
        auto* self = static_cast<ComparingWriter*>(context);
        if (self->hash && !self->hash->update(bytes, static_cast<std::size_t>(count))) {
            self->hashFailed = true;
            return -1;
        }
        const auto* at = static_cast<const std::uint8_t*>(bytes);
        while (count > 0 && !self->differs) {
            const std::size_t piece = count < self->bufferSize ? static_cast<std::size_t>(count) : self->bufferSize;
            const std::int64_t got = self->copy.read(self->buffer, piece);
            if (got < 0) {
                self->copyFailed = true;
                return self->copy.error() ? self->copy.error() : -1;
            }
            self->differs = got != static_cast<std::int64_t>(piece) || std::memcmp(self->buffer, at, piece) != 0;
            at += piece;
            count -= piece;
        }
        return 0;
    }
};

bool atItsEnd(const File& file) {
    return file.sizeKnown() && file.position() == file.sizeAtOpen();
}

std::int32_t readFailed(const File& file, marlune_report& report) {
    report.system_error = file.error();
    return MARLUNE_READ_ERROR;
}

}  // namespace

bool isContainerFinding(std::int32_t status) {
    return status != MARLUNE_OK && statusIs(status, MARLUNE_CLASS_FINDING);
}

bool CopyComparer::buffersReady() {
    if (!buffers_) buffers_.reset(new (std::nothrow) Buffers);
    return buffers_ != nullptr;
}

std::int32_t CopyComparer::compare(File& source, File& copy, Sha256* hash, const StepProgress& progress,
                                   marlune_report& report) {
    if (source.sizeKnown() && copy.sizeKnown() && sizesRuleOut(source.sizeAtOpen(), copy.sizeAtOpen())) {
        return MARLUNE_VERIFY_DIFFERENT;
    }
    leadSize_ = -1;
    if (!buffersReady()) return MARLUNE_OUT_OF_MEMORY;
    if (cancelled(progress)) return MARLUNE_CANCELLED;
    const std::int64_t got = source.read(buffers_->source, pieceSize);
    if (got < 0) return readFailed(source, report);
    const auto ahead = static_cast<std::size_t>(got);
    std::memcpy(lead_, buffers_->source, std::min(ahead, sizeof lead_));
    leadSize_ = static_cast<std::int64_t>(std::min(ahead, sizeof lead_));
    counted(progress, ahead);
    // Bytes no container starts with: the copy is the file as it is, compared from the piece in hand.
    if (!container::mayStartContainer(buffers_->source, ahead)) {
        return compareAsIs(source, true, ahead, copy, hash, progress, report);
    }
    AheadReader reader{source, buffers_->source, ahead, ahead < pieceSize, progress};
    ComparingWriter comparing{copy, buffers_->copy, pieceSize, hash};
    const marlune_reader from{sizeof(marlune_reader), 1, source.sizeAtOpen(), &AheadReader::read, &reader};
    const marlune_writer to{sizeof(marlune_writer), 0, &ComparingWriter::write, &comparing};
    marlune_options options{};
    options.size = sizeof options;
    options.salvage = salvage_ ? 1 : 0;
    const std::int32_t copied = marlune_copy_stream(&from, &to, &options, &report);
    if (comparing.hashFailed) return MARLUNE_OUT_OF_MEMORY;
    if (comparing.copyFailed) return readFailed(copy, report);
    if (copied == MARLUNE_OK || copied == MARLUNE_SALVAGED) {
        // Read to its size when opened: one more read would find it longer.
        std::uint8_t past = 0;
        const std::int64_t more = comparing.differs || atItsEnd(copy) ? 0 : copy.read(&past, 1);
        if (more < 0) return readFailed(copy, report);
        return comparing.differs || more != 0 ? MARLUNE_VERIFY_DIFFERENT : MARLUNE_OK;
    }
    if (!isContainerFinding(copied)) return copied;
    // No container, or a damaged one: its copy is its bytes as they are, read again from the start.
    if (hash) {
        Sha256::Digest unused{};
        hash->finish(unused);
    }
    report = emptyReport(copied);
    if (!source.rewind()) return readFailed(source, report);
    if (!copy.rewind()) return readFailed(copy, report);
    return compareAsIs(source, false, 0, copy, hash, progress, report);
}

std::int32_t CopyComparer::compareAsIs(File& source, bool inHand, std::size_t piece, File& copy, Sha256* hash,
                                       const StepProgress& progress, marlune_report& report) {
    for (;; inHand = false) {
        if (!inHand) {
            if (cancelled(progress)) return MARLUNE_CANCELLED;
            const std::int64_t got = source.read(buffers_->source, pieceSize);
            if (got < 0) return readFailed(source, report);
            piece = static_cast<std::size_t>(got);
            counted(progress, piece);
        }
        if (hash && !hash->update(buffers_->source, piece)) return MARLUNE_OUT_OF_MEMORY;
        report.source_bytes += piece;
        // A short piece is the source's end: the copy is asked for a byte more, to find it
        // longer, unless its size when opened ends there.
        const bool last = piece < pieceSize;
        const bool past = last && !(copy.sizeKnown() && copy.position() + piece == copy.sizeAtOpen());
        const std::int64_t got = copy.read(buffers_->copy, past ? piece + 1 : piece);
        if (got < 0) return readFailed(copy, report);
        if (got != static_cast<std::int64_t>(piece) || std::memcmp(buffers_->source, buffers_->copy, piece) != 0) {
            return MARLUNE_VERIFY_DIFFERENT;
        }
        if (last) return MARLUNE_OK;
    }
}

std::int64_t CopyComparer::lead(std::uint8_t* bytes, std::size_t size) const {
    if (leadSize_ < 0) return -1;
    const std::size_t count = std::min(size, static_cast<std::size_t>(leadSize_));
    std::memcpy(bytes, lead_, count);
    return static_cast<std::int64_t>(count);
}

std::int32_t CopyComparer::hashRest(File& file, Sha256& hash, const StepProgress& progress, marlune_report& report) {
    if (!buffersReady()) return MARLUNE_OUT_OF_MEMORY;
    for (;;) {
        if (cancelled(progress)) return MARLUNE_CANCELLED;
        const std::int64_t got = file.read(buffers_->source, pieceSize);
        if (got < 0) return readFailed(file, report);
        const auto piece = static_cast<std::size_t>(got);
        if (!hash.update(buffers_->source, piece)) return MARLUNE_OUT_OF_MEMORY;
        report.source_bytes += piece;
        counted(progress, piece);
        if (piece < pieceSize) return MARLUNE_OK;
    }
}

}  // namespace marlune::run
