/* The public header compiles as C99 and its records have the layout the
 * library uses; checked again here from a plain C translation unit. */
#include <stddef.h>
#include <stdio.h>

#include "dovrin_rtc_desktop.h"

static int failures = 0;

static void expect(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "layout mismatch: %s\n", what);
    ++failures;
  }
}

int main(void) {
  expect(sizeof(DovrinRtcCreateDiagnostics) == 16, "diagnostics size");
  expect(offsetof(DovrinRtcCreateDiagnostics, stage) == 0, "diagnostics.stage");
  expect(offsetof(DovrinRtcCreateDiagnostics, sdk_code) == 4, "diagnostics.sdk_code");
  expect(offsetof(DovrinRtcCreateDiagnostics, reserved) == 8, "diagnostics.reserved");
  expect(offsetof(DovrinRtcCreateDiagnostics, code_kind) == 12, "diagnostics.code_kind");

  expect(sizeof(DovrinRtcAudioBlock) == 1960, "block size");
  expect(offsetof(DovrinRtcAudioBlock, epoch) == 0, "block.epoch");
  expect(offsetof(DovrinRtcAudioBlock, presentation_ms) == 8, "block.presentation_ms");
  expect(offsetof(DovrinRtcAudioBlock, render_time_ms) == 16, "block.render_time_ms");
  expect(offsetof(DovrinRtcAudioBlock, rtp_timestamp) == 24, "block.rtp_timestamp");
  expect(offsetof(DovrinRtcAudioBlock, sample_rate) == 28, "block.sample_rate");
  expect(offsetof(DovrinRtcAudioBlock, channels) == 32, "block.channels");
  expect(offsetof(DovrinRtcAudioBlock, frames) == 36, "block.frames");
  expect(offsetof(DovrinRtcAudioBlock, samples) == 40, "block.samples");

  expect(sizeof(DovrinRtcAudioHealthSnapshot) == 136, "health size");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, terminal_issue) == 8, "health.terminal_issue");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, issue_counts) == 16, "health.issue_counts");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, gap_frames) == 64, "health.gap_frames");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, gap_events) == 72, "health.gap_events");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, max_depth_blocks) == 80, "health.max_depth_blocks");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, capture_budget_ms) == 88, "health.capture_budget_ms");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, capture_degraded_ms) == 96, "health.capture_degraded_ms");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, playback_degraded_ms) == 104, "health.playback_degraded_ms");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, last_format_rate) == 112, "health.last_format_rate");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, last_format_channels) == 120, "health.last_format_channels");
  expect(offsetof(DovrinRtcAudioHealthSnapshot, last_format_samples) == 128, "health.last_format_samples");

  /* Linked against the shipped library: the sizes it reports agree. */
  expect(dovrin_rtc_desktop_abi() == DOVRIN_RTC_DESKTOP_ABI_VERSION, "abi version");
  expect(dovrin_rtc_desktop_audio_health_size() == (int32_t)sizeof(DovrinRtcAudioHealthSnapshot),
         "health size export");

  if (failures == 0) printf("header layout: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
