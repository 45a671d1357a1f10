// A two-party call you can listen to, over the stand-in RTC SDK's live mode.
//
// Two runtimes, A and B, made from the shipped library with the stand-in's
// path, join one channel on slot 0. A publishes Opus that the library encodes
// (16 kHz, 32 kb/s); B publishes raw PCM. Each side's microphone (the
// stand-in's capture thread) says a sentence synthesised with espeak-ng, or a
// generated speech-like signal when espeak-ng is missing.
//
// Each side's host runs the way an application would, within the header's
// threading rules: an audio thread that every 10 ms ticks, takes capture
// blocks (capture_poll), takes the remote user's blocks (poll of slot 1) and
// plays them (play); a send thread that sends what was captured (send on
// slot 0); the main thread reads status and audio health for the progress
// line. Configuration calls (create, io, join, leave, destroy, ...) happen
// before the host threads start and after they stop.
//
// At the end it writes, into the output folder: a-sent.wav, b-heard.wav,
// b-sent.wav, a-heard.wav (48 kHz 16-bit mono, on one time line: the clock
// the stand-in stamps capture and delivery with), a spectrogram of each
// sent/heard pair (a-to-b.png, b-to-a.png; sent above, heard below) and
// report.txt. It exits non-zero when a side heard nothing or what a side
// heard correlates with what the other sent less than the end-to-end tests
// demand (0.95, or 0.90 under impairments).
//
// Usage: dovrin_call_demo [--seconds N] [--out DIR] [--loss PCT] [--jitter MS]
//                         [--drop-link SECONDS] [--sdk PATH] [--seed N]
#include <samplerate.h>
#include <sndfile.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "dovrin_rtc_desktop.h"
#include "live/signal_measure.h"
#include "loopback_control.h"

extern char** environ;

namespace {

constexpr const char* kAppId = "0123456789abcdef0123456789abcdef";
constexpr const char* kChannel = "call-demo";
// Playout delay every receiver keeps on top of the jitter it was told about.
constexpr uint32_t kPlayoutMarginMs = 60;
constexpr int kRate = 48000;
constexpr int kBlock = 480;

struct Options {
  int seconds = 10;
  std::string out = "out/call";
  double loss_pct = 0;
  uint32_t jitter_ms = 0;
  double drop_link_s = 0;
  std::string sdk = LOOPBACK_SDK_PATH;
  uint64_t seed = 20261210;
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--seconds" && has_value) {
      o.seconds = std::atoi(argv[++i]);
    } else if (a == "--out" && has_value) {
      o.out = argv[++i];
    } else if (a == "--loss" && has_value) {
      o.loss_pct = std::atof(argv[++i]);
    } else if (a == "--jitter" && has_value) {
      o.jitter_ms = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else if (a == "--drop-link" && has_value) {
      o.drop_link_s = std::atof(argv[++i]);
    } else if (a == "--sdk" && has_value) {
      o.sdk = argv[++i];
    } else if (a == "--seed" && has_value) {
      o.seed = std::strtoull(argv[++i], nullptr, 10);
    } else {
      return false;
    }
  }
  return o.seconds >= 2 && o.seconds <= 3600 && o.loss_pct >= 0 && o.loss_pct <= 50 && o.jitter_ms <= 500 &&
         o.drop_link_s >= 0 && o.drop_link_s <= 50 && o.drop_link_s < o.seconds;
}

// Runs a program and waits for it; -1 when it could not be started.
int run(const std::vector<std::string>& args, bool quiet = true) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool write_wav(const std::string& path, const std::vector<int16_t>& samples) {
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return false;
  }
  const sf_count_t n = static_cast<sf_count_t>(samples.size());
  const bool ok = sf_writef_short(f, samples.data(), n) == n;
  sf_close(f);
  return ok;
}

