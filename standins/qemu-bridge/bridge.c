/* The QEMU bridge: a Windows program (built as a Winelib executable) that
 * stands in for qemu-img.exe and qemu-system-*.exe. To the program that starts
 * it, it is an ordinary Windows process with a handle, a pid, an exit code and
 * output on the standard handles it was given; underneath it runs the Linux
 * QEMU with the command line rewritten (see args.c), relays its output, proxies
 * QMP so that screendump file names become Linux paths, and takes QEMU down
 * with it when it is terminated.
 *
 * Installed under several names; the name it runs under picks the Linux
 * program ("qemu-img.exe" runs qemu-img). Under the name "linux-run.exe" the
 * first argument is the Linux program.
 *
 * Windows environment:
 *   VUNK_BRIDGE_BIN     Linux folder to take the programs from (default: PATH)
 *   VUNK_BRIDGE_DRYRUN  when set, print the Linux command, one argument a
 *                       line, and exit 0 without running it
 *
 * A "-display sdl..." or "-display d3d11...,parent=HWND" asks for QEMU's own
 * window, which Linux QEMU would open outside Wine's sight: QEMU runs without
 * one and serves its screen on a VNC socket instead, and the bridge shows it
 * in a Win32 window of its own (display.c).
 */
#define _GNU_SOURCE
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "args.h"
#include "winside.h"
#include "display.h"

char* CDECL wine_get_unix_file_name(LPCWSTR dos);

/* ---- Windows side: text, paths, output ------------------------------------ */

/* Wine's answer runs through the prefix's drive links ("dosdevices/c:/...");
 * QEMU gets the plain Linux path when the file or its folder exists. */
static char* linux_canonical(const char* p) {
  char* r = realpath(p, NULL);
  if (r) return r;
  const char* slash = strrchr(p, '/');
  if (slash && slash != p) {
    char* dir = strndup(p, (size_t)(slash - p));
    char* rd = realpath(dir, NULL);
    free(dir);
    if (rd) {
      size_t n = strlen(rd) + strlen(slash) + 1;
      char* out = malloc(n);
      snprintf(out, n, "%s%s", rd, slash);
      free(rd);
      return out;
    }
  }
  return strdup(p);
}

static char* map_path(const char* win) {
  WCHAR* w = wide_of(win);
  char* u = wine_get_unix_file_name(w);
  free(w);
  if (u) {
    char* r = linux_canonical(u);
    HeapFree(GetProcessHeap(), 0, u);
    return r;
  }
  /* Folders that do not exist yet: the Z: drive is the Linux root. */
  if ((win[0] == 'Z' || win[0] == 'z') && win[1] == ':') {
    char* r = strdup(win + 2);
    for (char* c = r; *c; ++c)
      if (*c == '\\') *c = '/';
    return r;
  }
  return NULL;
}

/* ---- QMP proxy --------------------------------------------------------------
 * The program connects to the port it asked for; the bridge listens there and
 * opens one connection to QEMU's real port per client, so QEMU still sees one
 * client at a time exactly as it would.
 *
 * The program times QEMU through its process handle, which here is the
 * bridge's: Wine answers such a query with the asking process's own times,
 * and the Linux QEMU is a process Windows cannot see. So once a client has
 * had its first answer the bridge tells it, every second, between QEMU's own
 * messages, the CPU time QEMU has used (all its threads, user and system, as
 * Linux counts it) and when it was read, in an event of its own,
 * X_PROCESS_CPU, which a client that does not know it passes over as it
 * does any event. */

typedef struct {
  int cfd, qfd;
  double give_up;
  char* in;  /* client bytes not yet forwarded (an unfinished line) */
  size_t in_n;
  int answered;       /* QEMU has answered this client once: events may follow */
  int at_line_start;  /* what went to the client ended with a whole line */
  double next_cpu;    /* when to send the next X_PROCESS_CPU */
} Session;

static int g_listen = -1, g_inner_port = 0;
static volatile LONG g_child_gone = 0;
static pid_t g_child = 0;

