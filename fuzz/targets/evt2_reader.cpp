// Prophesee EVT 2.0 words from arbitrary bytes (header included when the input starts
// with '%'); the properties are in camera_stream_check.hpp.
#include "camera_stream_check.hpp"
#include "readers/evt2_decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::check_camera_stream<zel::camera::Evt2Decoder>(data, size, 4, false);
    return 0;
}
