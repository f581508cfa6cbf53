# C libraries the core links, found on the system (Debian: liblz4-dev,
# libzstd-dev; tools/run_tests.sh installs them). AEDAT 4 files compress
# their packets as LZ4 or Zstandard frames, which the readers layer
# decompresses with the reference implementations. Shared by the main
# build and the fuzz build (fuzz/CMakeLists.txt).
find_path(ZEL_LZ4_INCLUDE_DIR lz4frame.h REQUIRED)
find_library(ZEL_LZ4_LIBRARY lz4 REQUIRED)
find_path(ZEL_ZSTD_INCLUDE_DIR zstd.h REQUIRED)
find_library(ZEL_ZSTD_LIBRARY zstd REQUIRED)

add_library(zel_lz4 INTERFACE)
target_include_directories(zel_lz4 SYSTEM INTERFACE ${ZEL_LZ4_INCLUDE_DIR})
target_link_libraries(zel_lz4 INTERFACE ${ZEL_LZ4_LIBRARY})
add_library(zel_zstd INTERFACE)
target_include_directories(zel_zstd SYSTEM INTERFACE ${ZEL_ZSTD_INCLUDE_DIR})
target_link_libraries(zel_zstd INTERFACE ${ZEL_ZSTD_LIBRARY})
