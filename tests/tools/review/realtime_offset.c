/* LD_PRELOAD shim: CLOCK_REALTIME (and time, gettimeofday) shifted by
 * $REALTIME_OFFSET_S seconds, as after a clock step. Other clocks untouched.
 * Build: cc -shared -fPIC -o realtime_offset.so realtime_offset.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

int clock_gettime(clockid_t id, struct timespec* ts) {
  static int (*real)(clockid_t, struct timespec*);
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  const int r = real(id, ts);
  const char* offset = getenv("REALTIME_OFFSET_S");
  if (r == 0 && offset && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) ts->tv_sec += atol(offset);
  return r;
}
