#include "boundary/module_state.h"
#include "boundary/operations.h"

namespace marlune {

namespace {

struct StatusEntry {
    std::int32_t status;
    const char* name;
    const char* text;
};

// Every status, once: its name as marlune.h spells it, and its words.
#define STATUS(status, text) \
    { status, #status, text }
constexpr StatusEntry statuses[] = {
    STATUS(MARLUNE_OK, "done"),
    STATUS(MARLUNE_ALREADY_CONVERTED, "the file is a .kv file already"),
    STATUS(MARLUNE_SALVAGED, "the source's chunks are cut short; every whole one was copied"),
    STATUS(MARLUNE_FINISHED, "the .kv file held this file's conversion already; the source was removed"),
    STATUS(MARLUNE_NO_SOURCE_NAME, "no source file was named"),
    STATUS(MARLUNE_NO_DESTINATION_NAME, "no destination file was named"),
    STATUS(MARLUNE_BAD_NAME, "the name cannot name a file"),
    STATUS(MARLUNE_SOURCE_MISSING, "the source file does not exist"),
    STATUS(MARLUNE_SOURCE_UNREADABLE, "the source file may not be read"),
    STATUS(MARLUNE_SOURCE_NOT_A_FILE, "the source is not a regular file"),
    STATUS(MARLUNE_DESTINATION_UNCREATABLE, "the destination file cannot be created"),
    STATUS(MARLUNE_DESTINATION_IS_SOURCE, "the destination is the source file itself"),
    STATUS(MARLUNE_DESTINATION_EXISTS, "the destination file exists already"),
    STATUS(MARLUNE_DESTINATION_REPLACED, "another file took the .kv name meanwhile; the source was kept"),
    STATUS(MARLUNE_PARTIAL_IN_USE, "a copy is still writing the partial file"),
    STATUS(MARLUNE_NAMED_TWICE, "the same file was named earlier; nothing was done for it here"),
    STATUS(MARLUNE_NOT_A_CONTAINER, "the source is not a KVRB container"),
    STATUS(MARLUNE_HEADER_CUT, "the source ends inside the 82-byte header"),
    STATUS(MARLUNE_DATA_OFFSET_BELOW_HEADER, "the header's dataOffset is below 82, inside the header"),
    STATUS(MARLUNE_PREAMBLE_CUT, "the source ends before its dataOffset, inside the preamble"),
    STATUS(MARLUNE_CHUNK_HEADER_CUT, "the source ends inside a chunk header"),
    STATUS(MARLUNE_PAYLOAD_CUT, "the source ends inside a chunk's payload"),
    STATUS(MARLUNE_SOURCE_CHANGED, "the source changed while it was copied, or after; the source was kept"),
    STATUS(MARLUNE_READ_ERROR, "reading the source failed"),
    STATUS(MARLUNE_WRITE_ERROR, "writing the destination failed"),
    STATUS(MARLUNE_DISK_FULL, "the destination's disk is full"),
    STATUS(MARLUNE_SYNC_ERROR, "putting the destination on stable storage failed"),
    STATUS(MARLUNE_CANCELLED, "the copy was cancelled"),
    STATUS(MARLUNE_OUT_OF_MEMORY, "there was not enough memory"),
    STATUS(MARLUNE_TOO_MANY_FILES, "no file handle was left for the batch; nothing was moved, the source was kept"),
    STATUS(MARLUNE_RUN_COLLISION, "an earlier file of the run takes its name"),
    STATUS(MARLUNE_RUN_LANDS_ON_RUN_FILE, "its copy would replace a file of the run"),
    STATUS(MARLUNE_RUN_OUTSIDE_DESTINATION, "the name has no place under the destination folder"),
    STATUS(MARLUNE_RUN_DESTINATION_LINK, "a symbolic link stands on the way to its copy's name"),
    STATUS(MARLUNE_RUN_PARTIAL_REMOVED, "a partial file left by a copy or conversion that stopped; removed"),
    STATUS(MARLUNE_RUN_PARTIAL_LEFT, "a partial file left by a copy or conversion that stopped"),
    STATUS(MARLUNE_RUN_FOLDER_UNREADABLE, "the folder cannot be read"),
    STATUS(MARLUNE_RUN_INSIDE_SOURCE, "the destination folder lies within the source folder"),
    STATUS(MARLUNE_RUN_BAD_STATE, "the call does not fit the run's state"),
    STATUS(MARLUNE_RUN_LINK_REFUSED, "the system would not make the symbolic link"),
    STATUS(MARLUNE_VERIFY_MISSING, "the destination lacks the file"),
    STATUS(MARLUNE_VERIFY_EXTRA, "the destination holds a file the source lacks"),
    STATUS(MARLUNE_VERIFY_DIFFERENT, "the copy differs from its source"),
    STATUS(MARLUNE_VERIFY_BAD_LINE, "a line of the manifest cannot be used"),
    STATUS(MARLUNE_RUN_DELETION_OFF, "nothing was removed: the run met an error in the source"),
    STATUS(MARLUNE_RUN_DELETE_LIMIT, "kept, with every later file the source lacks: the deletion limit was reached"),
    STATUS(MARLUNE_RUN_SOURCE_EMPTY, "nothing was removed: the source folder holds no file"),
    STATUS(MARLUNE_RUN_SOURCE_INSIDE_DESTINATION, "the source folder lies within the destination folder"),
    STATUS(MARLUNE_RUN_NO_WORKERS, "the system would start no worker thread"),
    STATUS(MARLUNE_RUN_JOB_REFUSED, "the run's options do not go together"),
    STATUS(MARLUNE_RUN_NO_FOLDER, "no folder is where the run needs one"),
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
