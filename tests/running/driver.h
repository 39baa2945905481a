// Driving the console's real main window in a test: the window with the
// program's own window procedure, frames and ticks as the main loop runs
// them, clicks posted as mouse messages.
#pragma once

#include <functional>
#include <string>

#include "app/app.h"

extern HWND g_win;

// The main window (1400 x 860 pixels), the console and the fleet on it, and
// settings pointing at the bridge's QEMU folder and fresh machine folders.
void open_console(bool shown, const char* tag);
// Frames at about 30 per second with the fleet's and the console's ticks
// every 0.5 s, until done() or the time is up (true when done, or when no
// done() was given).
bool run_for(double seconds, const std::function<bool()>& done = nullptr);
// A click in the middle of the widget, then the pointer moved away so that
// the widget rests again.
void click(u32 id);