/* CPU seconds a Linux process has used so far, -1 when it cannot be read. */
static double process_cpu_seconds(pid_t pid) {
  char path[64], buf[1024];
  snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return -1;
  buf[n] = 0;
  /* The command name may hold blanks and parentheses: count from the last ')'. */
  char* p = strrchr(buf, ')');
  unsigned long long utime = 0, stime = 0;
  if (!p || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return -1;
  long hz = sysconf(_SC_CLK_TCK);
  return hz > 0 ? (double)(utime + stime) / (double)hz : -1;
}


static double mono(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int send_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd w = {fd, POLLOUT, 0};
      poll(&w, 1, 1000);
      continue;
    }
    if (k <= 0) return 0;
    p += k;
    n -= (size_t)k;
  }
  return 1;
}

static void send_cpu_event(Session* s) {
  double cpu = g_child ? process_cpu_seconds(g_child) : -1;
  if (cpu < 0) return;
  /* "clock": when it was read, in seconds of a clock that only moves on, so
   * the client's rate does not depend on when the event reaches it. */
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  char line[320];
  int n = snprintf(line, sizeof line,
                   "{\"event\": \"X_PROCESS_CPU\", \"data\": {\"seconds\": %.3f, \"clock\": %.4f}, "
                   "\"timestamp\": {\"seconds\": %lld, \"microseconds\": %ld}}\r\n",
                   cpu, mono(), (long long)t.tv_sec, (long)(t.tv_nsec / 1000));
  if (n > 0 && n < (int)sizeof line) send_all(s->cfd, line, (size_t)n);
}

static int try_connect_inner(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)g_inner_port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&a, sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

static int forward_lines(Session* s) {
  /* Only whole lines are inspected; the program ends every command in CR LF. */
  size_t start = 0;
  for (size_t i = 0; i < s->in_n; ++i) {
    if (s->in[i] != '\n') continue;
    size_t len = i + 1 - start, out_n = 0;
    char* re = rewrite_qmp_line(s->in + start, len, map_path, &out_n);
    int ok = re ? send_all(s->qfd, re, out_n) : send_all(s->qfd, s->in + start, len);
    free(re);
    if (!ok) return 0;
    start = i + 1;
  }
  /* A runaway line without an end is passed on as it is. */
  if (s->in_n - start > (1u << 20)) {
    if (!send_all(s->qfd, s->in + start, s->in_n - start)) return 0;
    start = s->in_n;
  }
  memmove(s->in, s->in + start, s->in_n - start);
  s->in_n -= start;
  return 1;
}

static void end_session(Session* s) {
  if (s->cfd >= 0) close(s->cfd);
  if (s->qfd >= 0) close(s->qfd);
  free(s->in);
  s->cfd = s->qfd = -1;
  s->in = NULL;
  s->in_n = 0;
}

static DWORD WINAPI proxy_main(void* arg) {
  (void)arg;
  enum { kMax = 16 };
  Session ss[kMax];
  for (int i = 0; i < kMax; ++i) ss[i] = (Session){-1, -1, 0, NULL, 0, 0, 1, 0};
  char buf[16384];
  for (;;) {
    struct pollfd p[1 + 2 * kMax];
    int who[1 + 2 * kMax];
    int n = 0;
    p[n] = (struct pollfd){g_listen, POLLIN, 0};
    who[n++] = -1;
    double now = mono();
    for (int i = 0; i < kMax; ++i) {
      Session* s = &ss[i];
      if (s->cfd < 0) continue;
      if (s->qfd < 0) {
        s->qfd = try_connect_inner();
        if (s->qfd < 0 && (now > s->give_up || g_child_gone)) {
          end_session(s);
          continue;
        }
        if (s->qfd >= 0 && !forward_lines(s)) {
          end_session(s);
          continue;
        }
      }
      if (s->qfd >= 0) {
        p[n] = (struct pollfd){s->cfd, POLLIN, 0};
        who[n++] = i * 2;
        p[n] = (struct pollfd){s->qfd, POLLIN, 0};
        who[n++] = i * 2 + 1;
      } else {
        /* Keep taking the client's commands while QEMU comes up. */
        p[n] = (struct pollfd){s->cfd, POLLIN, 0};
        who[n++] = i * 2;
      }
    }
    int r = poll(p, (nfds_t)n, 50);
    if (r < 0 && errno != EINTR) break;
    now = mono();
    for (int i = 0; i < kMax; ++i) {
      Session* s = &ss[i];
      if (s->cfd < 0 || s->qfd < 0 || !s->answered || !s->at_line_start || now < s->next_cpu) continue;
      s->next_cpu = now + 1.0;
      send_cpu_event(s);
    }
    if (r <= 0) continue;
    for (int k = 0; k < n; ++k) {
      if (!p[k].revents) continue;
      if (who[k] == -1) {
        int c = accept4(g_listen, NULL, NULL, SOCK_CLOEXEC);
        if (c < 0) continue;
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int slot = -1;
        for (int i = 0; i < kMax && slot < 0; ++i)
          if (ss[i].cfd < 0) slot = i;
        if (slot < 0) {
          close(c);
          continue;
        }
        ss[slot] = (Session){c, -1, mono() + 15.0, NULL, 0, 0, 1, 0};
        continue;
      }
      Session* s = &ss[who[k] / 2];
      if (s->cfd < 0) continue;
      int from_client = (who[k] % 2) == 0;
      int fd = from_client ? s->cfd : s->qfd;
      if (fd < 0) continue;
      ssize_t got = recv(fd, buf, sizeof buf, 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        end_session(s);
        continue;
      }
      if (from_client) {
        s->in = realloc(s->in, s->in_n + (size_t)got);
        memcpy(s->in + s->in_n, buf, (size_t)got);
        s->in_n += (size_t)got;
        if (s->qfd >= 0 && !forward_lines(s)) end_session(s);
      } else if (!send_all(s->cfd, buf, (size_t)got)) {
        end_session(s);
      } else {
        s->at_line_start = buf[got - 1] == '\n';
        if (!s->answered && memmem(buf, (size_t)got, "\"return\"", 8)) s->answered = 1;
      }
    }
  }
  return 0;
}

