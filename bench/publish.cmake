dovrin_bench(publish_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/publish_bench.cpp
  LIBS dovrin_rtc_testing loopback_rtc_sdk PkgConfig::OPUS)
# Publishing on every slot goes through the exports over the stand-in SDK.
target_compile_definitions(publish_bench PRIVATE LOOPBACK_SDK_PATH="$<TARGET_FILE:loopback_rtc_sdk>")
# The term-by-term resampler the tests hold is the reference point.
target_include_directories(publish_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
