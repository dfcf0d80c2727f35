// Files replaced whole on Windows: the file's buffers flushed before the move, and the move
// written through.
#include <windows.h>

#include <algorithm>

#include "platform/durable.h"

namespace mvo::platform::native {

bool DiskFiles::write_new(const std::string& path, const std::string& data, bool) {
  // Who may read the file is a matter of the folder's access rights, which it inherits.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < data.size();) {
    DWORD n = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 20));
    ok = WriteFile(file, data.data() + done, size, &n, nullptr) != 0 && n > 0;
    done += n;
  }
  return CloseHandle(file) != 0 && ok;
}

bool DiskFiles::sync_file(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != 0;
  return CloseHandle(file) != 0 && flushed;
}

bool DiskFiles::rename(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// The move returned once it was on the disk.
bool DiskFiles::sync_dir(const std::string&) { return true; }

}  // namespace mvo::platform::native
