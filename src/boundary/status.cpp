#include "boundary/module_state.h"
#include "boundary/operations.h"

namespace marlune {

const char* statusText(std::int32_t status) {
    switch (status) {
        case MARLUNE_OK:
            return "done";
        case MARLUNE_ALREADY_CONVERTED:
            return "the file is a .kv file already";
        case MARLUNE_SALVAGED:
            return "the source's chunks are cut short; every whole one was copied";
        case MARLUNE_FINISHED:
            return "the .kv file held this file's conversion already; the source was removed";
        case MARLUNE_NO_SOURCE_NAME:
            return "no source file was named";
        case MARLUNE_NO_DESTINATION_NAME:
            return "no destination file was named";
        case MARLUNE_BAD_NAME:
            return "the name cannot name a file";
        case MARLUNE_SOURCE_MISSING:
            return "the source file does not exist";
        case MARLUNE_SOURCE_UNREADABLE:
            return "the source file may not be read";
        case MARLUNE_SOURCE_NOT_A_FILE:
            return "the source is not a regular file";
        case MARLUNE_DESTINATION_UNCREATABLE:
            return "the destination file cannot be created";
        case MARLUNE_DESTINATION_IS_SOURCE:
            return "the destination is the source file itself";
        case MARLUNE_DESTINATION_EXISTS:
            return "the destination file exists already";
        case MARLUNE_DESTINATION_REPLACED:
            return "another file took the .kv name meanwhile; the source was kept";
        case MARLUNE_PARTIAL_IN_USE:
            return "a copy is still writing the partial file";
        case MARLUNE_NOT_A_CONTAINER:
            return "the source is not a KVRB container";
        case MARLUNE_HEADER_CUT:
            return "the source ends inside the 82-byte header";
        case MARLUNE_DATA_OFFSET_BELOW_HEADER:
            return "the header's dataOffset is below 82, inside the header";
        case MARLUNE_PREAMBLE_CUT:
            return "the source ends before its dataOffset, inside the preamble";
        case MARLUNE_CHUNK_HEADER_CUT:
            return "the source ends inside a chunk header";
        case MARLUNE_PAYLOAD_CUT:
            return "the source ends inside a chunk's payload";
        case MARLUNE_SOURCE_CHANGED:
            return "the source changed while it was copied";
        case MARLUNE_READ_ERROR:
            return "reading the source failed";
        case MARLUNE_WRITE_ERROR:
            return "writing the destination failed";
        case MARLUNE_DISK_FULL:
            return "the destination's disk is full";
        case MARLUNE_SYNC_ERROR:
            return "putting the destination on stable storage failed";
        case MARLUNE_CANCELLED:
            return "the copy was cancelled";
        case MARLUNE_OUT_OF_MEMORY:
            return "there was not enough memory";
        default:
            return "unknown status";
    }
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
