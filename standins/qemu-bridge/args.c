/* See args.h. */
#include "args.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int is_win_path(const char* s) {
  return s && isalpha((unsigned char)s[0]) && s[1] == ':' && (s[2] == '\\' || s[2] == '/');
}

/* ---- growable text ------------------------------------------------------- */

typedef struct {
  char* p;
  size_t n, cap;
} Buf;

static void put(Buf* b, const char* s, size_t n) {
  if (b->n + n + 1 > b->cap) {
    b->cap = (b->n + n + 1) * 2;
    b->p = realloc(b->p, b->cap);
  }
  memcpy(b->p + b->n, s, n);
  b->n += n;
  b->p[b->n] = 0;
}
static void puts_(Buf* b, const char* s) { put(b, s, strlen(s)); }
static char* take(Buf* b) {
  if (!b->p) return strdup("");
  return b->p;
}

/* ---- option lists -------------------------------------------------------- */

/* Splits "a=1,b=x,,y" into items ("a=1", "b=x,y"): a doubled comma is a comma
 * of the value. */
static char** split_opts(const char* s, int* count) {
  char** items = NULL;
  int n = 0;
  Buf cur = {0};
  for (const char* c = s;; ++c) {
    if (*c == ',' && c[1] == ',') {
      put(&cur, ",", 1);
      ++c;
      continue;
    }
    if (*c == ',' || *c == 0) {
      items = realloc(items, sizeof(char*) * (n + 1));
      items[n++] = take(&cur);
      cur.p = NULL;
      cur.n = cur.cap = 0;
      if (*c == 0) break;
      continue;
    }
    put(&cur, c, 1);
  }
  *count = n;
  return items;
}

static void put_escaped(Buf* b, const char* s) {
  for (; *s; ++s) {
    put(b, s, 1);
    if (*s == ',') put(b, ",", 1);
  }
}

static char* map_or_copy(path_mapper map, const char* p) {
  char* m = map ? map(p) : NULL;
  return m ? m : strdup(p);
}

/* Rewrites one option list. drop_key (or NULL) names items to leave out;
 * first_from/first_to replace a leading bare item (the backend of -audiodev). */
static char* rewrite_opts(const char* s, path_mapper map, const char* drop_key,
                          const char* first_from, const char* first_to) {
  int n = 0;
  char** items = split_opts(s, &n);
  Buf out = {0};
  int written = 0;
  for (int i = 0; i < n; ++i) {
    char* item = items[i];
    char* eq = strchr(item, '=');
    if (drop_key && eq && (size_t)(eq - item) == strlen(drop_key) &&
        strncmp(item, drop_key, eq - item) == 0) {
      free(item);
      continue;
    }
    if (written++) put(&out, ",", 1);
    if (i == 0 && !eq && first_from && strcmp(item, first_from) == 0) {
      puts_(&out, first_to);
    } else if (eq && is_win_path(eq + 1)) {
      put_escaped(&out, (*eq = 0, item));
      put(&out, "=", 1);
      char* m = map_or_copy(map, eq + 1);
      put_escaped(&out, m);
      free(m);
    } else if (!eq && is_win_path(item)) {
      char* m = map_or_copy(map, item);
      put_escaped(&out, m);
      free(m);
    } else {
      if (eq) *eq = '=';
      put_escaped(&out, item);
    }
    free(item);
  }
  free(items);
  return take(&out);
}

static int is_opt(const char* a, const char* name) {
  /* QEMU takes "-opt" and "--opt" alike. */
  if (a[0] != '-') return 0;
  if (a[1] == '-') ++a;
  return strcmp(a + 1, name) == 0;
}

/* "tcp:127.0.0.1:4600,server=on,wait=off": the port and where it sits. */
static int qmp_tcp_port(const char* v, size_t* start, size_t* len) {
  if (strncmp(v, "tcp:", 4) != 0) return 0;
  const char* end = strchr(v, ',');
  if (!end) end = v + strlen(v);
  const char* colon = NULL;
  for (const char* c = v + 4; c < end; ++c)
    if (*c == ':') colon = c;
  if (!colon || colon + 1 >= end) return 0;
  int port = 0;
  for (const char* c = colon + 1; c < end; ++c) {
    if (!isdigit((unsigned char)*c)) return 0;
    port = port * 10 + (*c - '0');
  }
  *start = (size_t)(colon + 1 - v);
  *len = (size_t)(end - colon - 1);
  return port;
}

