#include "json.h"

namespace marlune::cli {
namespace {

// The length of the UTF-8 sequence at text[i], or 0 when none starts there:
// no overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t sequenceAt(const std::string& text, std::size_t i) {
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

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const std::size_t length = sequenceAt(text, i);
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

Json& Json::raw(const char* key, const std::string& value) {
    if (!members_.empty()) members_ += ", ";
    members_ += jsonString(key) + ": " + value;
    return *this;
}

Json& Json::append(const Json& other) {
    if (!members_.empty() && !other.members_.empty()) members_ += ", ";
    members_ += other.members_;
    return *this;
}

}  // namespace marlune::cli
