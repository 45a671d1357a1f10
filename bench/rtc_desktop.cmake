dovrin_bench(ring_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ring_bench.cpp
  LIBS dovrin_rtc_testing)

# The exports against the stand-in SDK, through the shipped library.
dovrin_bench(exports_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_bench.cpp
  LIBS dovrin_rtc_desktop loopback_rtc_sdk)
target_compile_definitions(exports_bench PRIVATE LOOPBACK_SDK_PATH="$<TARGET_FILE:loopback_rtc_sdk>")
