#include "records/text.h"

namespace marlune::records {
namespace {

char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xFu];
}

// $'\n', $'\351': what no quotes can hold.
std::string ansiC(unsigned char byte) {
    switch (byte) {
        case '\a':
            return "\\a";
        case '\b':
            return "\\b";
        case '\t':
            return "\\t";
        case '\n':
            return "\\n";
        case '\v':
            return "\\v";
        case '\f':
            return "\\f";
        case '\r':
            return "\\r";
        default:
            break;
    }
    std::string out = "\\";
    out += static_cast<char>('0' + ((byte >> 6u) & 7u));
    out += static_cast<char>('0' + ((byte >> 3u) & 7u));
    out += static_cast<char>('0' + (byte & 7u));
    return out;
}

// The length of a printable character at text[i] (C1 controls are not), or 0
// for a control character or a byte that is no UTF-8.
std::size_t printableAt(const std::string& text, std::size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) return byte >= 0x20 && byte != 0x7F ? 1 : 0;
    const std::size_t length = utf8SequenceAt(text, i);
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    return c1 ? 0 : length;
}

}  // namespace

std::size_t utf8SequenceAt(const std::string& text, std::size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = byte >= 0xF8 ? 0 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    std::uint32_t value = length == 4 ? byte & 0x07u : length == 3 ? byte & 0x0Fu : byte & 0x1Fu;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3Fu);
    }
    const std::uint32_t smallest = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0x80;
    const bool valid = value >= smallest && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
    return valid ? length : 0;
}

bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceAt(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string readableUtf8(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : utf8SequenceAt(text, i);
        out += length == 0 ? std::string("\xEF\xBF\xBD") : text.substr(i, length);
        i += length == 0 ? 1 : length;
    }
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const std::size_t length = utf8SequenceAt(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
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
    }
    return out + "\"";
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string csvTextField(const std::string& text) {
    if (text.empty() || std::string("=+-@\t\r'").find(text[0]) == std::string::npos) return csvField(text);
    std::string out = "\"'";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string shellEscaped(const std::string& name) {
    // Shown as it is unless it holds what would break a line or hide a byte; a quote
    // too, so that a name shown as it is never looks like an escaped one.
    bool plain = !name.empty();
    for (std::size_t i = 0; i < name.size() && plain;) {
        const std::size_t length = name[i] == '\'' ? 0 : printableAt(name, i);
        plain = length != 0;
        i += length;
    }
    if (plain) return name;
    std::string out;
    bool quoted = false;  // inside '...'
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = printableAt(name, i);
        if (length == 0 || name[i] == '\'') {
            if (quoted) out += '\'';
            quoted = false;
            out += name[i] == '\'' ? std::string("\\'") : "$'" + ansiC(static_cast<unsigned char>(name[i])) + "'";
            ++i;
            continue;
        }
        if (!quoted) out += '\'';
        quoted = true;
        out.append(name, i, length);
        i += length;
    }
    if (quoted) out += '\'';
    return name.empty() ? "''" : out;
}

std::string base64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16u;
        if (left > 1) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8u;
        if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(group >> 18u) & 63u];
        out += alphabet[(group >> 12u) & 63u];
        out += left > 1 ? alphabet[(group >> 6u) & 63u] : '=';
        out += left > 2 ? alphabet[group & 63u] : '=';
    }
    return out;
}

std::string htmlEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace marlune::records
