// Replays saved inputs through a fuzz target without libFuzzer, so the
// ordinary test build (any compiler) keeps every past finding fixed. Each
// argument is a file or a directory of files; missing paths are skipped so a
// target without regressions yet still passes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replaying %s\n", path.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                    failures += replay_file(entry.path());
                    ++replayed;
                }
            }
        } else if (std::filesystem::is_regular_file(arg, error)) {
            failures += replay_file(arg);
            ++replayed;
        }
    }
    // Also the empty input, which every target must take.
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::fprintf(stderr, "%zu inputs replayed\n", replayed);
    return failures == 0 ? 0 : 1;
}
