#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "readers/file_formats.hpp"
#include "readers/packed_loader.hpp"
#include "test_files.hpp"

namespace zel {
namespace {

using zel_test::TempDir;

// Records the brackets and says stop after a given number of questions.
class CountingHooks : public IoHooks {
public:
    explicit CountingHooks(int stop_after = -1) : stop_after_(stop_after) {}
    void enter_blocking() override {
        EXPECT_FALSE(inside_) << "brackets nested";
        inside_ = true;
        ++entered;
    }
    void leave_blocking() override {
        EXPECT_TRUE(inside_) << "left without entering";
        inside_ = false;
    }
    bool keep_going() override {
        EXPECT_FALSE(inside_) << "asked inside a blocking call";
        ++asked;
        return stop_after_ < 0 || asked <= stop_after_;
    }
    int entered = 0;
    int asked = 0;

private:
    int stop_after_;
    bool inside_ = false;
};

using Loader = Result<EventList> (*)(const std::string&, IoHooks&);

template <RecordFormat format>
Result<EventList> load_as(const std::string& path, IoHooks& hooks) {
    return zel_test::load_as(path, format, hooks);
}

struct Case {
    const char* name;
    Loader loader;
    std::string content;
};

class HookedReaders : public ::testing::TestWithParam<Case> {};

TEST_P(HookedReaders, BracketEveryCallAndStopWhenTold) {
    const Case& c = GetParam();
    TempDir dir;
    const std::string path = dir.write(c.name, c.content);

    CountingHooks hooks;
    const Result<EventList> loaded = c.loader(path, hooks);
    ASSERT_TRUE(loaded.ok()) << zel_test::error_text(loaded);
    EXPECT_EQ(loaded.value(), zel_test::load_events(path).value());
    // The open and at least the read that meets the end of the file.
    EXPECT_GE(hooks.entered, 2);

    CountingHooks stopping(0);
    const Result<EventList> stopped = c.loader(path, stopping);
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().kind, ErrorKind::Interrupted);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, HookedReaders,
    ::testing::Values(Case{"a.evb", zel_test::load_events, std::string(9 * 3000, '\x01')},
                      Case{"b.bin", zel_test::load_events, std::string(9 * 3000, '\x04')},
                      Case{"a.bin", load_as<RecordFormat::Nmnist>, std::string(5 * 3000, '\x02')},
                      Case{"a.aedat", load_as<RecordFormat::Aedat2>, "#h\n" + std::string(8 * 3000, '\x03')},
                      Case{"a.csv", load_as<RecordFormat::Csv>, zel_test::repeat("1,2,3,4\n", 3000)}),
    [](const auto& param_info) {
        std::string name = param_info.param.name;
        return name.substr(2) + (name[0] == 'b' ? "ByExtension" : "");
    });

// Decoding bytes in memory runs the file readers' stream over a memory
// source: same events, same errors, for every content the readers see.
TEST(DecodeFromMemory, MatchesTheFileReaders) {
    TempDir dir;
    const std::vector<std::string> contents = {
        "", std::string(18, '\x07'), std::string(45, '\x08'), std::string(10, '\x09'),
        std::string(7, '\x0a'), "#!AER-DAT2.0\r\n" + std::string(8, '\x0b'), "#x\n#y",
        "x,y,t,p\n1,2,3,1\n# c\n4 5 6 0", "1,2,3,\xff\n", "70000,1,1,1\n",
    };
    for (const std::string& content : contents) {
        const std::string path = dir.write("f.bin", content);
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
        std::vector<std::pair<Result<EventList>, Result<EventList>>> pairs;
        for (RecordFormat format :
             {RecordFormat::Compact, RecordFormat::Nmnist, RecordFormat::Aedat2, RecordFormat::Csv}) {
            pairs.emplace_back(zel_test::unpacked(decode_packed(bytes, format)), zel_test::load_as(path, format));
        }
        pairs.emplace_back(zel_test::unpacked(decode_packed_bin(bytes)), zel_test::load_events(path));
        for (const auto& [memory, file] : pairs) {
            ASSERT_EQ(memory.ok(), file.ok()) << content;
            if (memory.ok()) {
                EXPECT_EQ(memory.value(), file.value()) << content;
            } else {
                EXPECT_EQ(memory.error().text(), file.error().text()) << content;
            }
        }
    }
}

}  // namespace
}  // namespace zel
