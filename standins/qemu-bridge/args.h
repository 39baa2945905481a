/* Rewriting a Windows QEMU command line into one the Linux QEMU accepts.
 * Plain C with no Wine dependency: the path mapping is handed in. */
#pragma once

#include <stddef.h>

/* Maps one Windows path (UTF-8) to a Linux path; returns a malloc'd string,
 * or NULL to leave the text as it is. */
typedef char* (*path_mapper)(const char* win_path);

/* True for "X:\..." and "X:/...". */
int is_win_path(const char* s);

/* A new argument vector (malloc'd strings, NULL-terminated) for the Linux
 * program: Windows paths translated, also inside comma-separated option lists
 * (where a comma in a value is doubled); options only Windows builds or newer
 * QEMU releases know are mapped. qmp_port_out receives the port of a
 * "-qmp tcp:HOST:PORT,..." option (0 when none) and that option's port is
 * replaced by qmp_inner_port when it is not 0. */
char** translate_args(int argc, char** argv, path_mapper map, int qmp_inner_port,
                      int* qmp_port_out);

/* Rewrites a QMP command line (client to QEMU) so that a Windows "filename"
 * becomes a Linux path. Returns a malloc'd string, or NULL when unchanged. */
char* rewrite_qmp_line(const char* line, size_t len, path_mapper map, size_t* out_len);

/* Finds "-display VALUE" where VALUE asks for a window of QEMU's own ("sdl"
 * or "d3d11", with options): the display the bridge draws itself. Returns the
 * index of VALUE in argv, or -1; *parent receives the "parent=" window handle
 * (0 when there is none). */
int own_display_arg(int argc, char** argv, unsigned long long* parent);
