/* The reference sequence a fidelity test plays and then looks for in the capture: a
 * 32-bit linear congruential generator's high bits, scaled to [-0.25, 0.25), so that any
 * shift of it is unlike itself and every sample is exactly representable in float. */
#ifndef DOVRIN_PW_REFERENCE_SIGNAL_H
#define DOVRIN_PW_REFERENCE_SIGNAL_H

#include <stdint.h>

static inline float dovrin_pw_reference(uint64_t frame) {
  uint32_t state = (uint32_t)(frame * 2654435761u) ^ 0x9E3779B9u;
  state = state * 1664525u + 1013904223u;
  state = state * 1664525u + 1013904223u;
  return (float)((int32_t)(state >> 16) - 32768) / 131072.0f;
}

#endif
