/* Helpers of the Windows side that the stand-ins share: text between UTF-8
 * and UTF-16, writing to Windows handles, the environment, and finding the
 * Linux program to run. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "winside.h"

char* utf8_of(const WCHAR* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
  char* s = malloc(n > 0 ? (size_t)n : 1);
  if (n <= 0 || !WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, NULL, NULL)) s[0] = 0;
  return s;
}

WCHAR* wide_of(const char* s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, NULL, 0);
  WCHAR* w = malloc(sizeof(WCHAR) * (n > 0 ? (size_t)n : 1));
  if (n <= 0 || !MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n)) w[0] = 0;
  return w;
}

void write_handle(HANDLE h, const char* s, size_t n) {
  while (n > 0 && h && h != INVALID_HANDLE_VALUE) {
    DWORD wrote = 0;
    if (!WriteFile(h, s, (DWORD)n, &wrote, NULL) || wrote == 0) return;
    s += wrote;
    n -= wrote;
  }
}

void say_err(const char* s) { write_handle(GetStdHandle(STD_ERROR_HANDLE), s, strlen(s)); }

char* env_a(const char* name) {
  static char buf[4096];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n > 0 && n < sizeof buf ? buf : NULL;
}

char* find_program(const char* name) {
  if (strchr(name, '/')) return access(name, X_OK) == 0 ? strdup(name) : NULL;
  const char* dirs = env_a("VUNK_BRIDGE_BIN");
  char* own = strdup(dirs ? dirs : (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
  char* found = NULL;
  for (char* d = strtok(own, ":"); d && !found; d = strtok(NULL, ":")) {
    size_t n = strlen(d) + strlen(name) + 2;
    char* p = malloc(n);
    snprintf(p, n, "%s/%s", d, name);
    struct stat st;
    if (stat(p, &st) == 0 && S_ISREG(st.st_mode) && access(p, X_OK) == 0) found = p;
    else free(p);
  }
  free(own);
  return found;
}

DWORD WINAPI relay_main(void* arg) {
  Relay* r = arg;
  char buf[8192];
  for (;;) {
    ssize_t n = read(r->fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    write_handle(r->to, buf, (size_t)n);
  }
  close(r->fd);
  return 0;
}
