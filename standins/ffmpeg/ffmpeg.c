/* The ffmpeg stand-in: a Windows program (built as a Winelib executable) that
 * takes the place of a Windows ffmpeg.exe. To the program that starts it, it
 * is an ordinary process with a handle, an exit code and its standard handles;
 * underneath it runs Debian's ffmpeg with the same arguments, except that the
 * NVIDIA encoder this host lacks becomes libx264 (see ffargs.c) and Windows
 * paths become Linux paths. Standard input is copied to ffmpeg (raw frames
 * arrive there), its output and errors go back to the handles it was given.
 *
 * Windows environment:
 *   VUNK_BRIDGE_BIN     Linux folder to take ffmpeg from (default: PATH)
 *   VUNK_BRIDGE_DRYRUN  when set, print the Linux command, one argument a
 *                       line, and exit 0 without running it
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "ffargs.h"
#include "../qemu-bridge/winside.h"

char* CDECL wine_get_unix_file_name(LPCWSTR dos);

/* Wine names files through the prefix's drive links; ffmpeg gets the Linux
 * path. Output files do not exist yet, so only their folder is resolved. */
static char* map_path(const char* win) {
  WCHAR* w = wide_of(win);
  char* u = wine_get_unix_file_name(w);
  free(w);
  if (!u) return NULL;
  char* r = realpath(u, NULL);
  if (!r) {
    char* slash = strrchr(u, '/');
    if (slash && slash != u) {
      *slash = 0;
      char* dir = realpath(u, NULL);
      *slash = '/';
      if (dir) {
        size_t n = strlen(dir) + strlen(slash) + 1;
        r = malloc(n);
        snprintf(r, n, "%s%s", dir, slash);
        free(dir);
      }
    }
  }
  if (!r) r = strdup(u);
  HeapFree(GetProcessHeap(), 0, u);
  return r;
}

/* ---- relays --------------------------------------------------------------- */

/* The Windows standard input to ffmpeg. It ends when the writer closes its
 * end, or when ffmpeg stops reading (then the writer's next write fails,
 * because this process stops reading too and closes the handle). */
static DWORD WINAPI relay_in(void* arg) {
  Relay* r = arg;
  enum { kChunk = 1 << 20 };
  /* Wine refuses to read into memory it did not allocate itself (the C
   * library's large blocks are mapped behind its back). */
  char* buf = HeapAlloc(GetProcessHeap(), 0, kChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(r->to, buf, kChunk, &got, NULL) || got == 0) break;
    const char* p = buf;
    size_t left = got;
    while (left > 0) {
      ssize_t n = write(r->fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) goto done;
      p += n;
      left -= (size_t)n;
    }
  }
done:
  HeapFree(GetProcessHeap(), 0, buf);
  close(r->fd);
  CloseHandle(r->to);
  return 0;
}

int wmain(int argc, WCHAR** wargv) {
  char** argv = calloc((size_t)argc + 1, sizeof(char*));
  for (int i = 0; i < argc; ++i) argv[i] = utf8_of(wargv[i]);

  char* prog = find_program("ffmpeg");
  if (!prog) {
    say_err("ffmpeg stand-in: Debian's ffmpeg was not found\n");
    return 127;
  }
  char** targs = ff_translate(argc - 1, argv + 1, map_path);
  int nargs = 0;
  while (targs[nargs]) ++nargs;
  char** cargv = calloc((size_t)nargs + 2, sizeof(char*));
  cargv[0] = prog;
  for (int i = 0; i < nargs; ++i) cargv[i + 1] = targs[i];

  if (env_a("VUNK_BRIDGE_DRYRUN")) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (int i = 0; cargv[i]; ++i) {
      write_handle(out, cargv[i], strlen(cargv[i]));
      write_handle(out, "\n", 1);
    }
    return 0;
  }

  char* cwd = NULL;
  WCHAR wcwd[1024];
  DWORD cn = GetCurrentDirectoryW(1024, wcwd);
  if (cn > 0 && cn < 1024) {
    char* c8 = utf8_of(wcwd);
    cwd = map_path(c8);
    free(c8);
  }

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
    say_err("ffmpeg stand-in: cannot create pipes\n");
    return 1;
  }
  /* A frame is 8 MB; a deep pipe lets the copy and the encoder overlap. */
  fcntl(in_pipe[1], F_SETPIPE_SZ, 1 << 20);
  signal(SIGPIPE, SIG_IGN);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    say_err("ffmpeg stand-in: fork failed\n");
    return 1;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd = 3; fd < 65536; ++fd) close(fd);
    if (cwd) (void)!chdir(cwd);
    signal(SIGPIPE, SIG_DFL);
    execv(prog, cargv);
    const char* m = "ffmpeg stand-in: cannot run ffmpeg\n";
    (void)!write(2, m, strlen(m));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  HANDLE in = INVALID_HANDLE_VALUE;
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE), GetCurrentProcess(), &in, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  Relay ri = {in_pipe[1], in};
  Relay ro = {out_pipe[0], GetStdHandle(STD_OUTPUT_HANDLE)};
  Relay re = {err_pipe[0], GetStdHandle(STD_ERROR_HANDLE)};
  HANDLE th[2];
  if (in != INVALID_HANDLE_VALUE && in) CreateThread(NULL, 0, relay_in, &ri, 0, NULL);
  else close(in_pipe[1]);
  th[0] = CreateThread(NULL, 0, relay_main, &ro, 0, NULL);
  th[1] = CreateThread(NULL, 0, relay_main, &re, 0, NULL);

  int status = 0, got;
  while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  WaitForMultipleObjects(2, th, TRUE, 5000);
  int code = 1;
  if (got >= 0 && WIFEXITED(status)) code = WEXITSTATUS(status);
  else if (got >= 0 && WIFSIGNALED(status)) code = 128 + WTERMSIG(status);
  /* The input relay may still sit in a read; the process ends regardless,
   * which also closes the handle so the writer sees a broken pipe. */
  ExitProcess((UINT)code);
  return code;
}
