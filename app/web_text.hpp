#pragma once

#include <string>
#include <string_view>

// Conversions between the UTF-16 text of web messages and bytes.
namespace velvix {

// Each byte becomes the code unit of the same value, as device names reach the page.
std::u16string unitsFromBytes(std::string_view bytes);

// UTF-8, for lines that a person reads; unpaired surrogates become U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);

// UTF-16 from UTF-8, as the web view hands over page strings; a malformed sequence becomes
// U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);

// Appends the text as the content of a double-quoted script string literal, in plain ASCII:
// printable characters as they are, every other code unit (and quotes, backslash and slash, so
// that no markup can close a surrounding element) as its \u escape, so that the page gets
// exactly these code units back.
void appendScriptStringContent(std::string& out, std::u16string_view text);

// Appends the bytes in base64 (the standard alphabet, padded with '='), as a data: address
// carries them.
void appendBase64(std::u16string& out, std::string_view bytes);

}  // namespace velvix
