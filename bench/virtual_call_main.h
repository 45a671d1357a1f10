// The main function of the benchmarks that run a call in the stand-in's
// virtual time: takes --virtual-seconds=N (how long the call lasts) before
// handing the rest of the command line to Google Benchmark.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace dovrin::bench {

inline int run_virtual_call_benchmarks(int argc, char** argv, uint64_t& virtual_seconds) {
  constexpr const char* kOption = "--virtual-seconds=";
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], kOption, std::strlen(kOption)) == 0) {
      virtual_seconds = std::strtoull(argv[i] + std::strlen(kOption), nullptr, 10);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace dovrin::bench
