/* The guest's view of a serial port beside the gateway, built static into the test's initramfs.
 *
 *   probe open DEVICE        one open as the calling user (O_NONBLOCK, so no wait for carrier):
 *                            "open DEVICE ok" or "open DEVICE errno N", exit 0 or 1
 *   probe hold DEVICE        root's own descriptor on the device whenever it exists, until
 *                            killed: the tty outlives the gateway's close, as when a monitor
 *                            holds it, so the exclusive flag must be cleared by the gateway itself
 *
 * The exclusive flag does not hold against root. A hung-up tty (a USB adapter unplugged) is let go
 * at once, so its minor is free for the adapter's return. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

_Noreturn static void hold(const char* device) {
  const struct timespec pause = {0, 5 * 1000000};
  int fd = -1, queued = 0;
  for (;;) {
    if (fd < 0) fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // A hung-up tty fails every ioctl.
    if (fd >= 0 && ioctl(fd, TIOCOUTQ, &queued) != 0) {
      close(fd);
      fd = -1;
    }
    nanosleep(&pause, NULL);
  }
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
  if (argc == 3 && strcmp(argv[1], "hold") == 0) hold(argv[2]);
  fprintf(stderr, "usage: probe open|hold DEVICE\n");
  return 2;
}
