/* See xview.h. */
#include "xview.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdlib.h>
#include <string.h>

ViewRect view_fit(int ww, int wh, int gw, int gh) {
  ViewRect r = {0, 0, 0, 0};
  if (ww <= 0 || wh <= 0 || gw <= 0 || gh <= 0) return r;
  int s = ww / gw < wh / gh ? ww / gw : wh / gh;
  if (s >= 1) {
    r.w = gw * s;
    r.h = gh * s;
  } else if ((long long)ww * gh <= (long long)wh * gw) {
    r.w = ww;
    r.h = (int)((long long)gh * ww / gw);
  } else {
    r.h = wh;
    r.w = (int)((long long)gw * wh / gh);
  }
  if (r.w < 1) r.w = 1;
  if (r.h < 1) r.h = 1;
  r.x = (ww - r.w) / 2;
  r.y = (wh - r.h) / 2;
  return r;
}

struct XView {
  Display* dpy;
  Window win, parent;
  int x, y, w, h, shown;
  int full;  /* next draw paints everything */
  GC gc;
  XImage* img; /* the scaled picture, as large as the fitted rectangle */
  ViewRect fit;
  int gw, gh;
};

/* The view's window dies with the X window it sits in (the console closes,
 * Wine replaces a top-level window's X window), and a call on it before the
 * news arrives fails. Xlib's default answer to that is to end the process,
 * and with it the machine: errors on the view's own connection are ignored
 * instead, and the rest go to the handler that was there before. */
static Display* g_view_dpy;
static XErrorHandler g_prev_handler;

static int on_x_error(Display* d, XErrorEvent* e) {
  if (d == g_view_dpy) return 0;
  return g_prev_handler ? g_prev_handler(d, e) : 0;
}

XView* xview_open(void) {
  Display* d = XOpenDisplay(NULL);
  if (!d) return NULL;
  XView* v = calloc(1, sizeof *v);
  v->dpy = d;
  v->full = 1;
  g_view_dpy = d;
  g_prev_handler = XSetErrorHandler(on_x_error);
  return v;
}

static void forget_window(XView* v) {
  if (v->gc) XFreeGC(v->dpy, v->gc);
  v->gc = 0;
  v->win = 0;
  v->parent = 0;
  v->shown = 0;
}

void xview_park(XView* v) {
  if (!v || !v->win) return;
  XUnmapWindow(v->dpy, v->win);
  XReparentWindow(v->dpy, v->win, DefaultRootWindow(v->dpy), 0, 0);
  XSync(v->dpy, False);
  v->parent = DefaultRootWindow(v->dpy);
  v->shown = 0;
}

static void drop_image(XView* v) {
  if (v->img) XDestroyImage(v->img); /* frees the pixels too */
  v->img = NULL;
}

void xview_close(XView* v) {
  if (!v) return;
  drop_image(v);
  if (v->win) XDestroyWindow(v->dpy, v->win);
  forget_window(v);
  XCloseDisplay(v->dpy);
  free(v);
}

