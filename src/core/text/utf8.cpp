#include "text/utf8.hpp"

#include <cstdint>

namespace zel {
namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1, true};
    }

    std::size_t length = 0;
    char32_t cp = 0;
    // Bounds of the second byte; they rule out overlong forms, surrogates
    // and code points past U+10FFFF in one check.
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return {};
    }
    if (text.size() - pos < length) {
        return {};
    }
    const unsigned char second = byte(1);
    if (second < lo || second > hi) {
        return {};
    }
    cp = (cp << 6) | (second & 0x3F);
    for (std::size_t i = 2; i < length; ++i) {
        const unsigned char b = byte(i);
        if (!is_continuation(b)) {
            return {};
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, length, true};
}

bool is_valid_utf8(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Most event files are ASCII; skip it without decoding.
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const Utf8Char c = decode_utf8(text, pos);
        if (!c.valid) {
            return false;
        }
        pos += c.length;
    }
    return true;
}

bool is_white_space(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const Utf8Char c = decode_utf8(text, begin);
        if (!c.valid || !is_white_space(c.code_point)) {
            break;
        }
        begin += c.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && is_continuation(static_cast<unsigned char>(text[start]))) {
            --start;
        }
        const Utf8Char c = decode_utf8(text, start);
        if (!c.valid || start + c.length != end || !is_white_space(c.code_point)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace zel