// Reads a mono or multichannel file, mixes it to mono and converts it to
// 48 kHz with libsamplerate. Empty when it cannot be read.
std::vector<int16_t> read_as_48k(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr || info.frames <= 0 || info.channels <= 0) {
    if (f != nullptr) sf_close(f);
    return {};
  }
  std::vector<float> interleaved(static_cast<size_t>(info.frames * info.channels));
  const sf_count_t got = sf_readf_float(f, interleaved.data(), info.frames);
  sf_close(f);
  std::vector<float> mono(static_cast<size_t>(got));
  for (size_t i = 0; i < mono.size(); ++i) {
    float sum = 0;
    for (int c = 0; c < info.channels; ++c) sum += interleaved[i * static_cast<size_t>(info.channels) + static_cast<size_t>(c)];
    mono[i] = sum / static_cast<float>(info.channels);
  }
  const auto convert = [](const std::vector<float>& in, double ratio) {
    std::vector<float> converted(static_cast<size_t>(static_cast<double>(in.size()) * ratio) + 64);
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = converted.data();
    data.output_frames = static_cast<long>(converted.size());
    data.src_ratio = ratio;
    if (src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1) != 0) return std::vector<float>{};
    converted.resize(static_cast<size_t>(data.output_frames_gen));
    return converted;
  };
  // Through 12 kHz on the way: speech up to 6 kHz, the band that a 16 kHz
  // Opus stream at 32 kb/s codes as a waveform, so that what is heard can be
  // compared with what was said sample by sample.
  const std::vector<float> out = convert(convert(mono, 12000.0 / info.samplerate), 4.0);
  if (out.empty()) return {};
  // Speech at a comfortable level: peaks at about -3 dBFS.
  float peak = 1e-6f;
  for (float v : out) peak = std::max(peak, std::fabs(v));
  const float gain = 0.7f / peak;
  std::vector<int16_t> pcm(out.size());
  for (size_t i = 0; i < out.size(); ++i) {
    pcm[i] = static_cast<int16_t>(std::lround(std::clamp(out[i] * gain, -1.0f, 1.0f) * 32767));
  }
  return pcm;
}

std::vector<int16_t> sentence(const std::string& text, const std::string& voice, const std::string& scratch,
                              double fallback_hz, bool& synthesised) {
  synthesised = false;
  if (run({"espeak-ng", "-v", voice, "-s", "150", "-w", scratch, text}) == 0) {
    auto pcm = read_as_48k(scratch);
    std::remove(scratch.c_str());
    if (!pcm.empty()) {
      synthesised = true;
      return pcm;
    }
  }
  // No synthesiser at hand: a voiced, speech-like signal that pauses.
  return dovrin::testing::speech_like(kRate, kRate * 3, fallback_hz, true);
}

// The microphone of one side: the sentence, then a pause, over and over,
// once the call has begun. Runs on the stand-in's capture thread.
struct Microphone {
  const std::vector<int16_t>* speech = nullptr;
  size_t pause = kRate * 6 / 10;
  std::atomic<bool> talking{false};
  size_t position = 0;  // capture thread only

  static void fill(void* context, int16_t* out, size_t count, uint64_t) {
    auto* m = static_cast<Microphone*>(context);
    if (!m->talking.load(std::memory_order_acquire)) {
      std::fill(out, out + count, int16_t{0});
      return;
    }
    const size_t period = m->speech->size() + m->pause;
    for (size_t i = 0; i < count; ++i) {
      const size_t at = m->position % period;
      out[i] = at < m->speech->size() ? (*m->speech)[at] : int16_t{0};
      ++m->position;
    }
  }
};

// Capture blocks from the audio thread to the send thread. One producer
// (the audio thread: head), one consumer (the send thread: tail); each side
// loads its own index relaxed and the other's with acquire, and publishes
// with release.
class BlockRing {
 public:
  bool push(const DovrinRtcAudioBlock& block) {
    const size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == slots_.size()) return false;
    slots_[head % slots_.size()] = block;
    head_.store(head + 1, std::memory_order_release);
    return true;
  }
  bool pop(DovrinRtcAudioBlock& block) {
    const size_t tail = tail_.load(std::memory_order_relaxed);
    if (head_.load(std::memory_order_acquire) == tail) return false;
    block = slots_[tail % slots_.size()];
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }

 private:
  std::array<DovrinRtcAudioBlock, 64> slots_{};
  alignas(64) std::atomic<size_t> head_{0};
  alignas(64) std::atomic<size_t> tail_{0};
};

// Every event either runtime raised, by operation; the demo tolerates all
// of them, as an application that rides out link trouble would.
std::array<std::atomic<uint64_t>, 64> events_by_operation{};

uint32_t tolerate(const DovrinRtcSdkEvent* event) {
  if (event->sequence != 0) events_by_operation[event->operation % 64].fetch_add(1, std::memory_order_relaxed);
  return 0;  // also yes to observations and renewal tracking
}

