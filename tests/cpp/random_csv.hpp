#pragma once

// Random lines of CSV/text event files for differential tests: numbers near
// every column's limits, with and without leading zeros, signs and stray
// characters, joined by every separator the line rules know. Half the lines
// are shaped like plain "x,y,t,p" lines, to be taken or only just missed
// by the fast path.

#include <cstdint>
#include <iterator>
#include <random>
#include <string>

#include "test_files.hpp"

namespace zel_test {

inline std::string random_number(std::mt19937_64& rng, std::size_t column) {
    static const char* const kSpecial[] = {
        "0", "00", "255", "256", "0255", "999", "1000", "65535", "65536", "065535", "99999",
        "4294967295", "4294967296", "04294967295", "9999999999", "99999999", "100000000",
        "12345678", "123456789", "+", "-", "+0", "-0", "+65535", "1.5", "1e3", "0x1F", "z",
        "6553z", "99999z", "12345678901234567890",
    };
    std::uniform_int_distribution<int> pick(0, 9);
    switch (pick(rng)) {
        case 0: return kSpecial[rng() % std::size(kSpecial)];
        case 1: {  // any digits, up to 12, leading zeros likely
            std::string s(1 + rng() % 12, '0');
            for (char& c : s) c = static_cast<char>('0' + rng() % 10);
            return s;
        }
        case 2: return cat(std::string(rng() % 4, '0'), std::to_string(rng() % 70000));
        default: {  // ordinary values of the column, as most files hold
            const std::uint64_t limits[] = {65536, 65536, 4294967296ULL, 256, 1000};
            return std::to_string(rng() % limits[column]);
        }
    }
}

inline std::string random_line(std::mt19937_64& rng) {
    static const char* const kSeparators[] = {",", ",", ",", ",", " ", "\t", ", ", ",,", " ,"};
    static const char* const kEndings[] = {"\n", "\n", "\r\n", "\r\r\n", " \n", "\t\n", "\r",
                                           ",\n", "\xc2\xa0\n"};
    static const char* const kPrefixes[] = {"", "", "", "", "", " ", "#", "x,y,t,p", "\xef\xbb\xbf", "+"};
    // Half the lines are shaped like plain ones, to be taken or just missed.
    const bool plain = rng() % 2 == 0;
    std::string line = plain && rng() % 8 != 0 ? "" : kPrefixes[rng() % std::size(kPrefixes)];
    const std::size_t columns = plain && rng() % 8 != 0 ? 4 : 2 + rng() % 4;
    for (std::size_t i = 0; i < columns; ++i) {
        if (i > 0) line += plain ? "," : kSeparators[rng() % std::size(kSeparators)];
        line += random_number(rng, i);
    }
    line += plain && rng() % 4 != 0 ? (rng() % 2 ? "\n" : "\r\n") : kEndings[rng() % std::size(kEndings)];
    return line;
}

}  // namespace zel_test
