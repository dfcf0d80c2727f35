/* The guest's view of a serial port beside the gateway, built static into the test's initramfs.
 *
 *   probe open DEVICE        one open as the calling user (O_NONBLOCK, so no wait for carrier):
 *                            "open DEVICE ok" or "open DEVICE errno N", exit 0 or 1
 *   probe as UID GID PROGRAM ARG...   PROGRAM run as UID with GID as its only group
 *   probe outq DEVICE        the device's output queue (TIOCOUTQ) every 5 ms while it exists,
 *                            one "outq DEVICE <ms> <count>" line at every change, ms on the
 *                            monotonic clock; ends on SIGTERM with "outq DEVICE max <count>"
 *
 * The queue belongs to the tty, not to a descriptor, so root reads the gateway's queue through a
 * descriptor of its own (the exclusive flag does not hold against root). A hung-up tty (a USB
 * adapter unplugged) is let go at once, so its minor is free for the adapter's return. */
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop = 0;
static void on_term(int sig) {
  (void)sig;
  stop = 1;
}

static long long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int outq(const char* device) {
  signal(SIGTERM, on_term);
  const struct timespec pause = {0, 5 * 1000000};
  int fd = -1, last = -1, max = 0;
  while (!stop) {
    if (fd < 0) fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int queued = 0;
    if (fd >= 0 && ioctl(fd, TIOCOUTQ, &queued) != 0) {
      close(fd);
      fd = -1;
    }
    if (fd >= 0 && queued != last) {
      printf("outq %s %lld %d\n", device, now_ms(), queued);
      fflush(stdout);
      last = queued;
      if (queued > max) max = queued;
    }
    nanosleep(&pause, NULL);
  }
  printf("outq %s max %d\n", device, max);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "open") == 0) {
    int fd = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      printf("open %s errno %d\n", argv[2], errno);
      return 1;
    }
    close(fd);
    printf("open %s ok\n", argv[2]);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "outq") == 0) return outq(argv[2]);
  if (argc >= 5 && strcmp(argv[1], "as") == 0) {
    const gid_t gid = (gid_t)atoi(argv[3]);
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid((uid_t)atoi(argv[2])) != 0) {
      perror("probe as");
      return 126;
    }
    execv(argv[4], argv + 4);
    perror("probe as: exec");
    return 127;
  }
  fprintf(stderr, "usage: probe open|outq DEVICE | probe as UID GID PROGRAM ARG...\n");
  return 2;
}
