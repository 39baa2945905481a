/* Rewriting an ffmpeg command line made for a Windows host with an NVIDIA
 * card into one Debian's ffmpeg runs here. Plain C with no Wine dependency:
 * the path mapping is handed in. */
#pragma once

#include "../qemu-bridge/args.h"

/* The command line names the h264_nvenc encoder for video. */
int ff_uses_nvenc(int argc, char** argv);

/* A new argument vector (malloc'd strings, NULL-terminated). When the command
 * line asks for h264_nvenc, that encoder becomes libx264 and its options their
 * nearest software equivalents (-preset pN a software preset, -cq N -crf N;
 * -rc, -tune, "-b:v 0" and other hardware-only options dropped); every other
 * option is kept as it stands. Arguments that are Windows paths are mapped. */
char** ff_translate(int argc, char** argv, path_mapper map);
