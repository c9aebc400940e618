#include "boundary/module_state.h"
#include "boundary/operations.h"

namespace marlune {

namespace {

struct StatusEntry {
    std::int32_t status;
    const char* name;
    std::uint32_t classes;  // MARLUNE_CLASS_*
    const char* text;
};

constexpr std::uint32_t failure = 0;
constexpr std::uint32_t done = MARLUNE_CLASS_DONE;
constexpr std::uint32_t cancelled = MARLUNE_CLASS_CANCELLED;
constexpr std::uint32_t finding = MARLUNE_CLASS_FINDING;
constexpr std::uint32_t notAContainer = MARLUNE_CLASS_NOT_A_CONTAINER;
constexpr std::uint32_t damaged = MARLUNE_CLASS_DAMAGED;
constexpr std::uint32_t beforeChunks = MARLUNE_CLASS_BEFORE_CHUNKS;
constexpr std::uint32_t notOpened = MARLUNE_CLASS_NOT_OPENED;
constexpr std::uint32_t sourceError = MARLUNE_CLASS_SOURCE_ERROR;
constexpr std::uint32_t collision = MARLUNE_CLASS_COLLISION;
constexpr std::uint32_t different = MARLUNE_CLASS_DIFFERENT;

// Every status, once: its name as marlune.h spells it, its classes and its words.
// Every front end, the run's outcomes and the records take a status's class from here.
#define STATUS(status, classes, text) \
    { status, #status, classes, text }
constexpr StatusEntry statuses[] = {
    STATUS(MARLUNE_OK, done | finding, "done"),
    STATUS(MARLUNE_ALREADY_CONVERTED, done, "the file is a .kv file already"),
    STATUS(MARLUNE_SALVAGED, done | damaged, "the source's chunks are cut short; every whole one was copied"),
    STATUS(MARLUNE_FINISHED, done, "the .kv file held this file's conversion already; the source was removed"),
    STATUS(MARLUNE_NO_SOURCE_NAME, notOpened, "no source file was named"),
    STATUS(MARLUNE_NO_DESTINATION_NAME, failure, "no destination file was named"),
    STATUS(MARLUNE_BAD_NAME, notOpened, "the name cannot name a file"),
    STATUS(MARLUNE_SOURCE_MISSING, notOpened | sourceError, "the source file does not exist"),
    STATUS(MARLUNE_SOURCE_UNREADABLE, notOpened | sourceError, "the source file may not be read"),
    STATUS(MARLUNE_SOURCE_NOT_A_FILE, notOpened, "the source is not a regular file"),
    STATUS(MARLUNE_DESTINATION_UNCREATABLE, failure, "the destination file cannot be created"),
    STATUS(MARLUNE_DESTINATION_IS_SOURCE, failure, "the destination is the source file itself"),
    STATUS(MARLUNE_DESTINATION_EXISTS, failure, "the destination file exists already"),
    STATUS(MARLUNE_DESTINATION_REPLACED, failure, "another file took the .kv name meanwhile; the source was kept"),
    STATUS(MARLUNE_PARTIAL_IN_USE, failure, "a copy is still writing the partial file"),
    STATUS(MARLUNE_NAMED_TWICE, notOpened | collision, "the same file was named earlier; nothing was done for it here"),
    STATUS(MARLUNE_NOT_A_CONTAINER, finding | notAContainer | beforeChunks, "the source is not a KVRB container"),
    STATUS(MARLUNE_HEADER_CUT, finding | damaged | beforeChunks, "the source ends inside the 82-byte header"),
    STATUS(MARLUNE_DATA_OFFSET_BELOW_HEADER, finding | beforeChunks,
           "the header's dataOffset is below 82, inside the header"),
    STATUS(MARLUNE_PREAMBLE_CUT, finding | damaged | beforeChunks,
           "the source ends before its dataOffset, inside the preamble"),
    STATUS(MARLUNE_CHUNK_HEADER_CUT, finding | damaged, "the source ends inside a chunk header"),
    STATUS(MARLUNE_PAYLOAD_CUT, finding | damaged, "the source ends inside a chunk's payload"),
    STATUS(MARLUNE_SOURCE_CHANGED, failure, "the source changed while it was copied, or after; the source was kept"),
    STATUS(MARLUNE_READ_ERROR, sourceError, "reading the source failed"),
    STATUS(MARLUNE_WRITE_ERROR, failure, "writing the destination failed"),
    STATUS(MARLUNE_DISK_FULL, failure, "the destination's disk is full"),
    STATUS(MARLUNE_SYNC_ERROR, failure, "putting the destination on stable storage failed"),
    STATUS(MARLUNE_CANCELLED, cancelled, "the copy was cancelled"),
    STATUS(MARLUNE_OUT_OF_MEMORY, sourceError, "there was not enough memory"),
    STATUS(MARLUNE_TOO_MANY_FILES, notOpened | sourceError,
           "no file handle was left for the batch; nothing was moved, the source was kept"),
    STATUS(MARLUNE_RUN_COLLISION, collision, "an earlier file of the run takes its name"),
    STATUS(MARLUNE_RUN_LANDS_ON_RUN_FILE, failure, "its copy would replace a file of the run"),
    STATUS(MARLUNE_RUN_OUTSIDE_DESTINATION, failure, "the name has no place under the destination folder"),
    STATUS(MARLUNE_RUN_DESTINATION_LINK, failure, "a symbolic link stands on the way to its copy's name"),
    STATUS(MARLUNE_RUN_PARTIAL_REMOVED, done, "a partial file left by a copy or conversion that stopped; removed"),
    STATUS(MARLUNE_RUN_PARTIAL_LEFT, done, "a partial file left by a copy or conversion that stopped"),
    STATUS(MARLUNE_RUN_FOLDER_UNREADABLE, sourceError, "the folder cannot be read"),
    STATUS(MARLUNE_RUN_INSIDE_SOURCE, failure, "the destination folder lies within the source folder"),
    STATUS(MARLUNE_RUN_BAD_STATE, failure, "the call does not fit the run's state"),
    STATUS(MARLUNE_RUN_LINK_REFUSED, failure, "the system would not make the symbolic link"),
    STATUS(MARLUNE_VERIFY_MISSING, different, "the destination lacks the file"),
    STATUS(MARLUNE_VERIFY_EXTRA, different, "the destination holds a file the source lacks"),
    STATUS(MARLUNE_VERIFY_DIFFERENT, different, "the copy differs from its source"),
    STATUS(MARLUNE_VERIFY_BAD_LINE, different, "a line of the manifest cannot be used"),
    STATUS(MARLUNE_RUN_DELETION_OFF, failure, "nothing was removed: the run met an error in the source"),
    STATUS(MARLUNE_RUN_DELETE_LIMIT, failure,
           "kept, with every later file the source lacks: the deletion limit was reached"),
    STATUS(MARLUNE_RUN_SOURCE_EMPTY, failure, "nothing was removed: the source folder holds no file"),
    STATUS(MARLUNE_RUN_SOURCE_INSIDE_DESTINATION, failure, "the source folder lies within the destination folder"),
    STATUS(MARLUNE_RUN_NO_WORKERS, failure, "the system would start no worker thread"),
    STATUS(MARLUNE_RUN_JOB_REFUSED, failure, "the run's options do not go together"),
    STATUS(MARLUNE_RUN_NO_FOLDER, failure, "no folder is where the run needs one"),
    STATUS(MARLUNE_RUN_COPY_ROTTED, done,
           "the copy had changed since it was written (it no longer matched its manifest); copied again from its source"),
    STATUS(MARLUNE_VERIFY_NO_MANIFEST, failure, "the manifest cannot be read, or lists no file: nothing was checked"),
    STATUS(MARLUNE_VERIFY_NOT_IN_MANIFEST, different, "the manifest does not list the file"),
    STATUS(MARLUNE_VERIFY_NOT_AS_LISTED, different, "the file is not as its manifest line says"),
};
#undef STATUS

const StatusEntry* entryOf(std::int32_t status) {
    for (const StatusEntry& entry : statuses) {
        if (entry.status == status) return &entry;
    }
    return nullptr;
}

}  // namespace

const char* statusText(std::int32_t status) {
    const StatusEntry* entry = entryOf(status);
    return entry ? entry->text : "unknown status";
}

std::uint32_t statusClass(std::int32_t status) {
    const StatusEntry* entry = entryOf(status);
    return entry ? entry->classes : failure;
}

const char* statusName(std::int32_t status) {
    const StatusEntry* entry = entryOf(status);
    return entry ? entry->name : "MARLUNE_UNKNOWN";
}

// The table in marlune.h.
const char* legacyMessage(const Outcome& outcome) {
    const std::int32_t status = outcome.status;
    if (status >= MARLUNE_OK && status <= MARLUNE_FINISHED) return nullptr;
    if (status < MARLUNE_SOURCE_MISSING) return messages::badName;
    if (status < MARLUNE_DESTINATION_UNCREATABLE) return messages::cannotOpenSource;
    if (status < MARLUNE_NOT_A_CONTAINER) return messages::cannotCreateDestination;
    if (status < MARLUNE_CHUNK_HEADER_CUT || outcome.beforeChunks) return messages::cannotCopyHeader;
    return messages::cannotCopyAudioData;
}

}  // namespace marlune
