#!/usr/bin/env bash
# CPU cost of a capture: dovrin-audio-host capturing one player next to pw-record capturing
# the same player, in one private graph, in alternating windows; also the daemon's CPU in
# each window (player alone, with the host, with pw-record), so that the cost to the graph
# shows. Medians over the rounds, in ms of CPU per second of audio.
#   scripts/capture_cpu.sh [SECONDS_PER_WINDOW=5] [ROUNDS=3]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
rounds=${2:-3}
build=build/release
scripts/deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target dovrin-audio-host dovrin_pw_tone dovrin_private_graph >/dev/null
source scripts/lib/private_graph.sh
host=$build/audio_host/dovrin-audio-host
tone=$build/tests/pipewire/dovrin_pw_tone

work=$(mktemp -d /tmp/dovrin-cpu-XXXXXX)
player=
cleanup() {
  [[ -n "$player" ]] && kill "$player" 2>/dev/null
  graph_stop
  rm -rf "$work"
}
trap cleanup EXIT
graph_start "$build" "$work/graph"

# Run time in ns of every thread of a process, from the scheduler's own accounting.
cpu_ns() {
  local total=0 run _ file
  for file in /proc/"$1"/task/*/schedstat; do
    read -r run _ <"$file" 2>/dev/null || continue
    total=$((total + run))
  done
  echo "$total"
}
daemon=$(awk '$1 == "pipewire" {print $2}' "$work/graph/pids")
rate() { awk -v ns="$1" -v s="$2" 'BEGIN { printf "%.3f", ns / 1e6 / s }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

"$tone" 440 100000 & player=$!
wait_listed "$host" "$player" || { echo "the player was not listed" >&2; exit 1; }
target="dovrin-tone.$player"  # the player names its stream after its pid

# One window: the command (if any) runs for the window; prints "<its ns> <daemon ns> <s>".
window() {
  local d0 d1 c0 c1 pid=
  if (($#)); then
    "$@" >"$work/out" 2>/dev/null &
    pid=$!
    sleep 0.5  # connected and linked before the window opens
  fi
  c0=0
  [[ -n "$pid" ]] && c0=$(cpu_ns "$pid")
  d0=$(cpu_ns "$daemon")
  local t0 t1
  t0=$(date +%s.%N)
  sleep "$seconds"
  t1=$(date +%s.%N)
  d1=$(cpu_ns "$daemon")
  c1=0
  [[ -n "$pid" ]] && c1=$(cpu_ns "$pid")
  if [[ -n "$pid" ]]; then
    kill -INT "$pid"
    wait "$pid" || true  # pw-record exits 1 after SIGINT
  fi
  echo "$((c1 - c0)) $((d1 - d0)) $(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"
}

: >"$work/host" ; : >"$work/record" ; : >"$work/d_idle" ; : >"$work/d_host" ; : >"$work/d_record"
for round in $(seq "$rounds"); do
  read -r _ d s < <(window)
  rate "$d" "$s" >>"$work/d_idle"; echo >>"$work/d_idle"
  read -r c d s < <(window "$host" --target "pid:$player")
  rate "$c" "$s" >>"$work/host"; echo >>"$work/host"
  rate "$d" "$s" >>"$work/d_host"; echo >>"$work/d_host"
  read -r c d s < <(window pw-record -P '{ node.dont-reconnect = true }' --target "$target" "$work/record.wav")
  rate "$c" "$s" >>"$work/record"; echo >>"$work/record"
  rate "$d" "$s" >>"$work/d_record"; echo >>"$work/d_record"
  echo "round $round done" >&2
done

row() { printf '%-44s %8s ms/s   (%s)\n' "$1" "$(median <"$2")" "$(tr '\n' ' ' <"$2" | sed 's/ *$//')"; }
echo "CPU per second of audio, medians of $rounds windows of ${seconds} s (a 440 Hz native player):"
row "dovrin-audio-host --target pid:<player>" "$work/host"
row "pw-record --target <player>" "$work/record"
row "pipewire daemon, player alone" "$work/d_idle"
row "pipewire daemon, player + dovrin-audio-host" "$work/d_host"
row "pipewire daemon, player + pw-record" "$work/d_record"
