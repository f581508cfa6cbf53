#include "text/path_text.hpp"

#include "text/unicode_tables.hpp"
#include "text/utf8.hpp"

namespace zel {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_unicode_escape(std::string& out, char32_t cp) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kHexDigits[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0) {
        out += digits[--n];
    }
    out += '}';
}

}  // namespace

std::optional<std::string_view> path_file_name(std::string_view path) {
    std::size_t end = path.size();
    for (;;) {
        while (end > 0 && path[end - 1] == '/') {
            --end;
        }
        if (end == 0) {
            return std::nullopt;
        }
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view component = path.substr(start, end - start);
        if (component == ".") {
            end = start;
            continue;
        }
        if (component == "..") {
            return std::nullopt;
        }
        return component;
    }
}

std::optional<std::string_view> path_extension(std::string_view path) {
    const std::optional<std::string_view> name = path_file_name(path);
    if (!name) {
        return std::nullopt;
    }
    const std::size_t dot = name->rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;
    }
    return name->substr(dot + 1);
}

std::string quote_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const Utf8Char c = decode_utf8(text, pos);
        if (!c.valid) {
            const auto byte = static_cast<unsigned char>(text[pos]);
            out += "\\x";
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 0xF];
            pos += 1;
            continue;
        }
        switch (c.code_point) {
            case U'\\': out += "\\\\"; break;
            case U'"': out += "\\\""; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                // A combining mark on its own would attach to the quote or
                // the preceding character, so it is escaped like a control.
                if (is_grapheme_extend(c.code_point) || !is_printable(c.code_point)) {
                    append_unicode_escape(out, c.code_point);
                } else {
                    out.append(text.substr(pos, c.length));
                }
        }
        pos += c.length;
    }
    out += '"';
    return out;
}

}  // namespace zel