struct Side {
  const char* name = "";
  DovrinRtcRuntime* rtc = nullptr;
  uint64_t service = 0;
  uint32_t uid = 0, remote = 0;
  bool opus = false;
  std::vector<int16_t> speech;
  Microphone mic;
  BlockRing ring;
  // On the stand-in's clock: sample 0 of both recordings is `origin_ms`.
  std::atomic<uint64_t> origin_ms{0};
  std::vector<int16_t> sent, heard;       // send thread / audio thread only
  std::vector<uint8_t> heard_blocks;      // audio thread only: which 10 ms were delivered
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> captured{0}, ring_full{0}, sends_ok{0}, sends_held{0}, sends_failed{0};
  std::atomic<uint64_t> received{0}, gaps{0}, tick_failures{0}, play_refused{0};
  std::atomic<uint64_t> level_sum{0}, level_count{0};  // squared samples / 1024, of heard blocks
  std::thread audio, sender;
};

// Where a block stamped `ms` on the stand-in's clock goes in a recording, or
// SIZE_MAX when outside it.
size_t place(const Side& s, uint64_t ms, size_t size) {
  const uint64_t origin = s.origin_ms.load(std::memory_order_acquire);
  if (origin == 0 || ms < origin) return SIZE_MAX;
  const size_t at = static_cast<size_t>(ms - origin) * (kRate / 1000);
  return at + kBlock <= size ? at : SIZE_MAX;
}

