/* The X window that carries the guest picture. Wine draws nothing for a child
 * window whose top-level window belongs to another process, so the display
 * puts an X window of its own inside the X window of its top-level window and
 * keeps it over its Win32 client area. It selects no input: clicks and keys
 * reach Wine through the window below and come back as Win32 messages.
 * Kept apart from the Win32 code because the X and Windows headers clash. */
#pragma once

#include <stdint.h>

typedef struct XView XView;

/* Where a guest of gw x gh pixels lands in a window of ww x wh: the largest
 * whole scale that fits, centred; a window smaller than the guest shrinks it
 * with the aspect kept. */
typedef struct {
  int x, y, w, h;
} ViewRect;
ViewRect view_fit(int ww, int wh, int gw, int gh);

/* NULL when there is no X display to talk to. */
XView* xview_open(void);
void xview_close(XView* v);
/* Puts the view inside the X window `parent` (0: none yet) at x, y (the
 * client area's position inside that window), w x h, shown or hidden. Cheap
 * when nothing changed. */
void xview_place(XView* v, unsigned long parent, int x, int y, int w, int h, int shown);
/* Moves the view out of its parent, hidden, before the Win32 window changes
 * its top-level window (whose X window may then go away). */
void xview_park(XView* v);
/* The X position of an X window on the screen (root coordinates). */
int xview_origin(XView* v, unsigned long window, int* x, int* y);
/* Draws the guest rows [y0, y1) and columns [x0, x1) of a 32-bit 0x00RRGGBB
 * framebuffer of gw x gh pixels, scaled as view_fit says; everything when the
 * view asked for a full redraw (exposed, resized). */
void xview_draw(XView* v, const uint32_t* fb, int gw, int gh, int x0, int y0, int x1, int y1);
/* Handles pending X events; true when the view needs a full redraw. */
int xview_pump(XView* v);
