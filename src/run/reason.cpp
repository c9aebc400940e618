#include "run/reason.h"

#include <cstddef>

#include "boundary/api.h"
#include "boundary/operations.h"
#include "platform/os.h"
#include "records/text.h"
#include "run/paths.h"

namespace marlune::run {
namespace {

constexpr std::uint32_t magicSize = 4;

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

// The magic as read, printable: other bytes, and the quote and backslash, as \xNN.
std::string magicText(const marlune_report& report) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint32_t i = 0; i < report.header_bytes && i < magicSize; ++i) {
        const auto byte = static_cast<unsigned char>(report.magic[i]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
            text += static_cast<char>(byte);
        } else {
            text += std::string("\\x") + digits[byte >> 4u] + digits[byte & 15u];
        }
    }
    return text;
}

bool beforeChunks(std::int32_t status) {
    return statusIs(status, MARLUNE_CLASS_BEFORE_CHUNKS);
}

bool opened(std::int32_t status) {
    return !statusIs(status, MARLUNE_CLASS_NOT_OPENED) && status < MARLUNE_RUN_COLLISION;
}

// What an examination found, after the file's name.
std::string examination(std::int32_t status, const marlune_report& report) {
    const std::string missing =
        number(report.cut_missing) + " of its " + number(report.cut_size) + " bytes are missing";
    const std::string chunk = "chunk " + number(report.chunk_number) + " at offset " + number(report.cut_offset);
    switch (status) {
        case MARLUNE_OK:
            return "complete container";
        case MARLUNE_SOURCE_MISSING:
            return "no such file";
        case MARLUNE_SOURCE_NOT_A_FILE:
            return platform::isFolderError(report.system_error) ? "is a folder, not a file" : "is not a regular file";
        case MARLUNE_SOURCE_CHANGED:
            return "it changed while it was read";
        case MARLUNE_NOT_A_CONTAINER:
            // A file shorter than a magic is told by what it holds.
            if (report.header_bytes == 0) return "not a container: the file is empty";
            if (report.header_bytes < magicSize) {
                return "not a container: its " + number(report.header_bytes) + " bytes \"" + magicText(report) +
                       "\" begin neither \"KVRB\" nor \"fx30\"";
            }
            return "not a container: its magic is \"" + magicText(report) + "\", not \"KVRB\" or \"fx30\"";
        case MARLUNE_HEADER_CUT:
            return "incomplete: the file ends inside the 82-byte header, " + missing;
        case MARLUNE_DATA_OFFSET_BELOW_HEADER:
            return "not a valid container: dataOffset " + number(report.data_offset) +
                   " is below 82, inside the header";
        case MARLUNE_PREAMBLE_CUT:
            return "incomplete: dataOffset " + number(report.data_offset) +
                   " is past the end of the file; the preamble at offset 82 is cut short, " + missing;
        case MARLUNE_CHUNK_HEADER_CUT:
            return "incomplete: the header of " + chunk + " is cut short, " + missing;
        case MARLUNE_PAYLOAD_CUT:
            return "incomplete: the payload of " + chunk + " is cut short, " + missing;
        default:
            if (status >= MARLUNE_RUN_COLLISION) return marlune_status_text(status);
            return opened(status) ? "reading it failed" : "cannot be opened for reading";
    }
}

}  // namespace

std::string reasonFor(std::int32_t job, std::int32_t status, const marlune_report* report) {
    const int code = report != nullptr && holds(report->size, &marlune_report::system_error) ? report->system_error : 0;
    // The walk's own failure: its code is always the system's.
    if (status == MARLUNE_RUN_FOLDER_UNREADABLE && code != 0) {
        return "cannot read the folder: " + platform::systemWords(code);
    }
    // A report too short to hold the cut's place tells nothing but the status.
    const bool full = report != nullptr && report->size >= offsetof(marlune_report, chunk_number);
    if (job == MARLUNE_JOB_EXAMINE && report != nullptr && report->size >= offsetof(marlune_report, source_bytes)) {
        return examination(status, *report);
    }
    std::string reason = marlune_status_text(status);
    const bool cut = statusIs(status, MARLUNE_CLASS_DAMAGED);
    if (cut && full) {
        reason += " (at offset " + number(report->cut_offset) + ", " + number(report->cut_missing) + " of " +
                  number(report->cut_size) + " bytes missing)";
    }
    const bool converted = status == MARLUNE_OK || status == MARLUNE_FINISHED;
    if (job == MARLUNE_JOB_CONVERT && converted && code != 0) {
        reason += "; removing the source failed (system error " + std::to_string(code) + ")";
    }
    if (job == MARLUNE_JOB_SALVAGE && status != MARLUNE_OK && status != MARLUNE_SALVAGED) {
        return (beforeChunks(status) ? "cannot be salvaged: " : "salvage failed: ") + reason;
    }
    return reason;
}

namespace {

// A partial file that a crash left, which a conversion removes unless a call (here
// or elsewhere) still writes it: converting it would make a .kv of half a recording.
std::string partialSentence(std::int32_t status, const std::string& said) {
    switch (status) {
        case MARLUNE_RUN_PARTIAL_REMOVED:
        case MARLUNE_RUN_PARTIAL_LEFT:
            return "a partial file left by a conversion that stopped; the recording is whole at its own name";
        case MARLUNE_PARTIAL_IN_USE:
            return "a partial file a conversion is still writing";
        case MARLUNE_SOURCE_MISSING:
            return "a partial file, gone meanwhile";
        default:
            return "cannot remove the partial file: " + said;
    }
}

}  // namespace

std::string sentenceFor(const Step& step, const StepFile& file, std::int32_t status, const marlune_report& report) {
    // Names inside a sentence as on a line of their own: a newline or a terminal's
    // control sequence in one would break the line or act on the screen.
    using records::shellEscaped;
    switch (status) {
        case MARLUNE_RUN_COLLISION:
            return shellEscaped(file.other) + ", named earlier in this run, takes the name " +
                   shellEscaped(file.destination);
        case MARLUNE_NAMED_TWICE:
            if (file.other.empty()) break;
            return "the same file as " + shellEscaped(file.other) + ", named earlier in this run";
        case MARLUNE_RUN_LANDS_ON_RUN_FILE:
            return "its copy would replace " + shellEscaped(file.other) + ", a file of this run";
        case MARLUNE_RUN_OUTSIDE_DESTINATION:
            return "a listed name needs to be relative, without \"..\", to have a place under " +
                   shellEscaped(step.root);
        case MARLUNE_RUN_DESTINATION_LINK:
            return "a symbolic link on the way to " + shellEscaped(file.destination) +
                   ": nothing is written through it";
        default:
            break;
    }
    if (step.job == MARLUNE_JOB_CONVERT) {
        const std::string said = reasonFor(step.job, status, &report);
        if (endsWith(file.source, partialSuffix) && status != MARLUNE_CANCELLED) return partialSentence(status, said);
        return status == MARLUNE_NOT_A_CONTAINER ? "not a container" : said;
    }
    if (status == MARLUNE_RUN_PARTIAL_LEFT && step.job != MARLUNE_JOB_EXAMINE) {
        return "a partial file left by a copy or conversion that stopped";
    }
    // A file that is no container is skipped by a salvage of a tree, not failed.
    const bool skipped = step.job == MARLUNE_JOB_SALVAGE && status == MARLUNE_NOT_A_CONTAINER;
    return reasonFor(skipped ? MARLUNE_JOB_COPY : step.job, status, &report);
}

}  // namespace marlune::run
