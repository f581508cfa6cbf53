// One CSV/text line: data, skipped or failing, and why. The file-level
// rules (UTF-8, line splitting, buffering) are in csv_reader_test.

#include <gtest/gtest.h>

#include <string>

#include "base/event.hpp"
#include "readers/csv_line.hpp"
#include "test_files.hpp"

namespace {

using zel::CsvLineOutcome;
using zel::Event;

constexpr const char* kInvalidDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";

struct LineCase {
    const char* name;
    std::string line;
    CsvLineOutcome outcome;
    Event event{};          // for Event
    const char* reason{};   // for Error
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

LineCase data(const char* name, std::string line, Event e) { return {name, std::move(line), CsvLineOutcome::Event, e, nullptr}; }
LineCase skip(const char* name, std::string line) { return {name, std::move(line), CsvLineOutcome::Skip, {}, nullptr}; }
LineCase error(const char* name, std::string line, const char* why) { return {name, std::move(line), CsvLineOutcome::Error, {}, why}; }

class CsvLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(CsvLine, Parses) {
    const LineCase& c = GetParam();
    Event e{};
    const char* reason = nullptr;
    ASSERT_EQ(zel::parse_csv_line(c.line, e, reason), c.outcome);
    if (c.outcome == CsvLineOutcome::Event) {
        EXPECT_EQ(e, c.event);
    } else if (c.outcome == CsvLineOutcome::Error) {
        EXPECT_STREQ(reason, c.reason);
    }
}

std::string line_name(const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Lines, CsvLine,
    ::testing::Values(
        data("WithLineFeed", "1,2,3,4\n", {1, 2, 3, 4}),
        data("WithoutLineFeed", "1,2,3,4", {1, 2, 3, 4}),
        data("Crlf", "1,2,3,4\r\n", {1, 2, 3, 4}),
        // One CR before the LF is the ending; more are trailing white space.
        data("TwoCarriageReturns", "1,2,3,4\r\r\n", {1, 2, 3, 4}),
        data("CarriageReturnWithoutLineFeed", "1,2,3,4\r", {1, 2, 3, 4}),
        error("CarriageReturnInside", "1,2,3,4\r5,6,7,8\n", kInvalidDigit),
        // A line feed is removed only at the end; the reader never passes
        // one elsewhere, but it would be a character like any other.
        error("LineFeedInsidePiece", std::string("1,2,3,4\n5\n"), kInvalidDigit),
        skip("EmptyText", ""),
        skip("OnlyLineFeed", "\n"),
        skip("OnlyCrlf", "\r\n"),
        skip("WhiteSpaceOnly", " \t\v\f\r\n"),
        skip("Comment", "#1,2,3,4\n"),
        skip("IndentedComment", "  # 1,2,3,4\n"),
        skip("Header", "x,y,t,p\n"),
        skip("LetterFirst", "a1,2,3,4\n"),
        skip("ThreePieces", "1,2,3\n"),
        skip("ThreePiecesManySeparators", "1,, ,2\t,3,,\n"),
        skip("MinusAloneIsShort", "-\n"),
        error("MinusFirstWithFourPieces", "-1,2,3,4\n", kInvalidDigit),
        error("PlusAloneWithFourPieces", "+ 2 3 4\n", kInvalidDigit),
        data("PlusSigns", "+1,+2,+3,+4\n", {1, 2, 3, 4}),
        data("SeparatorsMixed", "\t1 ,\t2 , 3,,4  \n", {1, 2, 3, 4}),
        data("FifthPieceIgnoredEvenIfBad", "1,2,3,4,-5\n", {1, 2, 3, 4}),
        data("LeadingZerosBeyondWidth", "0000000000001,2,00000000000000000003,0004\n", {1, 2, 3, 4}),
        data("Maxima", "65535,65535,4294967295,255\n", {65535, 65535, 4294967295u, 255}),
        error("XOverflow", "65536,0,0,0\n", kTooLarge),
        error("YOverflow", "0,65536,0,0\n", kTooLarge),
        error("TOverflow", "0,0,4294967296,0\n", kTooLarge),
        error("POverflow", "0,0,0,256\n", kTooLarge),
        // The first failing piece decides, left to right within a piece.
        error("OverflowThenLetter", "99999z,0,0,0\n", kTooLarge),
        error("LetterThenOverflow", "6553z9,0,0,0\n", kInvalidDigit),
        error("EarlierPieceWins", "1,x,99999999999,4\n", kInvalidDigit),
        error("EarlierOverflowWins", "1,2,99999999999,x\n", kTooLarge)),
    line_name);

}  // namespace
