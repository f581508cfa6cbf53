// The plain-line CSV fast path: every line it takes is a data line that the
// general line parser reads to the same event, it takes whole lines only,
// and it stops where its lookahead would run out.
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "readers/csv_line.hpp"
#include "readers/csv_plain.hpp"
#include "readers/record_codecs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const std::size_t max_events = in.take(1) % 40 + 1;
    // A copy of exactly the input's size, so reading past it is caught.
    const std::vector<std::uint8_t> text(in.rest().begin(), in.rest().end());
    std::vector<std::uint8_t> out(max_events * zel::kPackedEventBytes);
    const zel::PlainCsvRun run =
        zel::parse_plain_csv_lines(text.data(), text.size(), max_events, out.data());
    FUZZ_CHECK(run.events <= max_events && run.bytes <= text.size());

    std::size_t pos = 0;
    for (std::size_t i = 0; i < run.events; ++i) {
        // Each line it took started with at least the lookahead left.
        FUZZ_CHECK(text.size() - pos >= zel::kPlainCsvLookahead);
        const void* lf = std::memchr(text.data() + pos, '\n', run.bytes - pos);
        FUZZ_CHECK(lf != nullptr);
        const std::size_t end =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - text.data()) + 1;
        const std::string_view line(reinterpret_cast<const char*>(text.data() + pos), end - pos);
        zel::Event event;
        const char* reason = nullptr;
        FUZZ_CHECK(zel::parse_csv_line(line, event, reason) == zel::CsvLineOutcome::Event);
        std::uint8_t record[zel::kPackedEventBytes];
        zel::store_packed(event, record);
        FUZZ_CHECK(std::memcmp(record, out.data() + i * zel::kPackedEventBytes, sizeof record) == 0);
        pos = end;
    }
    FUZZ_CHECK(pos == run.bytes);
    return 0;
}