char** translate_args(int argc, char** argv, path_mapper map, int qmp_inner_port,
                      int* qmp_port_out) {
  char** out = calloc((size_t)argc + 1, sizeof(char*));
  *qmp_port_out = 0;
  int riscv = 0;
  for (int i = 1; i < argc; ++i)
    if (is_opt(argv[i - 1], "cpu") && strncmp(argv[i], "rv", 2) == 0) riscv = 1;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    const char* prev = i > 0 ? argv[i - 1] : "";
    if (riscv && is_opt(prev, "device") && strcmp(a, "ramfb") == 0) {
      /* This QEMU's RISC-V board makes its fw_cfg only after the devices, so
       * ramfb is refused there; a plain linear frame buffer takes its place. */
      out[i] = strdup("bochs-display");
    } else if (is_opt(prev, "audiodev")) {
      /* Windows builds only: the DirectSound backend. */
      out[i] = rewrite_opts(a, map, NULL, "dsound", "none");
    } else if ((is_opt(prev, "M") || is_opt(prev, "machine")) && strncmp(a, "q800", 4) == 0 &&
               (a[4] == 0 || a[4] == ',')) {
      /* The Quadra's audiodev property is newer than the QEMU here. */
      out[i] = rewrite_opts(a, map, "audiodev", NULL, NULL);
    } else if (is_opt(prev, "qmp")) {
      size_t at = 0, len = 0;
      int port = qmp_tcp_port(a, &at, &len);
      if (port && qmp_inner_port) {
        *qmp_port_out = port;
        Buf b = {0};
        put(&b, a, at);
        char num[16];
        snprintf(num, sizeof num, "%d", qmp_inner_port);
        puts_(&b, num);
        puts_(&b, a + at + len);
        out[i] = take(&b);
      } else {
        if (port) *qmp_port_out = port;
        out[i] = strdup(a);
      }
    } else if (is_win_path(a)) {
      /* A whole argument that is a path (-bios, qemu-img file names) keeps
       * its commas as they are. */
      out[i] = map_or_copy(map, a);
    } else if (a[0] != '-' && strchr(a, '=')) {
      out[i] = rewrite_opts(a, map, NULL, NULL, NULL);
    } else {
      out[i] = strdup(a);
    }
  }
  return out;
}

/* ---- QMP ---------------------------------------------------------------- */

/* Reads the JSON string starting at s (on the opening quote) into dst;
 * returns the position after the closing quote or NULL. */
static const char* json_string(const char* s, const char* end, Buf* dst) {
  if (s >= end || *s != '"') return NULL;
  for (++s; s < end; ++s) {
    if (*s == '"') return s + 1;
    if (*s != '\\') {
      put(dst, s, 1);
      continue;
    }
    if (++s >= end) return NULL;
    char c = *s;
    switch (c) {
      case 'n': put(dst, "\n", 1); break;
      case 't': put(dst, "\t", 1); break;
      case 'r': put(dst, "\r", 1); break;
      case 'b': put(dst, "\b", 1); break;
      case 'f': put(dst, "\f", 1); break;
      case 'u': {
        if (end - s < 5) return NULL;
        unsigned cp = (unsigned)strtoul((char[]){s[1], s[2], s[3], s[4], 0}, NULL, 16);
        s += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && end - s >= 7 && s[1] == '\\' && s[2] == 'u') {
          unsigned lo = (unsigned)strtoul((char[]){s[3], s[4], s[5], s[6], 0}, NULL, 16);
          if (lo >= 0xDC00 && lo < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            s += 6;
          }
        }
        char u[4];
        int n;
        if (cp < 0x80) u[0] = (char)cp, n = 1;
        else if (cp < 0x800) u[0] = (char)(0xC0 | cp >> 6), u[1] = (char)(0x80 | (cp & 63)), n = 2;
        else if (cp < 0x10000)
          u[0] = (char)(0xE0 | cp >> 12), u[1] = (char)(0x80 | ((cp >> 6) & 63)),
          u[2] = (char)(0x80 | (cp & 63)), n = 3;
        else
          u[0] = (char)(0xF0 | cp >> 18), u[1] = (char)(0x80 | ((cp >> 12) & 63)),
          u[2] = (char)(0x80 | ((cp >> 6) & 63)), u[3] = (char)(0x80 | (cp & 63)), n = 4;
        put(dst, u, (size_t)n);
        break;
      }
      default: put(dst, &c, 1); break;  /* \" \\ \/ */
    }
  }
  return NULL;
}

static void json_quote(Buf* b, const char* s) {
  put(b, "\"", 1);
  for (; *s; ++s) {
    unsigned char c = (unsigned char)*s;
    if (c == '"' || c == '\\') {
      put(b, "\\", 1);
      put(b, s, 1);
    } else if (c < 0x20) {
      char e[8];
      snprintf(e, sizeof e, "\\u%04x", c);
      puts_(b, e);
    } else {
      put(b, s, 1);
    }
  }
  put(b, "\"", 1);
}

static const char* find_in(const char* s, size_t len, const char* what) {
  size_t w = strlen(what);
  for (size_t i = 0; i + w <= len; ++i)
    if (memcmp(s + i, what, w) == 0) return s + i;
  return NULL;
}

char* rewrite_qmp_line(const char* line, size_t len, path_mapper map, size_t* out_len) {
  const char* end = line + len;
  if (!find_in(line, len, "screendump")) return NULL;
  const char* key = find_in(line, len, "\"filename\"");
  if (!key) return NULL;
  const char* v = key + 10;
  while (v < end && (*v == ' ' || *v == '\t')) ++v;
  if (v >= end || *v != ':') return NULL;
  ++v;
  while (v < end && (*v == ' ' || *v == '\t')) ++v;
  Buf name = {0};
  const char* after = json_string(v, end, &name);
  if (!after || !name.p || !is_win_path(name.p)) {
    free(name.p);
    return NULL;
  }
  char* unix_path = map ? map(name.p) : NULL;
  free(name.p);
  if (!unix_path) return NULL;
  Buf out = {0};
  put(&out, line, (size_t)(v - line));
  json_quote(&out, unix_path);
  put(&out, after, (size_t)(end - after));
  free(unix_path);
  *out_len = out.n;
  return take(&out);
}
