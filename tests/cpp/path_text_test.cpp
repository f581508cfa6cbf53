// File names, extensions, path quoting and the Unicode helpers behind them.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "text/path_text.hpp"
#include "text/unicode_tables.hpp"
#include "text/utf8.hpp"

namespace {

using Opt = std::optional<std::string_view>;

struct PathCase {
    std::string path;
    Opt want;
};

std::string show(const Opt& v) { return v ? std::string("\"").append(*v).append("\"") : std::string("none"); }

TEST(PathFileNameTest, PosixComponents) {
    const PathCase cases[] = {
        {"run.csv", "run.csv"},
        {"/abs/dir/run.csv", "run.csv"},
        {"a/b/.", "b"},
        {"a/b/", "b"},
        {"a/b//", "b"},
        {"a//b", "b"},
        {"a/./", "a"},
        {"a/./.", "a"},
        {"./a", "a"},
        {"../a", "a"},
        {"a/../b", "b"},
        {"/a", "a"},
        {"a.b/c", "c"},
        {"...", "..."},
        {"a/...", "..."},
        {"", std::nullopt},
        {".", std::nullopt},
        {"./", std::nullopt},
        {"./.", std::nullopt},
        {"..", std::nullopt},
        {"a/..", std::nullopt},
        {"a/../", std::nullopt},
        {"a/../.", std::nullopt},
        {"/", std::nullopt},
        {"//", std::nullopt},
        {"/.", std::nullopt},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(show(zel::path_file_name(c.path)), show(c.want)) << "path: " << c.path;
    }
}

TEST(PathExtensionTest, LastDotOfFileName) {
    const PathCase cases[] = {
        {"run.csv", "csv"},
        {"archive.tar.csv", "csv"},
        {"events.", ""},
        {"...", ""},
        {"..csv", "csv"},
        {".hidden.txt", "txt"},
        {"events.BIN", "BIN"},
        {"dir/run.aedat", "aedat"},
        {"dir/run.csv/", "csv"},
        {"dir/run.csv/.", "csv"},
        {"events", std::nullopt},
        {".csv", std::nullopt},
        {"dir/.bin", std::nullopt},
        {"d.csv/events", std::nullopt},
        {"run.csv/..", std::nullopt},
        {"", std::nullopt},
        {"/", std::nullopt},
        {".", std::nullopt},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(show(zel::path_extension(c.path)), show(c.want)) << "path: " << c.path;
    }
}

struct QuoteCase {
    std::string text;
    std::string quoted;
};

TEST(QuoteTextTest, EscapesLikeADebugString) {
    const QuoteCase cases[] = {
        {"", R"("")"},
        {"plain/path.dat", R"("plain/path.dat")"},
        {R"(C:\data\run.dat)", R"("C:\\data\\run.dat")"},
        {R"(\\server\share)", R"("\\\\server\\share")"},
        {R"(a"b)", R"("a\"b")"},
        {"it's", R"("it's")"},
        {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
        {std::string("a\0b", 3), R"("a\0b")"},
        {"esc\x1b del\x7f", R"("esc\u{1b} del\u{7f}")"},
        {"\x01", R"("\u{1}")"},
        {"space ok", R"("space ok")"},
        // Precomposed letters and other printable text stay as they are.
        {"caf\u00e9 \u65e5\u672c \U0001f600", "\"caf\u00e9 \u65e5\u672c \U0001f600\""},
        // Combining marks (Mn, Me) and other grapheme extenders.
        {"e\u0301", R"("e\u{301}")"},
        {"\u20dd", R"("\u{20dd}")"},
        {"\u09be", R"("\u{9be}")"},
        {"\U0001d165", R"("\u{1d165}")"},
        {"\uff9e", R"("\u{ff9e}")"},
        // Spacing marks that do not extend graphemes are printable.
        {"\u0903", "\"\u0903\""},
        // Separators other than the ASCII space, format and private-use
        // characters, unassigned code points.
        {"\u00a0", R"("\u{a0}")"},
        {"\u3000", R"("\u{3000}")"},
        {"\u2028\u2029", R"("\u{2028}\u{2029}")"},
        {"\u00ad", R"("\u{ad}")"},
        {"\u200b", R"("\u{200b}")"},
        {"\u200c", R"("\u{200c}")"},
        {"\ufeff", R"("\u{feff}")"},
        {"\ue000", R"("\u{e000}")"},
        {"\u0378", R"("\u{378}")"},
        {"\U000e0041", R"("\u{e0041}")"},
        {"\U0010ffff", R"("\u{10ffff}")"},
        {"\u0085", R"("\u{85}")"},
        // Bytes that are not UTF-8 cannot come from a Python str, but are
        // still shown rather than passed through.
        {"bad\xff\xc3", R"("bad\xff\xc3")"},
        {"\xed\xa0\x80", R"("\xed\xa0\x80")"},
    };
    for (const QuoteCase& c : cases) {
        EXPECT_EQ(zel::quote_text(c.text), c.quoted);
    }
}

struct CodePointCase {
    char32_t cp;
    bool want;
};

TEST(UnicodeTablesTest, Printable) {
    const CodePointCase cases[] = {
        {U' ', true},       {U'~', true},        {0x1F, false},     {0x7F, false},
        {0x9F, false},      {0xA0, false},       {0xA1, true},      {0xAD, false},
        {0x300, true},      {0x377, true},       {0x378, false},    {0x61C, false},
        {0x1680, false},    {0x2028, false},     {0x202F, false},   {0x2060, false},
        {0x3000, false},    {0xD7A3, true},      {0xD800, false},   {0xDFFF, false},
        {0xE000, false},    {0xF8FF, false},     {0xF900, true},    {0xFFFD, true},
        {0xFFFE, false},    {0x1F600, true},     {0x1FAF0, true},   {0x2FFFF, false},
        {0xE0001, false},   {0xE0100, true},     {0x10FFFF, false}, {0x110000, false},
        {0x20000, true},    {0x2A6DF, true},     {0x2A6E0, false},  {0x31350, false},
    };
    for (const CodePointCase& c : cases) {
        EXPECT_EQ(zel::is_printable(c.cp), c.want) << std::hex << "U+" << static_cast<unsigned>(c.cp);
    }
}

TEST(UnicodeTablesTest, GraphemeExtend) {
    const CodePointCase cases[] = {
        {U'a', false},    {0x2FF, false},   {0x300, true},    {0x36F, true},    {0x370, false},
        {0x488, true},    {0x903, false},   {0x93C, true},    {0x9BE, true},    {0x9BF, false},
        {0xCD5, true},    {0xCD6, true},    {0x200C, true},   {0x200D, false},  {0x20DD, true},
        {0x302E, true},   {0xFE0F, true},   {0xFF9D, false},  {0xFF9F, true},   {0x1133E, true},
        {0x1D165, true},  {0x1D166, false}, {0x1D172, true},  {0xE001F, false}, {0xE0020, true},
        {0xE007F, true},  {0xE0100, true},  {0xE01EF, true},  {0xE01F0, false}, {0x10FFFF, false},
    };
    for (const CodePointCase& c : cases) {
        EXPECT_EQ(zel::is_grapheme_extend(c.cp), c.want) << std::hex << "U+" << static_cast<unsigned>(c.cp);
    }
}

TEST(UnicodeTablesTest, GeneratedForPython311) { EXPECT_STREQ(zel::kUnicodeTablesVersion, "14.0.0"); }

struct DecodeCase {
    std::string bytes;
    bool valid;
    char32_t cp;
    std::size_t length;
};

TEST(Utf8Test, DecodeBoundaries) {
    const DecodeCase cases[] = {
        {"\x7f", true, 0x7F, 1},
        {"\xc2\x80", true, 0x80, 2},
        {"\xdf\xbf", true, 0x7FF, 2},
        {"\xe0\xa0\x80", true, 0x800, 3},
        {"\xed\x9f\xbf", true, 0xD7FF, 3},
        {"\xee\x80\x80", true, 0xE000, 3},
        {"\xef\xbf\xbf", true, 0xFFFF, 3},
        {"\xf0\x90\x80\x80", true, 0x10000, 4},
        {"\xf4\x8f\xbf\xbf", true, 0x10FFFF, 4},
        {"\x80", false, 0, 1},
        {"\xbf", false, 0, 1},
        {"\xc0\x80", false, 0, 1},
        {"\xc1\xbf", false, 0, 1},
        {"\xe0\x9f\xbf", false, 0, 1},
        {"\xed\xa0\x80", false, 0, 1},
        {"\xed\xbf\xbf", false, 0, 1},
        {"\xf0\x8f\xbf\xbf", false, 0, 1},
        {"\xf4\x90\x80\x80", false, 0, 1},
        {"\xf5\x80\x80\x80", false, 0, 1},
        {"\xff", false, 0, 1},
        {"\xe2\x82", false, 0, 1},
        {"\xe2\x28\xa1", false, 0, 1},
        {"\xf0\x90\x80", false, 0, 1},
        {"\xf0\x90\x80\x41", false, 0, 1},
    };
    for (const DecodeCase& c : cases) {
        const zel::Utf8Char got = zel::decode_utf8(c.bytes, 0);
        EXPECT_EQ(got.valid, c.valid) << testing::PrintToString(c.bytes);
        EXPECT_EQ(got.length, c.length) << testing::PrintToString(c.bytes);
        if (c.valid) {
            EXPECT_EQ(static_cast<unsigned>(got.code_point), static_cast<unsigned>(c.cp));
        }
        EXPECT_EQ(zel::is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    }
}

TEST(Utf8Test, TrimWhiteSpace) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {" \t\r\n\v\f", ""},
        {"  a b  ", "a b"},
        {"\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000\u0085x\u3000", "x"},
        {"\u200bx\u200b", "\u200bx\u200b"},  // zero width space is not White_Space
        {"\ufeffx", "\ufeffx"},
        {"\u180ex", "\u180ex"},              // no longer White_Space
        {"\x1cx\x1f", "\x1cx\x1f"},          // separators in Python's isspace only
        {"\u00e9 ", "\u00e9"},
        {" \u3001", "\u3001"},               // shares a lead byte with U+3000
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(zel::trim_white_space(in), want) << testing::PrintToString(in);
    }
}

}  // namespace
