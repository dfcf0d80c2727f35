// What the operating system says about the site beyond its configuration: who may write its log
// directory, and what other programs (ModemManager) say about the port's device.
#include <algorithm>
#include <string>
#include <vector>

#include "tools/check/check.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace mvo::check {

namespace {
constexpr std::size_t kMaxOutput = 64 * 1024;
}  // namespace

#ifdef _WIN32

int run_command(const std::vector<std::string>&, std::string& output) {
  output.clear();
  return -1;
}

Access probe_access(const std::string& path, const std::string&, Want want) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Access::kMissing;
  // Which user may read or write it is the business of access control lists; only the read-only
  // attribute of a file is judged here.
  const bool read_only =
      (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  return want == Want::kWrite && read_only ? Access::kDenied : Access::kAllowed;
}

bool known_user(const std::string&) { return true; }

std::string current_user() {
  char name[256];
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

#else

int run_command(const std::vector<std::string>& argv, std::string& output) {
  output.clear();
  if (argv.empty()) return -1;
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    ::dup2(fds[1], 1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);
    ::close(fds[0]);
    ::close(fds[1]);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() < kMaxOutput) {
      output.append(buffer,
                    std::min<std::size_t>(static_cast<std::size_t>(n), kMaxOutput - output.size()));
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return -1;
  return WEXITSTATUS(status);
}

Access probe_access(const std::string& path, const std::string& user, Want want) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return Access::kMissing;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return Access::kDenied;
  }
  if (found->pw_uid == 0) return Access::kAllowed;
  // A directory must also be searchable to create a file in it.
  const bool dir = S_ISDIR(info.st_mode);
  const bool write = want == Want::kWrite;
  auto allows = [&](mode_t read_bit, mode_t write_bit, mode_t search_bit) {
    return (info.st_mode & (write ? write_bit : read_bit)) != 0 &&
                   (!dir || (info.st_mode & search_bit) != 0)
               ? Access::kAllowed
               : Access::kDenied;
  };
  if (info.st_uid == found->pw_uid) return allows(S_IRUSR, S_IWUSR, S_IXUSR);
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    ::getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count);
  }
  groups.resize(static_cast<std::size_t>(count));
  for (const gid_t g : groups) {
    if (g == info.st_gid) return allows(S_IRGRP, S_IWGRP, S_IXGRP);
  }
  return allows(S_IROTH, S_IWOTH, S_IXOTH);
}

bool known_user(const std::string& user) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  return ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
         found != nullptr;
}

std::string current_user() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return "";
  }
  return found->pw_name;
}

#endif

}  // namespace mvo::check
