#pragma once

#include <string>
#include <string_view>

// Conversions between the UTF-16 text of web messages and bytes.
namespace velvix {

// Each byte becomes the code unit of the same value, as device names reach the page.
std::u16string unitsFromBytes(std::string_view bytes);

// UTF-8, for lines that a person reads; unpaired surrogates become U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);

}  // namespace velvix
