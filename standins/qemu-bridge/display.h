/* The display the bridge draws itself in place of QEMU for Windows' own
 * windows: the guest screen (read from QEMU's VNC server on a Unix socket) in
 * a Win32 window that lives inside the console's host window and speaks the
 * embed messages, or in a top-level window of its own. */
#pragma once

#include <sys/types.h>

/* Starts the display thread. parent: the host window handle (0: a top-level
 * window); vnc_path: QEMU's VNC socket; qemu: the Linux QEMU process, asked to
 * quit when the user closes a top-level display; gone: set once QEMU ended. */
void display_start(unsigned long long parent, const char* vnc_path, pid_t qemu, volatile LONG* gone);
