// A copy held against what copying its source gives now, for verify and a
// mirror's --checksum rerun: their sizes first, then their bytes, each file read
// once and side by side, hashed on the way only where a digest is wanted.
#pragma once

#include <cstdint>
#include <memory>

#include "marlune.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "run/step.h"

namespace marlune::run {

// What a copy finds short of a whole container: such a source is copied byte for byte.
bool isContainerFinding(std::int32_t status);

class CopyComparer {
public:
    // `salvage`: the copies are a salvage's, whose copy of a damaged recording holds its whole chunks alone.
    explicit CopyComparer(bool salvage) : salvage_(salvage) {}

    // MARLUNE_OK when `copy` holds what copying `source` gives now, MARLUNE_VERIFY_DIFFERENT
    // when it does not, else the status of what failed (`report.system_error` says why).
    // Both files as just opened. Sizes that cannot match are told before any byte is read.
    // `hash` (null: none) is given the bytes a copy gets, every one of them where the
    // answer is MARLUNE_OK; after any other answer it holds a part, to start again.
    std::int32_t compare(platform::File& source, platform::File& copy, platform::Sha256* hash,
                         const StepProgress& progress, marlune_report& report);

    // Whether a copy of `copySize` bytes cannot be one of a source of `sourceSize`: a copy
    // keeps its source's size, and a salvaged one may only be shorter.
    bool sizesRuleOut(std::uint64_t sourceSize, std::uint64_t copySize) const {
        return salvage_ ? copySize > sourceSize : copySize != sourceSize;
    }

    // The first bytes (up to `size`) of the source the last compare() read from, as many as
    // it has, into `bytes`: their count, or -1 where it read none.
    std::int64_t lead(std::uint8_t* bytes, std::size_t size) const;

    // Reads the rest of `file` into `hash`: MARLUNE_OK, or the status of what failed.
    std::int32_t hashRest(platform::File& file, platform::Sha256& hash, const StepProgress& progress,
                          marlune_report& report);

private:
    // Kept in the cache between the read and the compare (or the hash): larger pieces read slower.
    static constexpr std::size_t pieceSize = 64 * 1024;
    struct Buffers {
        std::uint8_t source[pieceSize];
        std::uint8_t copy[pieceSize];
    };

    bool buffersReady();
    // The source as it is against the copy from its start; `inHand`: the source's first
    // `piece` bytes are in the buffer already.
    std::int32_t compareAsIs(platform::File& source, bool inHand, std::size_t piece, platform::File& copy,
                             platform::Sha256* hash, const StepProgress& progress, marlune_report& report);

    bool salvage_;
    std::uint8_t lead_[16] = {};  // the source's first bytes, for lead()
    std::int64_t leadSize_ = -1;
    std::unique_ptr<Buffers> buffers_;  // for every file of a step, made with the first
};

}  // namespace marlune::run
