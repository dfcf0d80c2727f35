#pragma once
// The SIM's PIN of a site, as mvo-check sees it.
#include <string>
#include <vector>

#include "config/tables.h"
#include "tools/check/check.h"
#include "tools/check/workspace.h"

namespace mvo::check {

// configuration/pin.txt read as the gateway reads it (an error for each halt, `tables.pin` set
// when it loads), the gateway's halt when `probes.user` may not read it, a warning when users
// other than the owner may read it or log/sim-pin.refused, and a warning for a PIN refusal the
// gateway remembers there. The site's own files are read in place and nothing is written: the
// PIN is not copied to the scratch site, nor shown.
void check_pin(const std::string& root, Workspace& ws, const SiteProbes& probes,
               config::Tables& tables, std::vector<Finding>& findings);

}  // namespace mvo::check
