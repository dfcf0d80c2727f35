#pragma once
// How the operator tools find the sites they are pointed at, so that mvo-check and mvo-report
// agree on what a site is. A site is a directory holding configuration/ or log/. The Windows zip
// unpacks to MVO\, which holds the programs and site\: a program double-clicked there runs in
// MVO\, and finds site\ among its subdirectories.
#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace mvo::tools {

inline bool is_site(const std::filesystem::path& dir) {
  std::error_code ec;
  return std::filesystem::exists(dir / "configuration", ec) ||
         std::filesystem::exists(dir / "log", ec);
}

// `arg` when it is a site; else its subdirectories that are sites, in name order (the listing
// stops past `max` of them); else `arg` alone, for the reader to name what is missing.
inline std::vector<std::string> expand_sites(const std::string& arg, std::size_t max) {
  namespace fs = std::filesystem;
  if (is_site(arg)) return {arg};
  std::vector<std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(arg, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && is_site(it->path())) found.push_back(it->path().string());
    if (found.size() > max) break;
  }
  std::sort(found.begin(), found.end());
  if (found.empty()) found.push_back(arg);
  return found;
}

}  // namespace mvo::tools
