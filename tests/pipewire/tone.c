/* A tone player for tests against a real PipeWire graph: one client connection, one
 * playback stream per repeat, each played for a given time and then closed.
 *
 *   dovrin_pw_tone FREQ SECONDS [REPEATS [GAP_SECONDS]]
 *
 * FREQ > 0: a sine at -6 dBFS (amplitude 0.5) on both channels, 48 kHz float stereo.
 * FREQ = 0: the reference sequence of dovrin_pw_reference() at the same level, so that a
 * test can align a capture against exactly the samples that were played.
 * Each stream starts again from sample 0. The player exits 0 after the last stream, and 1
 * when the daemon goes away. */
#include <math.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "reference_signal.h"

struct player {
  struct pw_main_loop *loop;
  struct pw_context *context;
  struct pw_core *core;
  struct spa_hook core_listener;
  struct pw_stream *stream;
  struct spa_hook stream_listener;
  struct spa_source *timer;
  double freq;
  double seconds;
  double gap;
  int repeats_left;
  uint64_t frame;
  int failed;
};

static void on_process(void *data) {
  struct player *p = data;
  struct pw_buffer *b = pw_stream_dequeue_buffer(p->stream);
  if (b == NULL) return;
  struct spa_data *d = &b->buffer->datas[0];
  float *out = d->data;
  if (out == NULL) return;
  uint32_t frames = d->maxsize / (2 * sizeof(float));
  if (b->requested != 0 && b->requested < frames) frames = (uint32_t)b->requested;
  for (uint32_t i = 0; i < frames; ++i, ++p->frame) {
    float v = p->freq > 0.0 ? (float)(0.5 * sin(2.0 * M_PI * p->freq * (double)p->frame / 48000.0))
                            : dovrin_pw_reference(p->frame);
    out[2 * i] = v;
    out[2 * i + 1] = v;
  }
  d->chunk->offset = 0;
  d->chunk->stride = 2 * sizeof(float);
  d->chunk->size = frames * 2 * sizeof(float);
  pw_stream_queue_buffer(p->stream, b);
}

static const struct pw_stream_events stream_events = {
    PW_VERSION_STREAM_EVENTS,
    .process = on_process,
};

static void open_stream(struct player *p) {
  struct pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                  PW_KEY_MEDIA_ROLE, "Music", NULL);
  /* A name of its own, so that tools can pick this player's stream: dovrin-tone.<pid>. */
  pw_properties_setf(props, PW_KEY_NODE_NAME, "dovrin-tone.%d", (int)getpid());
  p->stream = pw_stream_new(p->core, "dovrin tone", props);
  p->frame = 0;
  pw_stream_add_listener(p->stream, &p->stream_listener, &stream_events, p);
  uint8_t buffer[1024];
  struct spa_pod_builder builder;
  spa_pod_builder_init(&builder, buffer, sizeof buffer);
  struct spa_audio_info_raw info;
  memset(&info, 0, sizeof info);
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = 48000;
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const struct spa_pod *params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  pw_stream_connect(p->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS, params, 1);
}

static void arm(struct player *p, double seconds) {
  struct timespec value;
  value.tv_sec = (time_t)seconds;
  value.tv_nsec = (long)((seconds - (double)value.tv_sec) * 1e9);
  if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1;
  pw_loop_update_timer(pw_main_loop_get_loop(p->loop), p->timer, &value, NULL, false);
}

/* Ends the current stream, or opens the next one after the gap. */
static void on_timer(void *data, uint64_t expirations) {
  struct player *p = data;
  (void)expirations;
  if (p->stream != NULL) {
    pw_stream_destroy(p->stream);
    p->stream = NULL;
    if (--p->repeats_left <= 0) {
      pw_main_loop_quit(p->loop);
      return;
    }
    arm(p, p->gap);
    return;
  }
  open_stream(p);
  arm(p, p->seconds);
}

static void on_core_error(void *data, uint32_t id, int seq, int res, const char *message) {
  struct player *p = data;
  (void)seq;
  (void)message;
  if (id == PW_ID_CORE && res == -EPIPE) {
    p->failed = 1;
    pw_main_loop_quit(p->loop);
  }
}

static const struct pw_core_events core_events = {
    PW_VERSION_CORE_EVENTS,
    .error = on_core_error,
};

static void on_signal(void *data, int signal_number) {
  struct player *p = data;
  (void)signal_number;
  pw_main_loop_quit(p->loop);
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s FREQ SECONDS [REPEATS [GAP_SECONDS]]\n", argv[0]);
    return 2;
  }
  struct player p;
  memset(&p, 0, sizeof p);
  p.freq = atof(argv[1]);
  p.seconds = atof(argv[2]);
  p.repeats_left = argc > 3 ? atoi(argv[3]) : 1;
  p.gap = argc > 4 ? atof(argv[4]) : 0.0;
  if (p.repeats_left < 1) p.repeats_left = 1;

  pw_init(&argc, &argv);
  p.loop = pw_main_loop_new(NULL);
  struct pw_loop *loop = pw_main_loop_get_loop(p.loop);
  pw_loop_add_signal(loop, SIGINT, on_signal, &p);
  pw_loop_add_signal(loop, SIGTERM, on_signal, &p);
  p.context = pw_context_new(loop, pw_properties_new(PW_KEY_APP_NAME, "dovrin-tone", NULL), 0);
  p.core = pw_context_connect(p.context, NULL, 0);
  if (p.core == NULL) {
    fprintf(stderr, "tone: no PipeWire daemon\n");
    return 1;
  }
  pw_core_add_listener(p.core, &p.core_listener, &core_events, &p);
  p.timer = pw_loop_add_timer(loop, on_timer, &p);
  open_stream(&p);
  arm(&p, p.seconds);
  pw_main_loop_run(p.loop);

  if (p.stream != NULL) pw_stream_destroy(p.stream);
  pw_core_disconnect(p.core);
  pw_context_destroy(p.context);
  pw_main_loop_destroy(p.loop);
  pw_deinit();
  return p.failed;
}
