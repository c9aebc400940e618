// info: what a user needs to know about a file before or after a copy, judged by
// the library's own layout code.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "commands.h"
#include "container/copy.h"
#include "platform/os.h"

namespace marlune::cli {
namespace {

using container::Finding;
using container::Examination;

constexpr std::size_t magicSize = 4;

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}

// The magic as read, printable: other bytes, and the quote and backslash, as \xNN.
std::string magicText(const Examination& examination) {
    std::string text;
    for (std::size_t i = 0; i < std::min(examination.headerBytes, magicSize); ++i) {
        const std::uint8_t byte = examination.header[i];
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
    for (std::size_t i = 0; i < std::min(examination.headerBytes, magicSize); ++i) {
        text += hexDigit(examination.header[i] >> 4u);
        text += hexDigit(examination.header[i]);
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
    const std::string missing =
        number(examination.missingBytes) + " of its " + number(examination.expectedBytes) + " bytes are missing";
    const std::string chunk = "chunk " + number(examination.chunks + 1);
    switch (examination.finding) {
    case Finding::complete: return "complete container";
    case Finding::cannotOpen: return cannotOpenReason(path);
    case Finding::noMemory:
    case Finding::readFailed:
    case Finding::writeFailed: return "reading it failed";
    case Finding::sourceChanged: return "it changed while it was read";
    case Finding::wrongMagic:
        return "not a container: its magic is \"" + magicText(examination) + "\", not \"KVRB\" or \"fx30\"";
    case Finding::headerCut: return "incomplete: the file ends inside the 82-byte header, " + missing;
    case Finding::dataOffsetBelowHeader:
        return "not a valid container: dataOffset " + number(container::dataOffset(examination.header)) +
               " is below 82, inside the header";
    case Finding::dataOffsetPastEnd:
        return "incomplete: dataOffset " + number(container::dataOffset(examination.header)) +
               " is past the end of the file; the preamble at offset 82 is cut short, " + missing;
    case Finding::chunkHeaderCut:
        return "incomplete: the header of " + chunk + " at offset " + number(examination.cutOffset) + " is cut short, " +
               missing;
    case Finding::payloadCut:
        return "incomplete: the payload of " + chunk + " at offset " + number(examination.cutOffset) +
               " is cut short, " + missing;
    }
    return {};
}

std::optional<std::string> problemKind(Finding finding) {
    switch (finding) {
    case Finding::complete: return std::nullopt;
    case Finding::cannotOpen: return "cannot-open";
    case Finding::noMemory:
    case Finding::readFailed:
    case Finding::writeFailed: return "read-failed";
    case Finding::sourceChanged: return "changed-while-read";
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

bool preambleKnown(const Examination& examination) {
    return container::hasContainerHeader(examination) &&
           container::dataOffset(examination.header) >= container::headerSize;
}

std::string modeText(const container::Header& header) {
    return container::isFixedLength(header) ? "fixed" : "per-chunk";
}

void printText(const Examination& examination, const std::string& path) {
    std::string out = path + ": " + verdict(examination, path) + "\n";
    const auto field = [&out](const char* name, const std::string& value) {
        out += "  ";
        out += name;
        out.append(15 - std::string(name).size(), ' ');
        out += value + "\n";
    };
    if (examination.finding != Finding::cannotOpen) field("size", number(examination.fileSize) + " bytes");
    if (examination.finding != Finding::cannotOpen && examination.headerBytes >= magicSize) {
        field("magic", magicText(examination) +
                           (examination.finding == Finding::wrongMagic ? " (hex " + magicHex(examination) + ")" : ""));
    }
    if (container::hasContainerHeader(examination)) {
        const container::Header& header = examination.header;
        field("lengthMode", std::to_string(container::lengthMode(header)) + ": " +
                                (container::isFixedLength(header) ? "fixed 330-byte payloads"
                                                                  : "each chunk gives its payload length"));
        const std::uint32_t offset = container::dataOffset(header);
        field("dataOffset", number(offset) + (preambleKnown(examination)
                                                  ? " (preamble: " + number(offset - container::headerSize) + " bytes)"
                                                  : ""));
    }
    if (chunksWalked(examination.finding)) {
        const char* which = examination.finding == Finding::complete ? "" : " complete";
        field("chunks", number(examination.chunks) + which);
        field("payload", number(examination.payloadBytes) + " bytes");
        if (container::isFixedLength(examination.header)) {
            const std::uint64_t other = examination.lengthFieldsSet;
            field("length fields", other == 0 ? "all 330"
                                              : number(other) + " of " + number(examination.chunks) +
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

std::string jsonObject(const Examination& examination, const std::string& path) {
    const bool opened = examination.finding != Finding::cannotOpen;
    const bool header = container::hasContainerHeader(examination);
    const bool walked = chunksWalked(examination.finding);
    const container::Header& bytes = examination.header;
    const bool magicRead = opened && examination.headerBytes >= magicSize;

    std::string out = "{\"file\": " + jsonString(path);
    out += ", \"complete\": " + std::string(examination.finding == Finding::complete ? "true" : "false");
    out += ", \"size\": " + jsonNumberOrNull(opened, examination.fileSize);
    out += ", \"magic\": " + (magicRead ? jsonString(magicText(examination)) : "null");
    out += ", \"magicHex\": " + (magicRead ? jsonString(magicHex(examination)) : "null");
    out += ", \"lengthMode\": " + (header ? std::to_string(container::lengthMode(bytes)) : "null");
    out += ", \"chunkLengths\": " + (header ? jsonString(modeText(bytes)) : "null");
    out += ", \"dataOffset\": " + jsonNumberOrNull(header, container::dataOffset(bytes));
    out +=
        ", \"preambleBytes\": " + jsonNumberOrNull(preambleKnown(examination),
                                                   container::dataOffset(bytes) - std::uint64_t{container::headerSize});
    out += ", \"chunks\": " + jsonNumberOrNull(walked, examination.chunks);
    out += ", \"payloadBytes\": " + jsonNumberOrNull(walked, examination.payloadBytes);
    out += ", \"lengthFieldsToRewrite\": " + jsonNumberOrNull(walked, examination.lengthFieldsSet);
    out += ", \"problem\": ";
    if (const auto kind = problemKind(examination.finding)) {
        const bool cut = isCut(examination.finding);
        const bool inChunk = examination.finding == Finding::chunkHeaderCut || examination.finding == Finding::payloadCut;
        out += "{\"kind\": " + jsonString(*kind);
        out += ", \"message\": " + jsonString(verdict(examination, path));
        out += ", \"offset\": " + jsonNumberOrNull(cut, examination.cutOffset);
        out += ", \"expectedBytes\": " + jsonNumberOrNull(cut, examination.expectedBytes);
        out += ", \"missingBytes\": " + jsonNumberOrNull(cut, examination.missingBytes);
        out += ", \"chunk\": " + jsonNumberOrNull(inChunk, examination.chunks + 1);
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
        const Examination examination = container::examine(platform::nativeOs(), files[i].c_str());
        allComplete = allComplete && examination.finding == Finding::complete;
        if (json) {
            const std::string line =
                (array ? "  " : "") + jsonObject(examination, files[i]) + (array && i + 1 < files.size() ? ",\n" : "\n");
            std::fputs(line.c_str(), stdout);
        } else {
            if (i > 0) std::fputs("\n", stdout);
            printText(examination, files[i]);
        }
    }
    if (array) std::fputs("]\n", stdout);
    return allComplete ? exitSuccess : exitFailure;
}

}  // namespace marlune::cli
