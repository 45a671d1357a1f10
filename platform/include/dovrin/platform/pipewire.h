#pragma once
// The audio system of a Linux desktop: PipeWire. Only the program installs it; tests keep
// the default backends unless they start an audio server of their own.

namespace dovrin::platform::pipewire {

// Installs one backend as both the AudioSystem and the ProcessTable. Nothing talks to
// PipeWire until the first audio-system or running-application call; a daemon that cannot
// be reached then gives the same answers as the default backend (nothing found, nothing
// created), never a wait. Liveness, parents and the own pid stay with the process table
// that was installed before. Call once, before any thread uses the platform layer.
void install();

}  // namespace dovrin::platform::pipewire
