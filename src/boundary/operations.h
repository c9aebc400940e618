// The copy and the conversion behind every exported function, the original ones
// and the interface for programs alike. Nothing here keeps state between calls:
// the caller gives the files and the header buffer to work with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "container/copy.h"
#include "marlune.h"
#include "platform/file.h"
#include "platform/os.h"

namespace marlune {

// The status for a source that could not be opened, from the system's code.
std::int32_t sourceOpenStatus(int code);
// The status for a write (or the sync, close or move that finishes one) that failed
// with the system's code: MARLUNE_DISK_FULL when the destination or its quota is
// full, else MARLUNE_WRITE_ERROR.
std::int32_t writeFailureStatus(int code);
// The status for a run's partial file or folder that could not be made: a full
// destination, else MARLUNE_DESTINATION_UNCREATABLE.
std::int32_t creationFailureStatus(int code);
// The same for putting written data on stable storage: MARLUNE_DISK_FULL, else MARLUNE_SYNC_ERROR.
std::int32_t syncFailureStatus(int code);

// Where a copy writes: into the destination itself, created or truncated, or into a
// new file beside it that takes the destination's name only once it is complete.
enum class Placement { inPlace, beside };

// What is on stable storage when a copy returns: as the system left it, the data,
// or the data and the name that leads to it.
enum class Durability { asWritten, data, dataAndName };

// How a call ended: its status, and whether it failed before the chunks (while the
// header and preamble were copied) or after: the original functions' messages
// tell the two apart.
struct Outcome {
    std::int32_t status = MARLUNE_OK;
    bool beforeChunks = false;
};

struct CopyRequest {
    CopyRequest(platform::Os& system, const char* from, const char* to) : os(system), source(from), destination(to) {}

    platform::Os& os;
    const char* source;
    const char* destination;
    Placement placement = Placement::beside;
    Durability durability = Durability::asWritten;
    bool replace = true;
    // A source whose chunks are cut short is copied up to its last whole chunk.
    bool salvage = false;
    // The source goes once the copy stands (a conversion): the copy fails
    // (MARLUNE_DESTINATION_REPLACED) when, at its end, the destination name leads
    // to another file, and (MARLUNE_SOURCE_CHANGED, the copy in place) when the
    // source changed since its copy read it; where `replace` is false, a
    // destination that holds exactly this copy already is put on stable storage
    // and the call answers MARLUNE_FINISHED.
    bool removesSource = false;
    // The copy takes the source's modification time and permission bits (owner and
    // group where the caller may set them; on Windows the times alone) before it is
    // made durable and takes its name: a conversion, whose source then goes. It is
    // its owner's alone while it is written.
    bool keepsTimesAndMode = false;
    // The code page of the paths, for shortening a name (0: UTF-8, or none with
    // double-byte characters).
    unsigned codePage = 0;
    // Every check and read of a copy, but nothing written, moved or removed: the
    // status the copy would answer.
    bool judgeOnly = false;
    container::Progress progress;
    // What reaches the destination cannot be cut back (a caller's writer): it is
    // given whole parts only, never a write that ends inside a chunk.
    bool wholePartsOnly = false;
    // The copy is the only one under way (a single call, or a run with a worker to
    // spare): a large one writes on a thread of its own while it reads on, where the
    // process has a second processor.
    bool overlapWrites = false;
    // What names the partial file apart from another run's; 0: drawn for this copy
    // (a batch draws once and goes on from there, as a random device is slow to open).
    std::uint64_t partialTag = 0;
    // Told of a failure while the files are still open: the original functions
    // show their message then.
    void (*announce)(const Outcome& outcome) = nullptr;
};

// The files and header buffer a copy works with; closed again when it returns.
struct CopyFiles {
    platform::File& source;
    platform::File& destination;
    container::Header& header;
};

// Copies as `request` says and fills in `report` (all of it; its size is not read).
Outcome copyContainer(const CopyRequest& request, CopyFiles& files, marlune_report& report);

// Judges the file at `path` as a copy would, writing nothing: MARLUNE_OK for a
// complete container, else the status a copy would fail with.
std::int32_t examineContainer(platform::Os& os, const char* path, marlune_report& report);

// The same for the `size` bytes at `bytes`, judged where they are.
std::int32_t examineMemory(const std::uint8_t* bytes, std::size_t size, marlune_report& report);

// Converts `request.source` to its ".kv" name (`request.destination` is not read),
// whatever the request's placement and durability: beside, with data and name on
// stable storage before the source is removed. `codePage` is the paths' (0: none
// with double-byte characters).
Outcome convertFile(CopyRequest request, unsigned codePage, CopyFiles& files, marlune_report& report);

// The parts of a conversion, for a batch that takes them for many files: whether
// `path` needs none (it ends in ".kv"), and the request that converts it to
// `destination` (which must outlive it).
bool isConverted(const char* path);
void makeConversion(CopyRequest& request, unsigned codePage, const std::string& destination);

// The ".kv" name for `path`: the extension of its last component replaced, or
// ".kv" appended. Double-byte characters of `codePage` are stepped over.
std::string destinationFor(std::string_view path, unsigned codePage);

// The name a copy placed beside `target` writes under until it is complete: in the
// same folder, unique to the call, ending in partialSuffix, and no longer than a
// name may be (`target`'s last component is shortened where it must be).
inline constexpr std::string_view partialSuffix = ".marlune-partial";
std::string partialNameFor(const std::string& target, unsigned codePage);
// The same with the caller's random `tag`: one who names many copies draws the tags
// from a generator seeded once (a random device can cost tens of microseconds to open).
std::string partialNameFor(const std::string& target, unsigned codePage, std::uint64_t tag);
// A number for seeding such a generator, or a tag: random where the system has a source.
std::uint64_t randomTag();

// Removes the partial file `path` unless a copy is writing it.
std::int32_t removePartial(platform::Os& os, const char* path, marlune_report& report);

// The status's words, and the original functions' message for an outcome.
const char* statusText(std::int32_t status);
const char* statusName(std::int32_t status);
// The status's MARLUNE_CLASS_* bits: the one table of what a status means.
std::uint32_t statusClass(std::int32_t status);
inline bool statusIs(std::int32_t status, std::uint32_t classes) {
    return (statusClass(status) & classes) != 0;
}
const char* legacyMessage(const Outcome& outcome);

}  // namespace marlune
