// One JSON object a line: members added in order, strings kept valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

namespace marlune::cli {

inline char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}

// A JSON string: escaped, and with bytes that are not UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& text);

class Json {
public:
    Json& text(const char* key, const std::string& value) { return raw(key, jsonString(value)); }
    Json& textOrNull(const char* key, bool known, const std::string& value) {
        return raw(key, known ? jsonString(value) : "null");
    }
    template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
    Json& number(const char* key, Number value) {
        return raw(key, std::to_string(value));
    }
    template <class Number>
    Json& numberOrNull(const char* key, bool known, Number value) {
        return raw(key, known ? std::to_string(value) : "null");
    }
    Json& boolean(const char* key, bool value) { return raw(key, value ? "true" : "false"); }
    Json& object(const char* key, const Json& value) { return raw(key, value.str()); }
    // The members of another object, after these.
    Json& append(const Json& other);
    Json& raw(const char* key, const std::string& value);

    std::string str() const { return "{" + members_ + "}"; }

private:
    std::string members_;
};

}  // namespace marlune::cli
