#!/usr/bin/env bash
# A long soak in real time: one runtime, 34 slots against 34 bots of the stand-in's live mode,
# half of the rounds publishing Opus and half PCM, with churn (joins and leaves, capture
# switches, link losses, bots leaving and returning, token expiry and renewal, failed joins).
# Prints a line per round and the figures (blocks, events, peak memory, CPU); exits non-zero
# on any violation of order, generation, loss, failure judgement or memory.
#   scripts/soak.sh MINUTES [--seed N] [--round SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
if (($# < 1)); then
  echo "usage: scripts/soak.sh MINUTES [--seed N] [--round SECONDS]" >&2
  exit 2
fi
scripts/deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target dovrin_live_soak loopback_rtc_sdk >/dev/null
# The library's rate-limited diagnostics go to stderr; the figures to stdout.
build/release/tests/live/dovrin_live_soak "$@" 2>/dev/null
