dovrin_bench(ring_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ring_bench.cpp
  LIBS dovrin_rtc_testing)

# The exports against the stand-in SDK, through the shipped library.
dovrin_bench(exports_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_bench.cpp
  LIBS dovrin_rtc_desktop loopback_rtc_sdk)
target_compile_definitions(exports_bench PRIVATE LOOPBACK_SDK_PATH="$<TARGET_FILE:loopback_rtc_sdk>")

# A 34-connection call over the stand-in's live mode, in virtual time; links
# the testing archive so that the library's clock follows the virtual one.
add_executable(live_call_bench ${CMAKE_CURRENT_LIST_DIR}/live_call_bench.cpp)
dovrin_warnings(live_call_bench)
target_link_libraries(live_call_bench PRIVATE dovrin_rtc_testing loopback_rtc_sdk benchmark::benchmark
  Threads::Threads)
target_compile_definitions(live_call_bench PRIVATE LOOPBACK_SDK_PATH="$<TARGET_FILE:loopback_rtc_sdk>")

# A full-duplex call of 1 to 34 slots publishing Opus, against opus_encode
# alone on as many encoders, in the same run.
add_executable(full_duplex_bench ${CMAKE_CURRENT_LIST_DIR}/full_duplex_bench.cpp)
dovrin_warnings(full_duplex_bench)
target_link_libraries(full_duplex_bench PRIVATE dovrin_rtc_testing loopback_rtc_sdk benchmark::benchmark
  PkgConfig::OPUS Threads::Threads)
target_compile_definitions(full_duplex_bench PRIVATE LOOPBACK_SDK_PATH="$<TARGET_FILE:loopback_rtc_sdk>")
# The speech-like signal of the end-to-end tests.
target_include_directories(full_duplex_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
