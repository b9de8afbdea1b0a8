#include "serial/printable.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0 (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF).
size_t sequenceLength(std::string_view text, size_t at, uint32_t& code) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    size_t length = 0;
    uint32_t min = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) {
            return 0;
        }
        code = code << 6 | (byte(at + i) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || surrogate || code > 0x10FFFF ? 0 : length;
}

void escape(std::string& out, uint8_t byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    out += hex;
}

} // namespace

std::string printable(std::string_view text, bool lines) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t code = 0;
        const size_t length = sequenceLength(text, at, code);
        const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        if (length == 0) {
            escape(out, static_cast<uint8_t>(text[at++]));
        } else if (control && !(lines && code == '\n')) {
            for (size_t i = 0; i < length; ++i) {
                escape(out, static_cast<uint8_t>(text[at + i]));
            }
            at += length;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}
