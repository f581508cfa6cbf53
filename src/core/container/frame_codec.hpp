#pragma once

#include <array>
#include <cstdint>

namespace zel::container {

// How a writer codes its keyframes. Delta frames are the same whichever is
// chosen (run-length xor of the bitstreams), because both codings decode to
// the same octree bitstream; a file's keyframes all use the writer's codec.
enum class KeyframeCodec : std::uint8_t {
    Zel,      // kind 0: the rANS stream of the bitstream, the bytes zel.compress returns
    Context,  // kind 2: context-coded child bits (codec/context_codec.hpp)
};

// The codecs by the names the bindings and the command take. This table is
// the one place a codec is named: the argument parsers and the lists of
// choices shown to users are built from it.
struct NamedKeyframeCodec {
    const char* name;
    KeyframeCodec value;
};
inline constexpr std::array<NamedKeyframeCodec, 2> kKeyframeCodecs{{
    {"zel", KeyframeCodec::Zel},
    {"context", KeyframeCodec::Context},
}};

}  // namespace zel::container
