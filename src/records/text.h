// How names and values are spelled in the records: JSON, CSV, shell-escaped
// text and base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace marlune::records {

// The length of the UTF-8 sequence at text[i], or 0 when none starts there:
// no overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8SequenceAt(const std::string& text, std::size_t i);
bool isUtf8(const std::string& text);
// The text with each byte that is no UTF-8 replaced by U+FFFD, as JSON has it.
std::string readableUtf8(const std::string& text);

// A JSON string: escaped, and with bytes that are not UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& text);
// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);
// A CSV field for text that a name or a message brings: one that begins as a
// spreadsheet formula does (=, +, -, @, tab, CR) gets a ' before it, quoted, so
// that it is shown as text; one that begins with ' gets one too, so that a reader
// removing one leading ' always has the text back.
std::string csvTextField(const std::string& text);
// The name as it is, or, when it holds a control character, a byte that is no
// UTF-8 or a quote, as the shell reads it back: 'a'$'\n''b'.
std::string shellEscaped(const std::string& name);
// The standard alphabet with padding.
std::string base64(const std::string& bytes);
// For HTML text and attributes.
std::string htmlEscaped(const std::string& text);

}  // namespace marlune::records
