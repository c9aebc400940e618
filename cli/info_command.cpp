// info: what a user needs to know about a file before or after a copy, judged by
// the library's own layout code.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "commands.h"
#include "container/inspect.h"
#include "platform/os.h"

namespace marlune::cli {
namespace {

using container::Finding;
using container::Inspection;

constexpr std::size_t magicSize = 4;

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}

// The magic as read, printable: other bytes, and the quote and backslash, as \xNN.
std::string magicText(const Inspection& inspection) {
    std::string text;
    for (std::size_t i = 0; i < std::min(inspection.headerBytes, magicSize); ++i) {
        const std::uint8_t byte = inspection.header[i];
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

std::string magicHex(const Inspection& inspection) {
    std::string text;
    for (std::size_t i = 0; i < std::min(inspection.headerBytes, magicSize); ++i) {
        text += hexDigit(inspection.header[i] >> 4u);
        text += hexDigit(inspection.header[i]);
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
std::string verdict(const Inspection& inspection, const std::string& path) {
    const std::string missing =
        number(inspection.missingBytes) + " of its " + number(inspection.expectedBytes) + " bytes are missing";
    const std::string chunk = "chunk " + number(inspection.chunks + 1);
    switch (inspection.finding) {
    case Finding::complete: return "complete container";
    case Finding::cannotOpen: return cannotOpenReason(path);
    case Finding::readFailed: return "reading it failed";
    case Finding::wrongMagic:
        return "not a container: its magic is \"" + magicText(inspection) + "\", not \"KVRB\" or \"fx30\"";
    case Finding::headerCut: return "incomplete: the file ends inside the 82-byte header, " + missing;
    case Finding::dataOffsetBelowHeader:
        return "not a valid container: dataOffset " + number(container::dataOffset(inspection.header)) +
               " is below 82, inside the header";
    case Finding::dataOffsetPastEnd:
        return "incomplete: dataOffset " + number(container::dataOffset(inspection.header)) +
               " is past the end of the file; the preamble at offset 82 is cut short, " + missing;
    case Finding::chunkHeaderCut:
        return "incomplete: the header of " + chunk + " at offset " + number(inspection.cutOffset) + " is cut short, " +
               missing;
    case Finding::payloadCut:
        return "incomplete: the payload of " + chunk + " at offset " + number(inspection.cutOffset) +
               " is cut short, " + missing;
    }
    return {};
}

std::optional<std::string> problemKind(Finding finding) {
    switch (finding) {
    case Finding::complete: return std::nullopt;
    case Finding::cannotOpen: return "cannot-open";
    case Finding::readFailed: return "read-failed";
    case Finding::wrongMagic: return "wrong-magic";
    case Finding::headerCut: return "header-cut";
    case Finding::dataOffsetBelowHeader: return "data-offset-below-82";
    case Finding::dataOffsetPastEnd: return "data-offset-past-end";
    case Finding::chunkHeaderCut: return "chunk-header-cut";
    case Finding::payloadCut: return "payload-cut";
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

bool preambleKnown(const Inspection& inspection) {
    return container::hasContainerHeader(inspection) &&
           container::dataOffset(inspection.header) >= container::headerSize;
}

std::string modeText(const container::Header& header) {
    return container::isFixedLength(header) ? "fixed" : "per-chunk";
}

void printText(const Inspection& inspection, const std::string& path) {
    std::string out = path + ": " + verdict(inspection, path) + "\n";
    const auto field = [&out](const char* name, const std::string& value) {
        out += "  ";
        out += name;
        out.append(15 - std::string(name).size(), ' ');
        out += value + "\n";
    };
    if (inspection.finding != Finding::cannotOpen) field("size", number(inspection.fileSize) + " bytes");
    if (inspection.finding != Finding::cannotOpen && inspection.headerBytes >= magicSize) {
        field("magic", magicText(inspection) +
                           (inspection.finding == Finding::wrongMagic ? " (hex " + magicHex(inspection) + ")" : ""));
    }
    if (container::hasContainerHeader(inspection)) {
        const container::Header& header = inspection.header;
        field("lengthMode", std::to_string(container::lengthMode(header)) + ": " +
                                (container::isFixedLength(header) ? "fixed 330-byte payloads"
                                                                  : "each chunk gives its payload length"));
        const std::uint32_t offset = container::dataOffset(header);
        field("dataOffset", number(offset) + (preambleKnown(inspection)
                                                  ? " (preamble: " + number(offset - container::headerSize) + " bytes)"
                                                  : ""));
    }
    if (chunksWalked(inspection.finding)) {
        const char* which = inspection.finding == Finding::complete ? "" : " complete";
        field("chunks", number(inspection.chunks) + which);
        field("payload", number(inspection.payloadBytes) + " bytes");
        if (container::isFixedLength(inspection.header)) {
            const std::uint64_t other = inspection.lengthFieldsToRewrite;
            field("length fields", other == 0 ? "all 330"
                                              : number(other) + " of " + number(inspection.chunks) +
                                                    " not 330; a copy sets them to 330");
        }
    }
    std::fputs(out.c_str(), stdout);
}

// A JSON string: escaped, and with bytes that are not UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte == '"' || byte == '\\') {
                out += '\\';
                out += static_cast<char>(byte);
            } else if (byte < 0x20) {
                out += "\\u00";
                out += hexDigit(byte >> 4u);
                out += hexDigit(byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        // Sequence length and the smallest value it may carry (no overlong forms).
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
        std::uint32_t value = length == 4 ? byte & 0x07u : length == 3 ? byte & 0x0Fu : byte & 0x1Fu;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            value = (value << 6) | (next & 0x3Fu);
        }
        const std::uint32_t smallest = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0x80;
        valid = valid && value >= smallest && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

std::string jsonNumberOrNull(bool known, std::uint64_t value) {
    return known ? number(value) : "null";
}

std::string jsonObject(const Inspection& inspection, const std::string& path) {
    const bool opened = inspection.finding != Finding::cannotOpen;
    const bool header = container::hasContainerHeader(inspection);
    const bool walked = chunksWalked(inspection.finding);
    const container::Header& bytes = inspection.header;
    const bool magicRead = opened && inspection.headerBytes >= magicSize;

    std::string out = "{\"file\": " + jsonString(path);
    out += ", \"complete\": " + std::string(inspection.finding == Finding::complete ? "true" : "false");
    out += ", \"size\": " + jsonNumberOrNull(opened, inspection.fileSize);
    out += ", \"magic\": " + (magicRead ? jsonString(magicText(inspection)) : "null");
    out += ", \"magicHex\": " + (magicRead ? jsonString(magicHex(inspection)) : "null");
    out += ", \"lengthMode\": " + (header ? std::to_string(container::lengthMode(bytes)) : "null");
    out += ", \"chunkLengths\": " + (header ? jsonString(modeText(bytes)) : "null");
    out += ", \"dataOffset\": " + jsonNumberOrNull(header, container::dataOffset(bytes));
    out +=
        ", \"preambleBytes\": " + jsonNumberOrNull(preambleKnown(inspection),
                                                   container::dataOffset(bytes) - std::uint64_t{container::headerSize});
    out += ", \"chunks\": " + jsonNumberOrNull(walked, inspection.chunks);
    out += ", \"payloadBytes\": " + jsonNumberOrNull(walked, inspection.payloadBytes);
    out += ", \"lengthFieldsToRewrite\": " + jsonNumberOrNull(walked, inspection.lengthFieldsToRewrite);
    out += ", \"problem\": ";
    if (const auto kind = problemKind(inspection.finding)) {
        const bool cut = isCut(inspection.finding);
        const bool inChunk = inspection.finding == Finding::chunkHeaderCut || inspection.finding == Finding::payloadCut;
        out += "{\"kind\": " + jsonString(*kind);
        out += ", \"message\": " + jsonString(verdict(inspection, path));
        out += ", \"offset\": " + jsonNumberOrNull(cut, inspection.cutOffset);
        out += ", \"expectedBytes\": " + jsonNumberOrNull(cut, inspection.expectedBytes);
        out += ", \"missingBytes\": " + jsonNumberOrNull(cut, inspection.missingBytes);
        out += ", \"chunk\": " + jsonNumberOrNull(inChunk, inspection.chunks + 1);
        out += "}";
    } else {
        out += "null";
    }
    return out + "}";
}

}  // namespace

int infoCommand(const std::vector<std::string>& files, bool json) {
    bool allComplete = true;
    const bool array = json && files.size() > 1;
    if (array) std::fputs("[\n", stdout);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const Inspection inspection = container::inspect(platform::nativeOs(), files[i].c_str());
        allComplete = allComplete && inspection.finding == Finding::complete;
        if (json) {
            const std::string line =
                (array ? "  " : "") + jsonObject(inspection, files[i]) + (array && i + 1 < files.size() ? ",\n" : "\n");
            std::fputs(line.c_str(), stdout);
        } else {
            if (i > 0) std::fputs("\n", stdout);
            printText(inspection, files[i]);
        }
    }
    if (array) std::fputs("]\n", stdout);
    return allComplete ? exitSuccess : exitFailure;
}

}  // namespace marlune::cli
