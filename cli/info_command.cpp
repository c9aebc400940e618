// info: what a user needs to know about a file before or after a copy, judged by
// the library's own examination.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "batch.h"
#include "commands.h"
#include "marlune.h"

namespace marlune::cli {
namespace {

constexpr std::size_t magicSize = 4;
constexpr std::uint64_t headerSize = 82;

// What the command tells apart.
enum class Finding {
    complete,
    cannotOpen,
    readFailed,
    sourceChanged,
    wrongMagic,
    headerCut,
    dataOffsetBelowHeader,
    dataOffsetPastEnd,
    chunkHeaderCut,
    payloadCut,
};

struct Examination {
    std::int32_t status;
    Finding finding;
    marlune_report report;
};

Finding findingOf(std::int32_t status) {
    switch (status) {
        case MARLUNE_OK:
            return Finding::complete;
        case MARLUNE_NO_SOURCE_NAME:
        case MARLUNE_BAD_NAME:
        case MARLUNE_SOURCE_MISSING:
        case MARLUNE_SOURCE_UNREADABLE:
        case MARLUNE_SOURCE_NOT_A_FILE:
            return Finding::cannotOpen;
        case MARLUNE_SOURCE_CHANGED:
            return Finding::sourceChanged;
        case MARLUNE_NOT_A_CONTAINER:
            return Finding::wrongMagic;
        case MARLUNE_HEADER_CUT:
            return Finding::headerCut;
        case MARLUNE_DATA_OFFSET_BELOW_HEADER:
            return Finding::dataOffsetBelowHeader;
        case MARLUNE_PREAMBLE_CUT:
            return Finding::dataOffsetPastEnd;
        case MARLUNE_CHUNK_HEADER_CUT:
            return Finding::chunkHeaderCut;
        case MARLUNE_PAYLOAD_CUT:
            return Finding::payloadCut;
        default:
            return Finding::readFailed;
    }
}

Examination examine(const std::string& path) {
    Examination examination{};
    examination.report.size = sizeof examination.report;
    examination.status = marlune_examine(path.c_str(), &examination.report);
    examination.finding = findingOf(examination.status);
    return examination;
}

// The header was read in full with a container magic: its fields mean something.
bool hasContainerHeader(const Examination& examination) {
    return examination.report.header_bytes == headerSize && examination.finding != Finding::wrongMagic;
}

bool isFixedLength(const Examination& examination) {
    return examination.report.length_mode <= 0;
}

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}

// The magic as read, printable: other bytes, and the quote and backslash, as \xNN.
std::string magicText(const Examination& examination) {
    std::string text;
    for (std::size_t i = 0; i < std::min<std::size_t>(examination.report.header_bytes, magicSize); ++i) {
        const auto byte = static_cast<std::uint8_t>(examination.report.magic[i]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
            text += static_cast<char>(byte);
        } else {
            text += "\\x";
            text += hexDigit(byte >> 4u);
            text += hexDigit(byte);
        }
    }
    return text;
}

std::string magicHex(const Examination& examination) {
    std::string text;
    for (std::size_t i = 0; i < std::min<std::size_t>(examination.report.header_bytes, magicSize); ++i) {
        const auto byte = static_cast<std::uint8_t>(examination.report.magic[i]);
        text += hexDigit(byte >> 4u);
        text += hexDigit(byte);
    }
    return text;
}

// Why a file could not be opened, as far as the file system tells.
std::string cannotOpenReason(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return "no such file";
    if (std::filesystem::is_directory(status)) return "is a folder, not a file";
    if (!error && !std::filesystem::is_regular_file(status)) return "is not a regular file";
    return "cannot be opened for reading";
}

// What the command says about the file, after its name.
std::string verdict(const Examination& examination, const std::string& path) {
    const std::string missing = number(examination.report.cut_missing) + " of its " +
                                number(examination.report.cut_size) + " bytes are missing";
    const std::string chunk = "chunk " + number(examination.report.chunk_number);
    switch (examination.finding) {
        case Finding::complete:
            return "complete container";
        case Finding::cannotOpen:
            return cannotOpenReason(path);
        case Finding::readFailed:
            return "reading it failed";
        case Finding::sourceChanged:
            return "it changed while it was read";
        case Finding::wrongMagic:
            // A file shorter than a magic is told by what it holds.
            if (examination.report.header_bytes == 0) return "not a container: the file is empty";
            if (examination.report.header_bytes < magicSize) {
                return "not a container: its " + number(examination.report.header_bytes) + " bytes \"" +
                       magicText(examination) + "\" begin neither \"KVRB\" nor \"fx30\"";
            }
            return "not a container: its magic is \"" + magicText(examination) + "\", not \"KVRB\" or \"fx30\"";
        case Finding::headerCut:
            return "incomplete: the file ends inside the 82-byte header, " + missing;
        case Finding::dataOffsetBelowHeader:
            return "not a valid container: dataOffset " + number(examination.report.data_offset) +
                   " is below 82, inside the header";
        case Finding::dataOffsetPastEnd:
            return "incomplete: dataOffset " + number(examination.report.data_offset) +
                   " is past the end of the file; the preamble at offset 82 is cut short, " + missing;
        case Finding::chunkHeaderCut:
            return "incomplete: the header of " + chunk + " at offset " + number(examination.report.cut_offset) +
                   " is cut short, " + missing;
        case Finding::payloadCut:
            return "incomplete: the payload of " + chunk + " at offset " + number(examination.report.cut_offset) +
                   " is cut short, " + missing;
    }
    return {};
}

std::optional<std::string> problemKind(Finding finding) {
    switch (finding) {
        case Finding::complete:
            return std::nullopt;
        case Finding::cannotOpen:
            return "cannot-open";
        case Finding::readFailed:
            return "read-failed";
        case Finding::sourceChanged:
            return "changed-while-read";
        case Finding::wrongMagic:
            return "wrong-magic";
        case Finding::headerCut:
            return "header-cut";
        case Finding::dataOffsetBelowHeader:
            return "data-offset-below-82";
        case Finding::dataOffsetPastEnd:
            return "data-offset-past-end";
        case Finding::chunkHeaderCut:
            return "chunk-header-cut";
        case Finding::payloadCut:
            return "payload-cut";
    }
    return std::nullopt;
}

bool isCut(Finding finding) {
    return finding == Finding::headerCut || finding == Finding::dataOffsetPastEnd ||
           finding == Finding::chunkHeaderCut || finding == Finding::payloadCut;
}

// The chunk area was walked: a count of complete chunks means something.
bool chunksWalked(Finding finding) {
    return finding == Finding::complete || finding == Finding::chunkHeaderCut || finding == Finding::payloadCut;
}

bool preambleKnown(const Examination& examination) {
    return hasContainerHeader(examination) && examination.report.data_offset >= headerSize;
}

std::string modeText(const Examination& examination) {
    return isFixedLength(examination) ? "fixed" : "per-chunk";
}

std::string textOf(const Examination& examination, const std::string& path) {
    std::string out = path + ": " + verdict(examination, path) + "\n";
    const auto field = [&out](const char* name, const std::string& value) {
        out += "  ";
        out += name;
        out.append(15 - std::string(name).size(), ' ');
        out += value + "\n";
    };
    if (examination.finding != Finding::cannotOpen) field("size", number(examination.report.source_bytes) + " bytes");
    if (examination.finding != Finding::cannotOpen && examination.report.header_bytes >= magicSize) {
        field("magic", magicText(examination) +
                           (examination.finding == Finding::wrongMagic ? " (hex " + magicHex(examination) + ")" : ""));
    }
    if (hasContainerHeader(examination)) {
        field("lengthMode",
              std::to_string(examination.report.length_mode) + ": " +
                  (isFixedLength(examination) ? "fixed 330-byte payloads" : "each chunk gives its payload length"));
        const std::uint32_t offset = examination.report.data_offset;
        field("dataOffset",
              number(offset) +
                  (preambleKnown(examination) ? " (preamble: " + number(offset - headerSize) + " bytes)" : ""));
    }
    if (chunksWalked(examination.finding)) {
        const char* which = examination.finding == Finding::complete ? "" : " complete";
        field("chunks", number(examination.report.chunks) + which);
        field("payload", number(examination.report.payload_bytes) + " bytes");
        if (isFixedLength(examination)) {
            const std::uint64_t other = examination.report.length_fields_set;
            field("length fields", other == 0 ? "all 330"
                                              : number(other) + " of " + number(examination.report.chunks) +
                                                    " not 330; a copy sets them to 330");
        }
    }
    return out;
}

std::string jsonNumberOrNull(bool known, std::uint64_t value) {
    return known ? number(value) : "null";
}

std::string jsonObject(const Examination& examination, const std::string& path) {
    const bool opened = examination.finding != Finding::cannotOpen;
    const bool header = hasContainerHeader(examination);
    const bool walked = chunksWalked(examination.finding);
    const marlune_report& report = examination.report;
    const bool magicRead = opened && report.header_bytes >= magicSize;

    std::string out = ", \"complete\": " + std::string(examination.finding == Finding::complete ? "true" : "false");
    out += ", \"size\": " + jsonNumberOrNull(opened, report.source_bytes);
    out += ", \"magic\": " + (magicRead ? jsonString(magicText(examination)) : "null");
    out += ", \"magicHex\": " + (magicRead ? jsonString(magicHex(examination)) : "null");
    out += ", \"lengthMode\": " + (header ? std::to_string(report.length_mode) : "null");
    out += ", \"chunkLengths\": " + (header ? jsonString(modeText(examination)) : "null");
    out += ", \"dataOffset\": " + jsonNumberOrNull(header, report.data_offset);
    out += ", \"preambleBytes\": " + jsonNumberOrNull(preambleKnown(examination), report.data_offset - headerSize);
    out += ", \"chunks\": " + jsonNumberOrNull(walked, report.chunks);
    out += ", \"payloadBytes\": " + jsonNumberOrNull(walked, report.payload_bytes);
    out += ", \"lengthFieldsToRewrite\": " + jsonNumberOrNull(walked, report.length_fields_set);
    out += ", \"problem\": ";
    if (const auto kind = problemKind(examination.finding)) {
        const bool cut = isCut(examination.finding);
        const bool inChunk =
            examination.finding == Finding::chunkHeaderCut || examination.finding == Finding::payloadCut;
        out += "{\"kind\": " + jsonString(*kind);
        out += ", \"message\": " + jsonString(verdict(examination, path));
        out += ", \"offset\": " + jsonNumberOrNull(cut, examination.report.cut_offset);
        out += ", \"expectedBytes\": " + jsonNumberOrNull(cut, report.cut_size);
        out += ", \"missingBytes\": " + jsonNumberOrNull(cut, report.cut_missing);
        out += ", \"chunk\": " + jsonNumberOrNull(inChunk, report.chunk_number);
        out += "}";
    } else {
        out += "null";
    }
    return out;
}

}  // namespace

int infoCommand(const FileList& list, const Settings& settings) {
    BatchSettings batch;
    batch.command = "info";
    batch.workers = settings.workers;
    batch.json = settings.json;
    batch.progress = settings.progress;
    return runBatch(list, batch, [](std::size_t, const std::string& file, JobProgress& progress) {
        const Examination examination = examine(file);
        progress.finish(examination.report.source_bytes);
        FileResult result;
        result.hasStatus = true;
        result.status = examination.status;
        result.report = examination.report;
        result.outcome = examination.finding == Finding::complete     ? Outcome::complete
                         : examination.finding == Finding::wrongMagic ? Outcome::skipped
                                                                      : Outcome::failed;
        result.reason = verdict(examination, file);
        result.text = textOf(examination, file);
        result.json = jsonObject(examination, file);
        return result;
    });
}

}  // namespace marlune::cli
