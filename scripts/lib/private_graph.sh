# Sourced by the scripts that need a PipeWire graph of their own (the capture demo, the CPU
# measurement): graph_start starts one under a folder and points this shell's clients at it,
# graph_stop stops exactly what it started. The graph also ends if the script dies.
#   graph_start BUILD_DIR BASE [--pulse]

graph_start() {
  local build=$1 base=$2
  shift 2
  mkdir -p "$base"
  "$build/tests/pipewire/dovrin_private_graph" "$base" "$@" >"$base.ready" 2>"$base.err" &
  GRAPH_PID=$!
  local i
  for i in $(seq 600); do
    grep -q ready "$base.ready" 2>/dev/null && break
    if ! kill -0 "$GRAPH_PID" 2>/dev/null; then
      echo "the private PipeWire graph did not start:" >&2
      cat "$base.err" "$base/graph.log" >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.05
  done
  grep -q ready "$base.ready" || { echo "the private PipeWire graph did not start in time" >&2; return 1; }
  # shellcheck disable=SC1091
  source "$base/env"
}

graph_stop() {
  if [[ -n "${GRAPH_PID:-}" ]]; then
    kill -TERM "$GRAPH_PID" 2>/dev/null || true
    wait "$GRAPH_PID" 2>/dev/null || true
    GRAPH_PID=
  fi
}

# Waits (up to 10 s) until `dovrin-audio-host --list` shows pid $2 as active.
wait_listed() {
  local host=$1 pid=$2 i
  for i in $(seq 200); do
    "$host" --list | grep -q "\"active\":true,\"exe\":\"[^\"]*\",\"id\":\"pid:$pid\"" && return 0
    sleep 0.05
  done
  return 1
}
