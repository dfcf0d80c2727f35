/* Preloaded into the gateway by the system tier: while /run/mvo-fault/line-state exists, the
 * line state of a port that is already open exclusively cannot be read (EIO), as when a USB modem
 * re-enumerates between the open and the settings. The open itself (whose tcgetattr comes before
 * the exclusive flag is set) still succeeds, so the gateway meets the fault where it halts. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int tcgetattr(int fd, struct termios *t) {
  static int (*real)(int, struct termios *);
  if (real == NULL) real = (int (*)(int, struct termios *))dlsym(RTLD_NEXT, "tcgetattr");
  int exclusive = 0;
  if (access("/run/mvo-fault/line-state", F_OK) == 0 && ioctl(fd, TIOCGEXCL, &exclusive) == 0 &&
      exclusive) {
    errno = EIO;
    return -1;
  }
  return real(fd, t);
}
