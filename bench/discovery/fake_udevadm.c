/* A stand-in for `udevadm info -q property -n NODE` used by the scan
 * benchmark: prints one supported camera per node (its own ID_PATH) and takes
 * 20 ms, as a udev query of a real camera roughly does. A small program
 * rather than a script, so the benchmark measures the scan's overlapping of
 * queries and not a shell interpreter's start-up. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <stdio.h>
#include <time.h>

int main(int argc, char** argv) {
  struct timespec delay = {0, 20000000L};
  const char* node = argc > 5 ? argv[5] : "";
  printf("ID_VENDOR_ID=0c45\nID_MODEL_ID=0643\nID_PATH=bench-%s\n", node);
  fflush(stdout);
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
  return 0;
}
