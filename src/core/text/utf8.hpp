#pragma once

#include <cstddef>
#include <string_view>

namespace zel {

// One decoded UTF-8 sequence. An ill-formed or truncated sequence decodes
// as valid == false with length 1, so a caller can step over the bad byte.
struct Utf8Char {
    char32_t code_point = 0;
    std::size_t length = 1;
    bool valid = false;
};

// Strict decoding: overlong forms, surrogates (U+D800..U+DFFF) and values
// above U+10FFFF are ill-formed. `pos` must be inside `text`.
Utf8Char decode_utf8(std::string_view text, std::size_t pos);

bool is_valid_utf8(std::string_view text);

// The Unicode White_Space property.
bool is_white_space(char32_t c);

// Removes leading and trailing White_Space characters. `text` must be
// valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace zel
