#pragma once

// Helpers shared by the file-reading tests: a scratch directory removed at
// the end of each test, and readable printing of events.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <malloc.h>  // mallinfo2
#include <stdlib.h>  // mkdtemp
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "readers/file_formats.hpp"
#include "readers/io_hooks.hpp"
#include "readers/packed_loader.hpp"

namespace zel {

inline void PrintTo(const Event& e, std::ostream* os) {
    *os << "{x=" << e.x << " y=" << e.y << " t=" << e.t << " p=" << int{e.p} << "}";
}

}  // namespace zel

namespace zel_test {

// Concatenation that starts from an empty string; GCC 12 at -O3 warns
// falsely (-Wrestrict) on "literal" + std::string temporaries.
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    (out.append(parts), ...);
    return out;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zel-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(std::string_view name) const { return (root_ / name).string(); }

    // Writes `bytes` to `name` (created or replaced) and returns its path.
    std::string write(std::string_view name, std::string_view bytes) const {
        const std::string p = path(name);
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            throw std::runtime_error(cat("cannot write ", p));
        }
        return p;
    }

    std::string make_dir(std::string_view name) const {
        const std::string p = path(name);
        std::filesystem::create_directories(p);
        return p;
    }

private:
    std::filesystem::path root_;
};

// Byte string from a list of byte values, for binary fixtures.
inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(static_cast<std::uint8_t>(v)));
    }
    return out;
}

inline std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out.append(piece);
    }
    return out;
}

// Heap a read grows, as glibc counts the bytes in use (buffers grown with
// malloc included, which operator new never sees), sampled after every
// read of the file: when the buffers have their size for it. Glibc only;
// under a sanitizer's allocator the count does not move.
class HeapSampler : public zel::IoHooks {
public:
    HeapSampler() : before_(in_use()) {}
    bool keep_going() override {
        peak_ = std::max(peak_, in_use());
        return true;
    }
    std::size_t growth() const { return peak_ - std::min(peak_, before_); }

private:
    static std::size_t in_use() {
        const struct mallinfo2 info = ::mallinfo2();
        return info.uordblks + info.hblkhd;
    }
    std::size_t before_;
    std::size_t peak_ = 0;
};

// The error text of a failed load, or a marker when it unexpectedly succeeded.
template <class T>
std::string error_text(const zel::Result<T>& result) {
    return result.ok() ? std::string("<no error>") : result.error().text();
}

inline zel::EventList unpack(const zel::ByteBuffer& records) {
    EXPECT_EQ(records.size() % zel::kPackedEventBytes, 0u);
    return zel::unpack_events({records.data(), records.size() / zel::kPackedEventBytes});
}

inline zel::Result<zel::EventList> unpacked(const zel::Result<zel::ByteBuffer>& loaded) {
    if (!loaded) return loaded.error();
    return unpack(loaded.value());
}

// Whole-file loads as zel's load_nmnist, load_aedat2, load_csv (a named
// format) and load_events (by extension) run them, records unpacked.
inline zel::Result<zel::EventList> load_as(const std::string& path, zel::RecordFormat format,
                                           zel::IoHooks& hooks = zel::no_io_hooks()) {
    return unpacked(zel::load_packed_with(path, format, hooks));
}
inline zel::Result<zel::EventList> load_events(const std::string& path,
                                               zel::IoHooks& hooks = zel::no_io_hooks()) {
    return unpacked(zel::load_packed_by_extension_with(path, hooks));
}

}  // namespace zel_test
