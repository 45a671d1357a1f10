#include <cstdlib>

#include "audio_host/entry.h"
#if DOVRIN_WITH_PIPEWIRE
#include "dovrin/platform/pipewire.h"
#endif

int main(int argc, char** argv) {
#if DOVRIN_WITH_PIPEWIRE
  // The real audio system; the host's logic and its tests know only the platform layer.
  dovrin::platform::pipewire::install();
#endif
  std::exit(dovrin::audio_host::hostMain(argc, argv));
}
