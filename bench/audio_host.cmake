# CPU cost of capture: IO callback and writer passes over the simulated machine.
dovrin_bench(audio_host_capture_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/audio_host_capture_bench.cpp
  LIBS dovrin_audio_host_core dovrin_platform_sim)
