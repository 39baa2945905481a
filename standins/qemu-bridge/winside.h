/* Helpers of the Windows side that the stand-ins share. */
#ifndef WINSIDE_H
#define WINSIDE_H
#include <stddef.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

char* utf8_of(const WCHAR* w);    /* malloc'd UTF-8 copy */
WCHAR* wide_of(const char* s);    /* malloc'd UTF-16 copy */
void write_handle(HANDLE h, const char* s, size_t n);
void say_err(const char* s);
char* env_a(const char* name);    /* a static buffer, or NULL when unset */
/* The Linux program named (or a path to it), looked for in VUNK_BRIDGE_BIN,
 * else PATH; malloc'd, or NULL. */
char* find_program(const char* name);

/* A thread that copies a Linux descriptor to a Windows handle until the
 * descriptor ends, then closes it. */
typedef struct {
  int fd;
  HANDLE to;
} Relay;
DWORD WINAPI relay_main(void* arg);
#endif
