/* See ffargs.h. */
#include "ffargs.h"

#include <stdlib.h>
#include <string.h>

#include "../qemu-bridge/args.h"

static int is_video_codec_opt(const char* a) {
  return !strcmp(a, "-c:v") || !strcmp(a, "-codec:v") || !strcmp(a, "-vcodec") || !strcmp(a, "-c") ||
         !strcmp(a, "-codec");
}

int ff_uses_nvenc(int argc, char** argv) {
  for (int i = 0; i + 1 < argc; ++i)
    if (is_video_codec_opt(argv[i]) && !strcmp(argv[i + 1], "h264_nvenc")) return 1;
  return 0;
}

/* The hardware presets run from p1 (fastest) to p7 (best). Measured against
 * the software encoder, the hardware's best lands near "medium"; the steps
 * below it follow the software encoder's own ladder. */
static const char* preset_for(const char* p) {
  static const char* const ladder[] = {"ultrafast", "ultrafast", "superfast", "veryfast",
                                       "faster",    "fast",      "medium"};
  if (p[0] == 'p' && p[1] >= '1' && p[1] <= '7' && p[2] == 0) return ladder[p[1] - '1'];
  /* The old names: slow = hq = p7-ish, medium = p4, fast = p1. */
  if (!strcmp(p, "slow") || !strcmp(p, "hq") || !strcmp(p, "hp")) return "medium";
  if (!strcmp(p, "medium") || !strcmp(p, "default")) return "veryfast";
  if (!strcmp(p, "fast") || !strcmp(p, "ll") || !strcmp(p, "llhq") || !strcmp(p, "llhp")) return "superfast";
  return "medium";
}

/* Options of the hardware encoder that take a value and mean nothing to the
 * software one (its rate control is chosen by -crf instead). */
static int drops_with_value(const char* a) {
  static const char* const names[] = {"-rc",         "-tune",     "-spatial-aq", "-temporal-aq", "-aq-strength",
                                      "-multipass",  "-gpu",      "-b_ref_mode", "-zerolatency", "-surfaces",
                                      "-delay",      "-no-scenecut", "-cbr",     "-2pass",       "-nonref_p",
                                      "-strict_gop", "-weighted_pred", "-highbitdepth"};
  for (size_t i = 0; i < sizeof names / sizeof *names; ++i)
    if (!strcmp(a, names[i])) return 1;
  return 0;
}

char** ff_translate(int argc, char** argv, path_mapper map) {
  char** out = calloc((size_t)argc + 1, sizeof(char*));
  int n = 0;
  const int nvenc = ff_uses_nvenc(argc, argv);
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    const int has_value = i + 1 < argc;
    if (nvenc && has_value && is_video_codec_opt(a) && !strcmp(argv[i + 1], "h264_nvenc")) {
      out[n++] = strdup(a);
      out[n++] = strdup("libx264");
      ++i;
    } else if (nvenc && has_value && !strcmp(a, "-preset")) {
      out[n++] = strdup(a);
      out[n++] = strdup(preset_for(argv[i + 1]));
      ++i;
    } else if (nvenc && has_value && (!strcmp(a, "-cq") || !strcmp(a, "-cq:v"))) {
      /* Constant quality on the same 0-51 scale. */
      out[n++] = strdup("-crf");
      out[n++] = strdup(argv[i + 1]);
      ++i;
    } else if (nvenc && has_value && (!strcmp(a, "-b:v") || !strcmp(a, "-b")) && !strcmp(argv[i + 1], "0")) {
      /* "no target bitrate" is how the hardware encoder is told to go by
       * quality; the software one does that with -crf alone. */
      ++i;
    } else if (nvenc && has_value && drops_with_value(a)) {
      ++i;
    } else if (is_win_path(a)) {
      char* m = map ? map(a) : NULL;
      out[n++] = m ? m : strdup(a);
    } else {
      out[n++] = strdup(a);
    }
  }
  out[n] = NULL;
  return out;
}
