#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is missing;
# packages named on the command line (a script's own needs, such as clang for the fuzzers)
# are added to them. PipeWire: the library to build the program's backend; the daemons, their
# tools and the PulseAudio side for the tests against a private graph; sox for the capture and
# call demos (spectrograms, playback); libsndfile and espeak-ng for the call demo (WAV files, voices).
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libopus-dev nlohmann-json3-dev uuid-dev
          libsamplerate0-dev libgtest-dev libgmock-dev libbenchmark-dev binutils
          libpipewire-0.3-dev pipewire pipewire-bin wireplumber dbus-daemon pipewire-pulse pulseaudio-utils sox
          libsox-fmt-all libsndfile1-dev espeak-ng "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
