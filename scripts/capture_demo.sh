#!/usr/bin/env bash
# The audio host on a real PipeWire graph (a private one, so that nothing on this machine is
# touched): two applications play as process trees, one native (440 Hz) and one through the
# PulseAudio server (660 Hz); the host lists them, captures the first tree for a few seconds
# into out/capture/captured.wav with its spectrogram, and the other application's tone is
# shown to be absent from the capture.
#   scripts/capture_demo.sh [SECONDS=4]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-4}
build=build/release
out=out/capture
scripts/deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target dovrin-audio-host dovrin_pw_tone dovrin_private_graph >/dev/null
source scripts/lib/private_graph.sh
host=$PWD/$build/audio_host/dovrin-audio-host
tone=$PWD/$build/tests/pipewire/dovrin_pw_tone

work=$(mktemp -d /tmp/dovrin-demo-XXXXXX)
trees=()
cleanup() {
  for pid in "${trees[@]}"; do pkill -TERM -P "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
  graph_stop
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$out"
echo "== a private PipeWire graph (pipewire, wireplumber, pipewire-pulse, a null sink)"
graph_start "$build" "$work/graph" --pulse

sox -n -r 48000 -c 2 -b 16 "$work/660.wav" synth 60 sine 660 gain -6
# Application A: a shell whose child plays 440 Hz. Application B: a shell whose child
# plays 660 Hz through the PulseAudio server.
sh -c "'$tone' 440 60 & echo \$! > '$work/a.child'; wait" & trees+=($!)
sh -c "paplay '$work/660.wav' 2>/dev/null & echo \$! > '$work/b.child'; wait" & trees+=($!)
tree_a=${trees[0]}
for i in $(seq 200); do [[ -s "$work/a.child" && -s "$work/b.child" ]] && break; sleep 0.05; done
child_a=$(cat "$work/a.child")
child_b=$(cat "$work/b.child")
wait_listed "$host" "$child_a" && wait_listed "$host" "$child_b"
echo "application A: shell $tree_a, player $child_a (440 Hz, native)"
echo "application B: shell ${trees[1]}, player $child_b (660 Hz, PulseAudio)"
echo
echo "== dovrin-audio-host --list"
"$host" --list
echo
echo
echo "== dovrin-audio-host --target pid:$tree_a for $seconds s"
timeout --preserve-status -s INT "$seconds" "$host" --target "pid:$tree_a" >"$work/captured.raw" 2>"$work/events.log"
cat "$work/events.log"
sox -t raw -r 48000 -e signed -b 16 -c 1 "$work/captured.raw" "$out/captured.wav"
sox "$out/captured.wav" -n spectrogram -x 800 -y 257 -z 100 -t "dovrin-audio-host --target pid:$tree_a" \
    -o "$out/captured.png"
echo "wrote $out/captured.wav ($(soxi -D "$out/captured.wav") s) and $out/captured.png"
echo
# The level of each tone: a steep band-pass around it, then its RMS (the first 0.5 s left
# out). A -6 dBFS sine has an RMS of -9 dBFS.
band_level() {
  sox "$out/captured.wav" -n trim 0.5 sinc -a 120 -t 20 "$1" stats 2>&1 | awk '/RMS lev dB/ { print $4 }'
}
a=$(band_level 420-460)
b=$(band_level 640-680)
echo "band around 440 Hz (application A): RMS $a dBFS"
echo "band around 660 Hz (application B): RMS $b dBFS"
if awk -v a="$a" -v b="$b" 'BEGIN { exit !(a > -15 && (b == "-inf" || b < -50)) }'; then
  echo "application B is absent from the capture of application A"
else
  echo "unexpected levels: application B is not absent" >&2
  exit 1
fi
