# Source lists of the core layers, shared by the main build and the fuzz
# build (fuzz/CMakeLists.txt), relative to the repository root. A new file is
# added here by hand: the list is what the build compiles, nothing else.
#
# Layers, lowest first; a layer may include only those before it
# (docs/architecture.md):
#   base       plain shared types: events, results and errors, buffers, clock,
#              CRC-32C, bit counts, memory limits
#   text       UTF-8 validation, path quoting, the generated Unicode tables
#   summary    event statistics over event lists and packed records
#   codec      the occupancy coder: grid, octree, bitstream, rANS, deltas,
#              frames and the compression drivers
#   lossless   the lossless event block codec: adaptive rANS and the event
#              model
#   reference  the straightforward stage-by-stage drivers the fast ones are
#              checked against (tests and benchmarks only)
#   container  the .zel container and its frame coding
#   readers    file access and every event-file reader
#   writers    the event-file writers

# Warnings every build of the project's code turns on (-DZEL_WERROR=ON makes
# them errors).
set(ZEL_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)

set(ZEL_BASE_SOURCES
    src/core/base/bit_count.cpp
    src/core/base/crc32c.cpp
    src/core/base/error.cpp
    src/core/base/memory_limits.cpp
    src/core/base/process_generation.cpp)

set(ZEL_TEXT_SOURCES
    src/core/text/path_text.cpp
    src/core/text/unicode_tables.cpp
    src/core/text/utf8.cpp)

set(ZEL_SUMMARY_SOURCES
    src/core/summary/event_stats.cpp
    src/core/summary/packed_summary.cpp)

set(ZEL_CODEC_SOURCES
    src/core/codec/box_decoder.cpp
    src/core/codec/context_codec.cpp
    src/core/codec/context_rans.cpp
    src/core/codec/decoder.cpp
    src/core/codec/delta.cpp
    src/core/codec/encoder.cpp
    src/core/codec/frames.cpp
    src/core/codec/key_interleave.cpp
    src/core/codec/key_sort.cpp
    src/core/codec/level_bitmaps.cpp
    src/core/codec/pipeline.cpp
    src/core/codec/rans.cpp
    src/core/codec/sparse_octree.cpp
    src/core/codec/voxel.cpp)

set(ZEL_LOSSLESS_SOURCES
    src/core/lossless/adaptive_rans.cpp
    src/core/lossless/block_codec.cpp
    src/core/lossless/event_model.cpp
    src/core/lossless/plane_block.cpp)

set(ZEL_REFERENCE_SOURCES
    src/core/reference/pipeline_reference.cpp)

set(ZEL_CONTAINER_SOURCES
    src/core/container/byte_source.cpp
    src/core/container/container_format.cpp
    src/core/container/container_reader.cpp
    src/core/container/container_writer.cpp
    src/core/container/event_store.cpp
    src/core/container/frame_decoder.cpp
    src/core/container/frame_encoder.cpp)

set(ZEL_READERS_SOURCES
    src/core/readers/aedat4_container.cpp
    src/core/readers/aedat4_events.cpp
    src/core/readers/aedat4_reader.cpp
    src/core/readers/camera_reader.cpp
    src/core/readers/chunked_reader.cpp
    src/core/readers/csv_line.cpp
    src/core/readers/csv_plain.cpp
    src/core/readers/evt2_decoder.cpp
    src/core/readers/evt3_decoder.cpp
    src/core/readers/file_formats.cpp
    src/core/readers/packed_loader.cpp
    src/core/readers/posix_file.cpp
    src/core/readers/prophesee_header.cpp
    src/core/readers/record_codecs.cpp
    src/core/readers/stream_decoder.cpp)

set(ZEL_WRITERS_SOURCES
    src/core/writers/camera_writers.cpp
    src/core/writers/event_writers.cpp)

# Every core layer, lowest first, with the layers each one links.
set(ZEL_CORE_LAYERS base text summary codec lossless reference container readers writers)
set(ZEL_BASE_DEPENDS)
set(ZEL_TEXT_DEPENDS)
set(ZEL_SUMMARY_DEPENDS base)
set(ZEL_CODEC_DEPENDS base)
set(ZEL_LOSSLESS_DEPENDS base)
set(ZEL_REFERENCE_DEPENDS codec)
set(ZEL_CONTAINER_DEPENDS codec lossless base)
set(ZEL_READERS_DEPENDS text base lz4 zstd)
set(ZEL_WRITERS_DEPENDS readers base)

set(ZEL_PYCOMMON_SOURCES
    src/pycommon/args.cpp
    src/pycommon/compressed_output.cpp
    src/pycommon/core_errors.cpp)

set(ZEL_MODULE_SOURCES
    src/zel/conversions.cpp
    src/zel/event_type.cpp
    src/zel/lib.cpp
    src/zel/result_type.cpp)

set(ZELKIT_NATIVE_SOURCES
    src/zelkit/buffer_type.cpp
    src/zelkit/camera_files.cpp
    src/zelkit/codec_functions.cpp
    src/zelkit/container_functions.cpp
    src/zelkit/container_reader_type.cpp
    src/zelkit/container_writer_type.cpp
    src/zelkit/conversions.cpp
    src/zelkit/event_functions.cpp
    src/zelkit/event_store_types.cpp
    src/zelkit/file_functions.cpp
    src/zelkit/format_errors.cpp
    src/zelkit/module.cpp
    src/zelkit/parts.cpp
    src/zelkit/record_stream_type.cpp
    src/zelkit/record_types.cpp)

# GoogleTest units (tests/cpp/<name>.cpp), one executable each.
set(ZEL_CPP_TESTS
    bit_count_test bitstream_test box_decoder_test byte_buffer_test byte_source_test camera_formats_test chunked_reader_test
    aedat4_reader_test camera_reader_test codec_differential_test container_codec_test
    container_reader_test container_writer_test context_codec_test event_store_test crc32c_test csv_line_test
    csv_plain_test
    csv_reader_test delta_test event_writers_test camera_fast_paths_test io_hooks_test
    key_interleave_test key_sort_test level_bitmaps_test lossless_block_test lossless_rans_test
    octree_test packed_loader_test
    path_text_test pipeline_test rans_test time_binner_test voxel_test)

# libFuzzer targets (fuzz/targets/<name>.cpp); each also builds as a replay
# program in the test build.
set(ZEL_FUZZ_TARGETS
    aedat2_reader aedat4_reader bin_dispatch chunked_reader compact_reader context_decode csv_plain
    csv_reader delta_decode event_store evt2_reader evt3_reader lossless_block nmnist_reader octree_decode
    prophesee_dat_reader rans_decode roundtrip roundtrip_large zel_container
    zel_container_roundtrip zel_container_stream)
