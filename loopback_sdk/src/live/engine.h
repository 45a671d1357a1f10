// The live engine: per-service threads on the live clock, channels, bots,
// scripted events. The SDK objects call the hooks below; the control
// interface (loopback_control.h) starts, stops and steers it.
//
// All engine state is guarded by the world's mutex. Engine threads take it to
// look at the world and to advance channels, then release it before they call
// into the library, as manual driving does.
#pragma once

#include <cstdint>

#include "world.h"

namespace loopback::live_mode {

using detail::World;

// Throws std::logic_error while the engine runs.
void refuse_manual_driving();

// Hooks called by the SDK objects with the world's lock held (`locked`).
void connecting(World& locked, uint64_t connection);
void disconnecting(World& locked, uint64_t connection);
void renewing(World& locked, uint64_t connection, const char* token);
void pcm_sent(World& locked, uint64_t sender, const void* data, size_t samples_per_channel,
              size_t channels, uint32_t sample_rate);
void encoded_sent(World& locked, uint64_t sender, const uint8_t* payload, size_t size, int codec);
void retired(World& locked, uint64_t object, Kind kind);

// Hooks called without the lock.
void service_initialized(uint64_t service);
// Stops and joins the service's threads; must not run on one of them.
void service_releasing(uint64_t service);
// Before a connection observer is handed to its deleter: waits until no
// engine thread is inside a callback of it (unless the caller is that thread).
void wait_for_callbacks(std::unique_lock<std::mutex>& locked, const void* observer);

}  // namespace loopback::live_mode
