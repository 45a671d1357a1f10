#!/usr/bin/env bash
# Builds the release preset and runs the example host against the stand-in RTC SDK.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target dovrin_host_example loopback_rtc_sdk dovrin-audio-host
build/release/examples/dovrin_host_example build/release/loopback_sdk/libloopback_rtc_sdk.so
# The audio host on a private PipeWire graph: list, capture one tree, out/capture/.
scripts/capture_demo.sh
