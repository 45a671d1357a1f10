// The soak as a program: dovrin_live_soak MINUTES [--virtual] [--seed N]
// [--round SECONDS]. Real time by default; prints a line per round, then the
// figures, and exits non-zero on any violation.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "live/soak.h"

int main(int argc, char** argv) {
  dovrin::testing::SoakOptions options;
  options.virtual_clock = false;
  options.round_seconds = 60;
  options.progress = true;
  options.seed = 1;
  double minutes = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--virtual") == 0) {
      options.virtual_clock = true;
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      options.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--round") == 0 && i + 1 < argc) {
      options.round_seconds = std::atof(argv[++i]);
    } else if (minutes < 0) {
      minutes = std::atof(argv[i]);
    } else {
      minutes = -1;
      break;
    }
  }
  if (minutes <= 0 || options.round_seconds < 5) {
    std::fprintf(stderr, "usage: %s MINUTES [--virtual] [--seed N] [--round SECONDS (5 or more)]\n", argv[0]);
    return 2;
  }
  options.seconds = minutes * 60;
  const auto figures = dovrin::testing::run_soak(options);
  std::fputs(dovrin::testing::describe(figures).c_str(), stdout);
  return figures.violation_count == 0 ? 0 : 1;
}
