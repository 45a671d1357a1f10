dovrin_bench(publish_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/publish_bench.cpp LIBS dovrin_rtc_testing PkgConfig::OPUS)
# The term-by-term resampler the tests hold is the reference point.
target_include_directories(publish_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
