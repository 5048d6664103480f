/* Loaded with LD_PRELOAD: rename(2) onto a file named $TESSALINE_FAIL_RENAME_ONTO
   fails with EIO, every other rename works. A test sees through it what a
   command leaves when one of its renames fails after another succeeded. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int rename(const char* from, const char* to) {
  const char* failing = getenv("TESSALINE_FAIL_RENAME_ONTO");
  const char* slash = strrchr(to, '/');
  if (failing != NULL && strcmp(slash != NULL ? slash + 1 : to, failing) == 0) {
    errno = EIO;
    return -1;
  }
  int (*real)(const char*, const char*);
  *(void**)(&real) = dlsym(RTLD_NEXT, "rename");
  return real(from, to);
}
