#include <cstdlib>

#include "audio_host/entry.h"

int main(int argc, char** argv) { std::exit(dovrin::audio_host::hostMain(argc, argv)); }
