// Prophesee DAT records from arbitrary bytes (header included when the input starts
// with '%'); the properties are in camera_stream_check.hpp.
#include "camera_stream_check.hpp"
#include "readers/evt2_decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::check_camera_stream<zel::camera::DatDecoder>(data, size, 8, true);
    return 0;
}
