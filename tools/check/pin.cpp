#include "tools/check/pin.h"

#include <filesystem>

#include "common/text.h"
#include "config/pin.h"
#include "modem/pin.h"

namespace mvo::check {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPinPath = "configuration/pin.txt";

// POSIX mode bits: a PIN, or the record of one (its fingerprint gives a PIN of 4 to 8 digits away
// to whoever tries them all), readable by the group or by everyone is a PIN known beyond the
// gateway. Windows keeps its access rights elsewhere; its mode bits say nothing of them.
void permission_warning(const fs::path& file, const std::string& shown, const char* what,
                        std::vector<Finding>& findings) {
#ifndef _WIN32
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (ec || !fs::is_regular_file(status)) return;
  const fs::perms mode = status.permissions();
  if ((mode & (fs::perms::group_read | fs::perms::others_read)) == fs::perms::none) return;
  findings.push_back({shown, 0, Severity::kWarning,
                      common::format("other users may read %s (mode %03o): chmod 600 %s", what,
                                     static_cast<unsigned>(mode & fs::perms::all), shown.c_str())});
#else
  (void)file;
  (void)shown;
  (void)what;
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

void check_pin(const std::string& root, Workspace& ws, const SiteProbes& probes,
               config::Tables& tables, std::vector<Finding>& findings) {
  const platform::Site site(root, static_cast<char>(fs::path::preferred_separator));
  platform::Env env{ws.clock, ws.wall, ws.console, site, ws.port};
  config::Where where;
  std::string pin;
  const fs::path pin_file = fs::path(root) / "configuration" / config::kPinFile;
  const std::string refusal_file = std::string("log/") + modem::kRefusalFile;
  permission_warning(fs::path(root) / "log" / modem::kRefusalFile, refusal_file,
                     "the record of the SIM's PIN, which gives the PIN away to whoever tries all "
                     "PINs on it",
                     findings);
  if (const auto halted = ws.halts([&] { pin = config::load_pin(env, &where); })) {
    findings.push_back({kPinPath, where.line, Severity::kError, visible(*halted)});
    return;
  }
  // Read here by this user; the gateway's user may be another (the unit's), who halts on it.
  if (!probes.user.empty() &&
      probes.access(pin_file.string(), probes.user, Want::kRead) == Access::kDenied) {
    std::error_code ec;
    const std::string shown = fs::absolute(pin_file, ec).lexically_normal().string();
    const std::string& user = probes.user;
    findings.push_back({kPinPath, 0, Severity::kError,
                        "file pin.txt cannot be read: chown it to the gateway's user", 0, true,
                        common::format("user %s may not read it, so the gateway run as %s halts "
                                       "there; fix it with: chown %s: %s",
                                       user.c_str(), user.c_str(), user.c_str(), shown.c_str())});
    return;
  }
  tables.pin = pin;
  permission_warning(pin_file, kPinPath, "the SIM's PIN", findings);
  refusal_warning(root, pin, findings);
}

}  // namespace mvo::check
