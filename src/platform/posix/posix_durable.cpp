// Files replaced whole on POSIX: fsync of the file before its rename, of the directory after it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/durable.h"

namespace mvo::platform::native {

namespace {

// fsync of what `path` names, opened with `flags`.
bool sync_path(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  // A file system that keeps no directory to sync (some network and FUSE ones) says EINVAL.
  const bool synced = result == 0 || (errno == EINVAL && (flags & O_DIRECTORY) != 0);
  ::close(fd);
  return synced;
}

}  // namespace

bool DiskFiles::write_new(const std::string& path, const std::string& data, bool owner_only) {
  const mode_t mode = owner_only ? 0600 : 0666;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // Set outright: the umask may have taken bits of 0600, and a file left there kept its mode.
  bool ok = !owner_only || ::fchmod(fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

bool DiskFiles::sync_file(const std::string& path) { return sync_path(path, O_RDONLY); }

bool DiskFiles::rename(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool DiskFiles::sync_dir(const std::string& dir) { return sync_path(dir, O_RDONLY | O_DIRECTORY); }

}  // namespace mvo::platform::native