void xview_place(XView* v, unsigned long parent, int x, int y, int w, int h, int shown) {
  if (!v) return;
  if (w < 1) w = 1;
  if (h < 1) h = 1;
  if (!parent) shown = 0;
  if (!v->win && parent) {
    XSetWindowAttributes a;
    memset(&a, 0, sizeof a);
    a.background_pixel = BlackPixel(v->dpy, DefaultScreen(v->dpy));
    a.event_mask = ExposureMask | StructureNotifyMask;
    v->win = XCreateWindow(v->dpy, (Window)parent, x, y, (unsigned)w, (unsigned)h, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
    v->gc = XCreateGC(v->dpy, v->win, 0, NULL);
    v->parent = (Window)parent;
    v->x = x, v->y = y, v->w = w, v->h = h, v->shown = 0;
    v->full = 1;
  }
  if (!v->win) return;
  if (parent && (Window)parent != v->parent) {
    XReparentWindow(v->dpy, v->win, (Window)parent, x, y);
    v->parent = (Window)parent;
    v->x = x, v->y = y;
    v->full = 1;
  }
  if (x != v->x || y != v->y || w != v->w || h != v->h) {
    XMoveResizeWindow(v->dpy, v->win, x, y, (unsigned)w, (unsigned)h);
    if (w != v->w || h != v->h) v->full = 1;
    v->x = x, v->y = y, v->w = w, v->h = h;
  }
  if (shown != v->shown) {
    if (shown) XMapRaised(v->dpy, v->win);
    else XUnmapWindow(v->dpy, v->win);
    v->shown = shown;
    v->full = 1;
  }
  XFlush(v->dpy);
}

int xview_origin(XView* v, unsigned long window, int* x, int* y) {
  if (!v || !window) return 0;
  Window child;
  return XTranslateCoordinates(v->dpy, (Window)window, DefaultRootWindow(v->dpy), 0, 0, x, y, &child) != 0;
}

int xview_pump(XView* v) {
  if (!v) return 0;
  while (XPending(v->dpy)) {
    XEvent e;
    XNextEvent(v->dpy, &e);
    if (e.type == Expose) v->full = 1;
    /* Gone with its parent: made again at the next placement. */
    if (e.type == DestroyNotify && e.xdestroywindow.window == v->win) forget_window(v);
  }
  return v->full;
}

/* Scales guest columns/rows [x0,x1) x [y0,y1) into the image. */
static void scale_into(XView* v, const uint32_t* fb, int x0, int y0, int x1, int y1, int* dx0, int* dy0,
                       int* dx1, int* dy1) {
  const ViewRect f = v->fit;
  *dx0 = (int)((long long)x0 * f.w / v->gw);
  *dy0 = (int)((long long)y0 * f.h / v->gh);
  *dx1 = (int)(((long long)x1 * f.w + v->gw - 1) / v->gw);
  *dy1 = (int)(((long long)y1 * f.h + v->gh - 1) / v->gh);
  if (*dx1 > f.w) *dx1 = f.w;
  if (*dy1 > f.h) *dy1 = f.h;
  for (int dy = *dy0; dy < *dy1; ++dy) {
    const uint32_t* src = fb + (size_t)((long long)dy * v->gh / f.h) * (size_t)v->gw;
    uint32_t* dst = (uint32_t*)(v->img->data + (size_t)dy * (size_t)v->img->bytes_per_line);
    for (int dx = *dx0; dx < *dx1; ++dx) dst[dx] = src[(long long)dx * v->gw / f.w];
  }
}

void xview_draw(XView* v, const uint32_t* fb, int gw, int gh, int x0, int y0, int x1, int y1) {
  if (!v || !v->win || !v->shown || !fb || gw <= 0 || gh <= 0) return;
  ViewRect f = view_fit(v->w, v->h, gw, gh);
  if (!v->img || f.w != v->fit.w || f.h != v->fit.h || gw != v->gw || gh != v->gh) {
    drop_image(v);
    Visual* vis = DefaultVisual(v->dpy, DefaultScreen(v->dpy));
    char* px = malloc((size_t)f.w * (size_t)f.h * 4);
    v->img = XCreateImage(v->dpy, vis, (unsigned)DefaultDepth(v->dpy, DefaultScreen(v->dpy)), ZPixmap, 0, px,
                          (unsigned)f.w, (unsigned)f.h, 32, f.w * 4);
    if (!v->img) {
      free(px);
      return;
    }
    v->full = 1;
  }
  v->fit = f;
  v->gw = gw;
  v->gh = gh;
  if (v->full) {
    XClearWindow(v->dpy, v->win); /* the black border around the picture */
    x0 = 0, y0 = 0, x1 = gw, y1 = gh;
    v->full = 0;
  }
  if (x0 < 0) x0 = 0;
  if (y0 < 0) y0 = 0;
  if (x1 > gw) x1 = gw;
  if (y1 > gh) y1 = gh;
  if (x1 <= x0 || y1 <= y0) return;
  int dx0, dy0, dx1, dy1;
  scale_into(v, fb, x0, y0, x1, y1, &dx0, &dy0, &dx1, &dy1);
  if (dx1 > dx0 && dy1 > dy0)
    XPutImage(v->dpy, v->win, v->gc, v->img, dx0, dy0, f.x + dx0, f.y + dy0, (unsigned)(dx1 - dx0),
              (unsigned)(dy1 - dy0));
  XFlush(v->dpy);
}
