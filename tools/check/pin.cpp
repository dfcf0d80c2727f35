#include "tools/check/pin.h"

#include <filesystem>

#include "common/text.h"
#include "config/pin.h"
#include "modem/pin.h"

namespace mvo::check {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPinPath = "configuration/pin.txt";

// POSIX mode bits: a PIN readable by the group or by everyone is a PIN known beyond the gateway.
// Windows keeps its access rights elsewhere; its mode bits say nothing of them.
void permission_warning(const fs::path& file, std::vector<Finding>& findings) {
#ifndef _WIN32
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (ec || !fs::is_regular_file(status)) return;
  const fs::perms mode = status.permissions();
  if ((mode & (fs::perms::group_read | fs::perms::others_read)) == fs::perms::none) return;
  findings.push_back({kPinPath, 0, Severity::kWarning,
                      common::format("other users may read the SIM's PIN (mode %03o): chmod 600 %s",
                                     static_cast<unsigned>(mode & fs::perms::all), kPinPath)});
#else
  (void)file;
  (void)findings;
#endif
}

void refusal_warning(const std::string& root, const std::string& pin,
                     std::vector<Finding>& findings) {
  const std::string file = std::string("log/") + modem::kRefusalFile;
  const std::string text = [&]() -> std::string {
    switch (
        modem::remembered_refusal((fs::path(root) / "log" / modem::kRefusalFile).string(), pin)) {
      case modem::Refusal::kNone:
        return "";
      case modem::Refusal::kThisPin:
        return "the SIM refused the PIN of pin.txt (or never answered it): the gateway does not "
               "enter it again until pin.txt holds another PIN; delete this file to let it try "
               "once more";
      case modem::Refusal::kOtherPin:
        break;
    }
    if (pin.empty()) return "the SIM refused a PIN before; pin.txt holds none now";
    return "the SIM refused another PIN before: the gateway enters the PIN of pin.txt once";
  }();
  if (!text.empty()) findings.push_back({file, 0, Severity::kWarning, text});
}

}  // namespace

void check_pin(const std::string& root, Workspace& ws, config::Tables& tables,
               std::vector<Finding>& findings) {
  const platform::Site site(root, static_cast<char>(fs::path::preferred_separator));
  platform::Env env{ws.clock, ws.wall, ws.console, site, ws.port};
  config::Where where;
  std::string pin;
  if (const auto halted = ws.halts([&] { pin = config::load_pin(env, &where); })) {
    findings.push_back({kPinPath, where.line, Severity::kError, visible(*halted)});
    return;
  }
  tables.pin = pin;
  permission_warning(fs::path(root) / "configuration" / config::kPinFile, findings);
  refusal_warning(root, pin, findings);
}

}  // namespace mvo::check
