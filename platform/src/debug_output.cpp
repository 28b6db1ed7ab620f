#include "velvix/platform/debug_output.hpp"

#include <cstdio>

namespace velvix::platform {
namespace {

void appendEscape(std::string& out, const char* format, unsigned value) {
    char escape[8];
    std::snprintf(escape, sizeof escape, format, value);
    out += escape;
}

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    unsigned code = 0;
    unsigned smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, smallest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < smallest || code > 0x10FFFF || surrogate ? 0 : length;
}

}  // namespace

std::string printableLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '\\') {
            out += "\\\\";
            ++at;
        } else if (byte < 0x20 || byte == 0x7F) {
            appendEscape(out, "\\x%02x", byte);
            ++at;
        } else if (byte < 0x80) {
            out.push_back(static_cast<char>(byte));
            ++at;
        } else if (const std::size_t length = sequenceLength(text, at); length == 0) {
            appendEscape(out, "\\x%02x", byte);
            ++at;
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
            appendEscape(out, "\\u%04x", static_cast<unsigned char>(text[at + 1]));  // C1
            at += 2;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

}  // namespace velvix::platform
