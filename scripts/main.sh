#!/usr/bin/env bash
# Builds the release preset and runs a two-party call over the stand-in RTC SDK's live mode:
# runtime A speaks Opus, runtime B raw PCM, each a synthesised sentence; out/call/ then holds
# what each side sent and heard (WAV), their spectrograms and a report. Arguments go to the
# call demo (--seconds N, --out DIR, --loss PCT, --jitter MS, --drop-link SECONDS).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target dovrin_call_demo dovrin_host_example loopback_rtc_sdk dovrin-audio-host
out=out/call
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
  [[ ${args[i]} == --out ]] && ((i + 1 < ${#args[@]})) && out=${args[i + 1]}
done
build/release/examples/dovrin_call_demo "$@"
# Where this machine has a sound output, the call is played back: B hearing A, then A hearing B.
if command -v play >/dev/null &&
  { [[ -n ${PULSE_SERVER:-} ]] || [[ -S ${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native ]] ||
    [[ -S ${XDG_RUNTIME_DIR:-/nonexistent}/pipewire-0 ]] || [[ -d /dev/snd ]]; }; then
  echo "playing $out/b-heard.wav, then $out/a-heard.wav"
  timeout 120 play -q "$out/b-heard.wav" "$out/a-heard.wav" || echo "(no sound output could be opened)"
else
  echo "no sound output here: listen with  play $out/b-heard.wav  where there is one"
fi
# The audio host on a private PipeWire graph: list, capture one tree, out/capture/.
scripts/capture_demo.sh
