#pragma once
// How a file replaced whole reaches the disk. The gateway's records of state (log/gateway.state,
// log/alarms.state, log/sim-pin.refused) are written as a temporary beside the file, then renamed
// over it. Without the disk's own word the rename can outlive a power cut while the content does
// not, or be lost itself: the SIM's PIN would be entered again, alarms repeated. So each step goes
// through this seam: the program entry installs the operating system's (fsync and a directory
// fsync on POSIX; FlushFileBuffers and a written-through move on Windows); tests install their own
// to see the steps in order.
#include <filesystem>
#include <fstream>
#include <string>

namespace mvo::platform {

// Each step returns false when it failed; the caller then treats the file as not written.
class DurableFiles {
 public:
  virtual ~DurableFiles() = default;
  // A new file at `path` (none is there) holding `data` as it is. With `owner_only` only its owner
  // may read or write it (mode 0600 on POSIX, whatever the umask) from the moment it exists; on
  // Windows the folder's access rights decide.
  virtual bool write_new(const std::string& path, const std::string& data, bool owner_only) = 0;
  // The file's content on the disk.
  virtual bool sync_file(const std::string& path) = 0;
  // `from` renamed over `to`, replacing it.
  virtual bool rename(const std::string& from, const std::string& to) = 0;
  // The directory's entries (a rename in it) on the disk.
  virtual bool sync_dir(const std::string& dir) = 0;
};

// The standard library's files: they write and rename, and cannot force anything to the disk.
// What a process has before its entry installs another (tests, the tools, which only read).
class PortableFiles : public DurableFiles {
 public:
  bool write_new(const std::string& path, const std::string& data, bool owner_only) override {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return false;
#ifndef _WIN32
    if (owner_only) {
      std::error_code ec;
      std::filesystem::permissions(
          path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
      if (ec) return false;
    }
#else
    (void)owner_only;
#endif
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return !out.fail();
  }
  bool sync_file(const std::string&) override { return true; }
  bool rename(const std::string& from, const std::string& to) override {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    return !ec;
  }
  bool sync_dir(const std::string&) override { return true; }
};

// The operating system's files (platform/posix, platform/win32): POSIX opens the file with mode
// 0600 (then fchmod, past the umask) or 0666, and fsyncs the file and the directory (a file
// system that cannot sync a directory, EINVAL, counts as synced); Windows flushes the file
// (FlushFileBuffers) and moves it with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, which
// returns once the move is on the disk, so its sync_dir has nothing left to do.
namespace native {
class DiskFiles final : public DurableFiles {
 public:
  bool write_new(const std::string& path, const std::string& data, bool owner_only) override;
  bool sync_file(const std::string& path) override;
  bool rename(const std::string& from, const std::string& to) override;
  bool sync_dir(const std::string& dir) override;
};
}  // namespace native

namespace detail {
inline DurableFiles* installed_files = nullptr;
}  // namespace detail

// The files of this process: what set_durable_files installed, else a PortableFiles.
inline DurableFiles& durable_files() {
  static PortableFiles portable;
  return detail::installed_files != nullptr ? *detail::installed_files : portable;
}
// Installed by the program entry before the gateway runs, or by a test; nullptr puts the
// portable files back. `files` must outlive its use.
inline void set_durable_files(DurableFiles* files) { detail::installed_files = files; }

}  // namespace mvo::platform
