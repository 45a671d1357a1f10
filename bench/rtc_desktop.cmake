dovrin_bench(ring_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ring_bench.cpp
  LIBS dovrin_rtc_testing)
