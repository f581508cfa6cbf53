#pragma once

// Bounds-checked reading of FlatBuffers tables, for the few fixed schemas
// of AEDAT 4. Every offset read from the buffer is checked before use, so a
// corrupt or hostile buffer yields an error, never a read outside it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "readers/camera_decoding.hpp"

namespace zel::camera {

class FlatView {
public:
    // `where` prefixes every message, e.g. "IO header" or "packet at byte 1234".
    FlatView(std::span<const std::uint8_t> bytes, std::uint64_t error_offset, std::string where)
        : bytes_(bytes), error_offset_(error_offset), where_(std::move(where)) {}

    std::size_t size() const { return bytes_.size(); }
    const std::uint8_t* data() const { return bytes_.data(); }

    Result<std::uint32_t> u32(std::size_t pos) const {
        if (pos > bytes_.size() || bytes_.size() - pos < 4) return fault("offset " + std::to_string(pos) + " is outside the buffer");
        return load_le32(bytes_.data() + pos);
    }

    // The table a 32-bit offset at `pos` points to.
    Result<std::size_t> table_at(std::size_t pos) const {
        auto rel = u32(pos);
        if (!rel) return rel.error();
        const std::uint64_t table = static_cast<std::uint64_t>(pos) + rel.value();
        if (table + 4 > bytes_.size()) return fault("table offset points outside the buffer");
        return static_cast<std::size_t>(table);
    }

    // Position of field `index` of the table at `table`, nullopt when the
    // field is absent (its default applies). `width` bytes must fit.
    Result<std::optional<std::size_t>> field(std::size_t table, unsigned index,
                                                   std::size_t width) const {
        auto soffset = u32(table);
        if (!soffset) return soffset.error();
        const std::int64_t vtable = static_cast<std::int64_t>(table) -
                                    static_cast<std::int64_t>(static_cast<std::int32_t>(soffset.value()));
        if (vtable < 0 || static_cast<std::uint64_t>(vtable) + 4 > bytes_.size()) {
            return fault("vtable is outside the buffer");
        }
        const std::size_t vt = static_cast<std::size_t>(vtable);
        const std::uint16_t vt_size = load_le16(bytes_.data() + vt);
        if (vt_size < 4 || vt_size % 2 != 0 || vt + vt_size > bytes_.size()) {
            return fault("vtable size " + std::to_string(vt_size) + " is invalid");
        }
        const std::size_t slot = 4 + 2 * static_cast<std::size_t>(index);
        if (slot + 2 > vt_size) return std::optional<std::size_t>{};
        const std::uint16_t rel = load_le16(bytes_.data() + vt + slot);
        if (rel == 0) return std::optional<std::size_t>{};
        const std::uint64_t pos = static_cast<std::uint64_t>(table) + rel;
        if (pos + width > bytes_.size()) return fault("field " + std::to_string(index) + " is outside the buffer");
        return std::optional<std::size_t>{static_cast<std::size_t>(pos)};
    }

    struct Vector {
        std::size_t data = 0;  // position of the first element
        std::size_t length = 0;
    };

    // The vector (or string, element_bytes 1) a field at `pos` refers to.
    Result<Vector> vector_at(std::size_t pos, std::size_t element_bytes) const {
        auto rel = u32(pos);
        if (!rel) return rel.error();
        const std::uint64_t start = static_cast<std::uint64_t>(pos) + rel.value();
        if (start + 4 > bytes_.size()) return fault("vector offset points outside the buffer");
        const std::uint32_t length = load_le32(bytes_.data() + start);
        const std::uint64_t room = bytes_.size() - (start + 4);
        if (length > room / element_bytes) {
            return fault("vector of " + std::to_string(length) + " elements runs past the buffer");
        }
        return Vector{static_cast<std::size_t>(start + 4), length};
    }

    Error fault(std::string what) const {
        return Error::invalid_data(where_ + ": " + what, error_offset_);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t error_offset_;
    std::string where_;
};

}  // namespace zel::camera