void audio_thread(Side& s) {
  DovrinRtcAudioBlock block;
  std::array<int16_t, 2 * kBlock> stereo{};
  uint64_t gap_sequence = 0;
  uint32_t last_rtp = 0;
  bool have_rtp = false;
  auto next = std::chrono::steady_clock::now();
  while (!s.stop.load(std::memory_order_acquire)) {
    if (dovrin_rtc_desktop_tick(s.rtc) != 0) s.tick_failures.fetch_add(1, std::memory_order_relaxed);
    while (dovrin_rtc_desktop_capture_poll(s.rtc, &block, &gap_sequence) == 1) {
      s.captured.fetch_add(1, std::memory_order_relaxed);
      if (!s.ring.push(block)) s.ring_full.fetch_add(1, std::memory_order_relaxed);
    }
    while (dovrin_rtc_desktop_poll(s.rtc, 1, &block) == 1) {
      s.received.fetch_add(1, std::memory_order_relaxed);
      if (have_rtp && block.rtp_timestamp - last_rtp > kBlock) {
        s.gaps.fetch_add((block.rtp_timestamp - last_rtp) / kBlock - 1, std::memory_order_relaxed);
      }
      have_rtp = true;
      last_rtp = block.rtp_timestamp;
      uint64_t squares = 0;
      for (int i = 0; i < kBlock; ++i) {
        squares += static_cast<uint64_t>(block.samples[i] * block.samples[i]) / 1024;
        stereo[2 * i] = stereo[2 * i + 1] = block.samples[i];
      }
      s.level_sum.fetch_add(squares, std::memory_order_relaxed);
      s.level_count.fetch_add(kBlock, std::memory_order_relaxed);
      const size_t at = place(s, static_cast<uint64_t>(block.render_time_ms), s.heard.size());
      if (at != SIZE_MAX) {
        std::copy(block.samples, block.samples + kBlock, s.heard.begin() + static_cast<std::ptrdiff_t>(at));
        s.heard_blocks[at / kBlock] = 1;
      }
      if (dovrin_rtc_desktop_play(s.rtc, stereo.data(), kBlock) != 0) {
        s.play_refused.fetch_add(1, std::memory_order_relaxed);
      }
    }
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
}

void send_thread(Side& s) {
  DovrinRtcAudioBlock block;
  while (!s.stop.load(std::memory_order_acquire)) {
    if (!s.ring.pop(block)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    // The capture timestamp is the block's time: it advances by 10 ms a block.
    const int32_t rc = dovrin_rtc_desktop_send(s.rtc, 0, block.samples, kBlock, kRate,
                                               block.render_time_ms & 0xffffffffLL);
    if (rc == 0) {
      s.sends_ok.fetch_add(1, std::memory_order_relaxed);
      const size_t at = place(s, static_cast<uint64_t>(block.render_time_ms), s.sent.size());
      if (at != SIZE_MAX) {
        std::copy(block.samples, block.samples + kBlock, s.sent.begin() + static_cast<std::ptrdiff_t>(at));
      }
    } else if (rc == 1) {
      s.sends_held.fetch_add(1, std::memory_order_relaxed);
    } else {
      s.sends_failed.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

struct Measure {
  double delay_ms = 0;
  double correlation = 0;
  double snr_db = 0;
  double heard_share = 0;  // of the sent speech's 10 ms blocks, how many were delivered
};

// Aligns what was heard with what was sent: a coarse search on sums of 12
// samples (4 kHz) over up to one second, refined at 48 kHz; measured only
// over the 10 ms blocks that were delivered.
Measure measure(const std::vector<int16_t>& sent, const std::vector<int16_t>& heard,
                const std::vector<uint8_t>& delivered) {
  constexpr size_t kDecimate = 12;
  const auto decimate = [](const std::vector<int16_t>& v) {
    std::vector<double> d(v.size() / kDecimate);
    for (size_t i = 0; i < d.size(); ++i) {
      double sum = 0;
      for (size_t k = 0; k < kDecimate; ++k) sum += v[i * kDecimate + k];
      d[i] = sum;
    }
    return d;
  };
  const auto sd = decimate(sent), hd = decimate(heard);
  const size_t max_lag = kRate / kDecimate;
  double best = -2;
  size_t coarse = 0;
  for (size_t lag = 0; lag < max_lag && lag < hd.size(); ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = 0; i + lag < hd.size() && i < sd.size(); ++i) {
      xy += sd[i] * hd[i + lag];
      xx += sd[i] * sd[i];
      yy += hd[i + lag] * hd[i + lag];
    }
    const double c = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
    if (c > best) {
      best = c;
      coarse = lag * kDecimate;
    }
  }
  Measure m;
  m.correlation = -2;
  const size_t from = coarse > 2 * kDecimate ? coarse - 2 * kDecimate : 0;
  for (size_t lag = from; lag <= coarse + 2 * kDecimate; ++lag) {
    double xy = 0, xx = 0, yy = 0, err = 0;
    for (size_t i = 0; i + lag < heard.size() && i < sent.size(); ++i) {
      if (delivered[(i + lag) / kBlock] == 0) continue;
      const double x = sent[i], y = heard[i + lag];
      xy += x * y;
      xx += x * x;
      yy += y * y;
      err += (x - y) * (x - y);
    }
    const double c = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
    if (c > m.correlation) {
      m.correlation = c;
      m.delay_ms = static_cast<double>(lag) * 1000.0 / kRate;
      m.snr_db = err > 0 ? 10 * std::log10(xx / err) : 200;
    }
  }
  // Share of the blocks with speech in them that arrived, at that delay.
  const size_t lag = static_cast<size_t>(std::lround(m.delay_ms * kRate / 1000.0));
  size_t spoken = 0, arrived = 0;
  for (size_t b = 0; (b + 1) * kBlock + lag <= heard.size() && (b + 1) * kBlock <= sent.size(); ++b) {
    bool sound = false;
    for (size_t i = b * kBlock; i < (b + 1) * kBlock && !sound; ++i) sound = sent[i] != 0;
    if (!sound) continue;
    ++spoken;
    arrived += delivered[(b * kBlock + lag) / kBlock] != 0 ? 1 : 0;
  }
  m.heard_share = spoken > 0 ? static_cast<double>(arrived) / static_cast<double>(spoken) : 0;
  return m;
}

double dbfs(uint64_t sum, uint64_t count) {
  if (count == 0 || sum == 0) return -99.0;
  return 10 * std::log10(static_cast<double>(sum) * 1024.0 / static_cast<double>(count) / (32768.0 * 32768.0));
}

__attribute__((format(printf, 2, 3))) void append(std::string& text, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  text += line;
}

const char* link_name(int32_t status) {
  switch (status) {
    case 1: return "connected";
    case 2: return "recovering";
    case 0: return "waiting";
    default: return "failed";
  }
}

bool setup(Side& s, const Options& o, uint32_t window_ms) {
  DovrinRtcCreateDiagnostics why{};
  const int32_t rc = dovrin_rtc_desktop_create_diagnosed(o.sdk.c_str(), kAppId, nullptr, nullptr, &s.rtc, &why);
  if (rc != 0) {
    std::fprintf(stderr, "%s: create failed: %d (stage %u)\n", s.name, rc, why.stage);
    return false;
  }
  s.service = loopback::services().back();
  s.mic.speech = &s.speech;
  loopback::set_microphone(s.service, loopback::Source::call(&Microphone::fill, &s.mic));
  const bool ok = dovrin_rtc_desktop_error_policy(s.rtc, &tolerate) == 0 &&
                  dovrin_rtc_desktop_recovery_config(s.rtc, window_ms) == 0 &&
                  dovrin_rtc_desktop_capture_config(s.rtc, 200) == 0 &&
                  (!s.opus || dovrin_rtc_desktop_audio_config(s.rtc, 16000, 32000, 1) == 0) &&
                  dovrin_rtc_desktop_io(s.rtc, 1, 1) == 0 &&
                  dovrin_rtc_desktop_join_v2(s.rtc, 0, kChannel, "demo-token", s.uid, s.remote) == 0;
  if (!ok) std::fprintf(stderr, "%s: setting up the call failed\n", s.name);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--seconds N (2-3600)] [--out DIR] [--loss PCT] [--jitter MS] "
                 "[--drop-link SECONDS] [--sdk PATH] [--seed N]\n",
                 argv[0]);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::error_code made;
  std::filesystem::create_directories(o.out, made);
  if (!std::filesystem::is_directory(o.out)) {
    std::fprintf(stderr, "cannot make %s\n", o.out.c_str());
    return 1;
  }

  Side a, b;
  a.name = "A";
  a.uid = 1;
  a.remote = 2;
  a.opus = true;
  b.name = "B";
  b.uid = 2;
  b.remote = 1;
  bool synth_a = false, synth_b = false;
  a.speech = sentence("Hello B, this is A. I am speaking to you in Opus, at thirty two kilobits a second.",
                      "en+f2", o.out + "/.a-voice.wav", 120, synth_a);
  b.speech = sentence("Hello A, here is B. You hear me as raw audio, sample for sample.", "en-us+m3",
                      o.out + "/.b-voice.wav", 210, synth_b);
  std::printf("voices: %s\n", synth_a && synth_b ? "espeak-ng" : "espeak-ng missing, a generated speech-like signal");

  // Room for the call, the join and the tail of what is still on the way.
  const size_t length = static_cast<size_t>(o.seconds + 3) * kRate;
  for (Side* s : {&a, &b}) {
    s->sent.assign(length, 0);
    s->heard.assign(length, 0);
    s->heard_blocks.assign(length / kBlock + 1, 0);
  }

  loopback::LiveOptions live;
  live.clock = loopback::ClockKind::real_time;
  live.seed = o.seed;
  loopback::start_live(live);
  loopback::set_journaling(false);
  const bool impaired = o.loss_pct > 0 || o.jitter_ms > 0 || o.drop_link_s > 0;
  {
    loopback::Impairment impairment;
    impairment.loss = o.loss_pct / 100.0;
    impairment.jitter_ms = o.jitter_ms;
    // A playout buffer that covers the jitter, plus what every receiver keeps: the
    // stand-in's threads run in real time and, on a busy machine, now and then late.
    impairment.jitter_buffer_ms = o.jitter_ms + kPlayoutMarginMs;
    loopback::set_impairment(kChannel, "", "", impairment);
  }
  const uint32_t window_ms =
      std::clamp<uint32_t>(static_cast<uint32_t>(o.drop_link_s * 1000) + 5000, 10000, 60000);
  int exit_code = 0;
  if (!setup(a, o, window_ms) || !setup(b, o, window_ms)) {
    exit_code = 1;
  }
  uint64_t a_connection = 0;
  for (const auto& object : loopback::objects(loopback::Kind::connection)) {
    if (loopback::service_of(object.id) == a.service) a_connection = object.id;
  }

  if (exit_code == 0) {
    for (Side* s : {&a, &b}) {
      s->audio = std::thread(audio_thread, std::ref(*s));
      s->sender = std::thread(send_thread, std::ref(*s));
    }
    // Both connected and subscribed to each other, then the call begins.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((dovrin_rtc_desktop_status(a.rtc, 0) != 1 || dovrin_rtc_desktop_status(b.rtc, 0) != 1) &&
           std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf("call: A (Opus 16 kHz 32 kb/s) and B (PCM 48 kHz) in \"%s\", %d s", kChannel, o.seconds);
    if (o.loss_pct > 0) std::printf(", loss %.1f%%", o.loss_pct);
    if (o.jitter_ms > 0) std::printf(", jitter %u ms", o.jitter_ms);
    if (o.drop_link_s > 0) std::printf(", A's link drops for %.1f s at %.1f s", o.drop_link_s, o.seconds / 2.0 - o.drop_link_s / 2);
    std::printf("\n");
    const uint64_t origin = loopback::now_ms() / 10 * 10;
    a.origin_ms.store(origin, std::memory_order_release);
    b.origin_ms.store(origin, std::memory_order_release);
    a.mic.talking.store(true, std::memory_order_release);
    b.mic.talking.store(true, std::memory_order_release);

    const auto begin = std::chrono::steady_clock::now();
    const double drop_at = o.seconds / 2.0 - o.drop_link_s / 2;
    bool dropped = false;
    for (int second = 1; second <= o.seconds; ++second) {
      const auto until = begin + std::chrono::seconds(second);
      while (std::chrono::steady_clock::now() < until) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (o.drop_link_s > 0 && !dropped && elapsed >= drop_at && a_connection != 0) {
          loopback::link_loss(a_connection, static_cast<uint32_t>(o.drop_link_s * 1000));
          dropped = true;
        }
        std::this_thread::sleep_until(std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
      }
      std::printf("[%3d s]", second);
      for (Side* s : {&a, &b}) {
        DovrinRtcAudioHealthSnapshot health{};
        dovrin_rtc_desktop_audio_health(s->rtc, &health);
        const double level = dbfs(s->level_sum.exchange(0, std::memory_order_relaxed),
                                  s->level_count.exchange(0, std::memory_order_relaxed));
        std::printf("  %s sent %5llu heard %5llu gaps %3llu level %6.1f dBFS %-10s", s->name,
                    static_cast<unsigned long long>(s->sends_ok.load(std::memory_order_relaxed)),
                    static_cast<unsigned long long>(s->received.load(std::memory_order_relaxed)),
                    static_cast<unsigned long long>(s->gaps.load(std::memory_order_relaxed) + health.gap_events),
                    level, link_name(dovrin_rtc_desktop_status(s->rtc, 0)));
      }
      std::printf("\n");
    }
    a.mic.talking.store(false, std::memory_order_release);
    b.mic.talking.store(false, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // what is still on the way
    for (Side* s : {&a, &b}) s->stop.store(true, std::memory_order_release);
    for (Side* s : {&a, &b}) {
      s->audio.join();
      s->sender.join();
    }
  }

  const loopback::PathStats a_to_b = loopback::path_stats(kChannel, "1", "2");
  const loopback::PathStats b_to_a = loopback::path_stats(kChannel, "2", "1");
  uint64_t slot_events[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    Side& s = i == 0 ? a : b;
    DovrinRtcSdkEvent latest{};
    if (s.rtc != nullptr && dovrin_rtc_desktop_error(s.rtc, 0, 0, &latest) == 1) slot_events[i] = latest.sequence;
    if (s.rtc != nullptr) {
      dovrin_rtc_desktop_leave(s.rtc, 0);
      dovrin_rtc_desktop_destroy(s.rtc);
      s.rtc = nullptr;
    }
  }
  loopback::stop_live();
  if (exit_code != 0) return exit_code;

  const size_t used = static_cast<size_t>(o.seconds + 1) * kRate;
  for (Side* s : {&a, &b}) {
    s->sent.resize(used);
    s->heard.resize(used);
  }
  const bool written = write_wav(o.out + "/a-sent.wav", a.sent) && write_wav(o.out + "/b-heard.wav", b.heard) &&
                       write_wav(o.out + "/b-sent.wav", b.sent) && write_wav(o.out + "/a-heard.wav", a.heard);
  if (!written) return 1;
  const bool pictures =
      run({"sox", "-M", o.out + "/a-sent.wav", o.out + "/b-heard.wav", "-n", "spectrogram", "-x", "1200", "-y",
           "257", "-t", "A says (top), B hears (bottom): Opus 16 kHz 32 kb/s", "-o", o.out + "/a-to-b.png"}) == 0 &&
      run({"sox", "-M", o.out + "/b-sent.wav", o.out + "/a-heard.wav", "-n", "spectrogram", "-x", "1200", "-y",
           "257", "-t", "B says (top), A hears (bottom): PCM 48 kHz", "-o", o.out + "/b-to-a.png"}) == 0;

  const Measure ab = measure(a.sent, b.heard, b.heard_blocks);
  const Measure ba = measure(b.sent, a.heard, a.heard_blocks);
  // A control: what B heard is A's sentence, not B's own.
  const Measure own = measure(b.sent, b.heard, b.heard_blocks);
  const double threshold = impaired ? 0.90 : 0.95;
  uint64_t events_total = 0;
  for (const auto& e : events_by_operation) events_total += e.load(std::memory_order_relaxed);

  std::string report;
  append(report, "call of %d s in \"%s\"; loss %.1f%%, jitter %u ms, link drop %.1f s; voices: %s\n", o.seconds, kChannel,
      o.loss_pct, o.jitter_ms, o.drop_link_s, synth_a && synth_b ? "espeak-ng" : "generated");
  const auto direction = [&](const char* title, const Side& from, const Side& to, const Measure& m,
                             const loopback::PathStats& p) {
    append(report, "%s\n", title);
    append(report, "  delay %.1f ms, correlation %.4f (needs %.2f), SNR %.1f dB, heard %.1f%% of the spoken blocks\n",
        m.delay_ms, m.correlation, threshold, m.snr_db, 100 * m.heard_share);
    append(report, "  blocks: sent %llu (held while recovering %llu, refused %llu), delivered %llu, gaps %llu\n",
        static_cast<unsigned long long>(from.sends_ok.load()), static_cast<unsigned long long>(from.sends_held.load()),
        static_cast<unsigned long long>(from.sends_failed.load()), static_cast<unsigned long long>(to.received.load()),
        static_cast<unsigned long long>(to.gaps.load()));
    append(report, "  path: sent %llu, dropped %llu, late %llu, played %llu, concealed %llu, lost %llu\n",
        static_cast<unsigned long long>(p.sent), static_cast<unsigned long long>(p.dropped),
        static_cast<unsigned long long>(p.late), static_cast<unsigned long long>(p.played),
        static_cast<unsigned long long>(p.concealed), static_cast<unsigned long long>(p.lost));
  };
  direction("A -> B (Opus; a-sent.wav, b-heard.wav, a-to-b.png)", a, b, ab, a_to_b);
  direction("B -> A (PCM; b-sent.wav, a-heard.wav, b-to-a.png)", b, a, ba, b_to_a);
  append(report, "control: b-heard.wav against B's own b-sent.wav correlates %.4f\n", own.correlation);
  append(report, "events: %llu raised (A's slot %llu, B's slot %llu)", static_cast<unsigned long long>(events_total),
      static_cast<unsigned long long>(slot_events[0]), static_cast<unsigned long long>(slot_events[1]));
  bool first = true;
  for (size_t op = 0; op < events_by_operation.size(); ++op) {
    const uint64_t n = events_by_operation[op].load();
    if (n == 0) continue;
    append(report, "%s operation %zu x%llu", first ? ":" : ",", op, static_cast<unsigned long long>(n));
    first = false;
  }
  append(report, "\nhost: A tick failures %llu, capture ring full %llu; B tick failures %llu, capture ring full %llu\n",
      static_cast<unsigned long long>(a.tick_failures.load()), static_cast<unsigned long long>(a.ring_full.load()),
      static_cast<unsigned long long>(b.tick_failures.load()), static_cast<unsigned long long>(b.ring_full.load()));
  if (!pictures) append(report, "spectrograms: sox is missing or failed\n");
  const bool heard_both = a.received.load() > 0 && b.received.load() > 0;
  const bool good = heard_both && ab.correlation >= threshold && ba.correlation >= threshold;
  append(report, "result: %s\n", good ? "PASS" : (heard_both ? "FAIL (correlation below threshold)" : "FAIL (a side heard nothing)"));
  std::fputs(report.c_str(), stdout);
  if (FILE* f = std::fopen((o.out + "/report.txt").c_str(), "w")) {
    std::fputs(report.c_str(), f);
    std::fclose(f);
  }
  std::printf("files in %s: a-sent.wav b-heard.wav b-sent.wav a-heard.wav a-to-b.png b-to-a.png report.txt\n"
              "listen: play %s/b-heard.wav\n",
              o.out.c_str(), o.out.c_str());
  return good ? 0 : 1;
}