static int free_loopback_port(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, (struct sockaddr*)&a, sizeof a) == 0 &&
      getsockname(fd, (struct sockaddr*)&a, &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

static int listen_on(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, (struct sockaddr*)&a, sizeof a) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/* ---- main ------------------------------------------------------------------- */

static int has_tcp_qmp(int argc, char** argv) {
  for (int i = 0; i + 1 < argc; ++i)
    if ((!strcmp(argv[i], "-qmp") || !strcmp(argv[i], "--qmp")) &&
        !strncmp(argv[i + 1], "tcp:", 4))
      return 1;
  return 0;
}

int wmain(int argc, WCHAR** wargv) {
  char** argv = calloc((size_t)argc + 1, sizeof(char*));
  for (int i = 0; i < argc; ++i) argv[i] = utf8_of(wargv[i]);

  /* The name this copy runs under picks the Linux program. */
  WCHAR wself[1024];
  DWORD wn = GetModuleFileNameW(NULL, wself, 1024);
  wself[wn < 1024 ? wn : 1023] = 0;
  char* self = utf8_of(wself);
  char* leaf = self;
  for (char* c = self; *c; ++c)
    if (*c == '\\' || *c == '/') leaf = c + 1;
  for (char* c = leaf; *c; ++c) *c = (char)tolower((unsigned char)*c);
  size_t ln = strlen(leaf);
  if (ln > 4 && !strcmp(leaf + ln - 4, ".exe")) leaf[ln - 4] = 0;

  const char* want = leaf;
  int first = 1;
  if (!strcmp(leaf, "linux-run")) {
    if (argc < 2) {
      say_err("linux-run: usage: linux-run.exe PROGRAM [ARGUMENTS...]\n");
      return 2;
    }
    want = argv[1];
    first = 2;
  }
  char* prog = find_program(want);
  if (!prog) {
    char msg[600];
    snprintf(msg, sizeof msg,
             "qemu bridge: the Linux program \"%s\" was not found (looked in %s)\n", want,
             env_a("VUNK_BRIDGE_BIN") ? "VUNK_BRIDGE_BIN" : "PATH");
    say_err(msg);
    return 127;
  }

  int nargs = argc - first;
  int inner = has_tcp_qmp(nargs, argv + first) ? free_loopback_port() : 0;
  int outer = 0;
  char** targs = translate_args(nargs, argv + first, map_path, inner, &outer);
  char** cargv = calloc((size_t)nargs + 4, sizeof(char*));
  cargv[0] = prog;
  for (int i = 0; i < nargs; ++i) cargv[i + 1] = targs[i];
  unsigned long long host = 0;
  int shown = own_display_arg(nargs, targs, &host);
  char vnc_dir[64] = "", vnc_path[108] = "", vnc_arg[120] = "";
  if (shown >= 0) {
    snprintf(vnc_dir, sizeof vnc_dir, "/tmp/qemu-bridge-%d-XXXXXX", (int)getpid());
    if (env_a("VUNK_BRIDGE_DRYRUN")) snprintf(vnc_dir, sizeof vnc_dir, "/tmp/qemu-bridge-DIR");
    else if (!mkdtemp(vnc_dir)) {
      say_err("qemu bridge: cannot make a folder for the display socket\n");
      return 1;
    }
    snprintf(vnc_path, sizeof vnc_path, "%s/vnc", vnc_dir);
    snprintf(vnc_arg, sizeof vnc_arg, "unix:%s", vnc_path);
    cargv[shown + 1] = "none";
    cargv[nargs + 1] = "-vnc";
    cargv[nargs + 2] = vnc_arg;
  }

  if (env_a("VUNK_BRIDGE_DRYRUN")) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (int i = 0; cargv[i]; ++i) {
      write_handle(out, cargv[i], strlen(cargv[i]));
      write_handle(out, "\n", 1);
    }
    if (outer) {
      char line[64];
      snprintf(line, sizeof line, "# qmp proxy %d -> %d\n", outer, inner);
      write_handle(out, line, strlen(line));
    }
    return 0;
  }

  if (outer && inner) {
    g_listen = listen_on(outer);
    if (g_listen < 0) {
      /* Without the proxy QEMU takes the asked-for port itself. */
      char msg[160];
      snprintf(msg, sizeof msg, "qemu bridge: cannot listen on QMP port %d; no proxy\n", outer);
      say_err(msg);
      int dummy = 0;
      targs = translate_args(nargs, argv + first, map_path, 0, &dummy);
      for (int i = 0; i < nargs; ++i) cargv[i + 1] = i == shown ? "none" : targs[i];
    } else {
      g_inner_port = inner;
    }
  }

  char* cwd = NULL;
  WCHAR wcwd[1024];
  DWORD cn = GetCurrentDirectoryW(1024, wcwd);
  if (cn > 0 && cn < 1024) {
    char* c8 = utf8_of(wcwd);
    cwd = map_path(c8);
    free(c8);
  }

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
    say_err("qemu bridge: cannot create pipes\n");
    return 1;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    say_err("qemu bridge: fork failed\n");
    return 1;
  }
  if (pid == 0) {
    /* QEMU must not outlive the bridge: it is killed when this thread dies,
     * which is when the bridge ends or is terminated. */
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    /* Wine's own descriptors stay with the bridge. */
    for (int fd = 3; fd < 65536; ++fd) close(fd);
    if (cwd) (void)!chdir(cwd);
    signal(SIGPIPE, SIG_DFL);
    execv(prog, cargv);
    const char* m = "qemu bridge: cannot run the Linux program\n";
    (void)!write(2, m, strlen(m));
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  g_child = pid;

  Relay ro = {out_pipe[0], GetStdHandle(STD_OUTPUT_HANDLE)};
  Relay re = {err_pipe[0], GetStdHandle(STD_ERROR_HANDLE)};
  HANDLE th[2];
  th[0] = CreateThread(NULL, 0, relay_main, &ro, 0, NULL);
  th[1] = CreateThread(NULL, 0, relay_main, &re, 0, NULL);
  if (g_listen >= 0) CreateThread(NULL, 0, proxy_main, NULL, 0, NULL);
  if (shown >= 0) display_start(host, vnc_path, pid, &g_child_gone);

  int status = 0, got;
  while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  InterlockedExchange(&g_child_gone, 1);
  /* Output still in the pipes goes out before the exit code does. */
  WaitForMultipleObjects(2, th, TRUE, 5000);
  if (vnc_path[0]) {
    unlink(vnc_path);
    rmdir(vnc_dir);
  }
  int code = 1;
  if (got < 0)
    say_err("qemu bridge: lost track of the Linux program\n");
  else if (WIFEXITED(status))
    code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    code = 128 + WTERMSIG(status);
  ExitProcess((UINT)code);
  return code;
}
