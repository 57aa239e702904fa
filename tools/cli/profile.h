// The profile file: settings the command line and the environment left
// unset, as "option = value" lines.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "tools/cli/cli_app.h"
#include "tools/cli/problem.h"

namespace tiway {

// The profile tiway reads when none is named: $XDG_CONFIG_HOME/tiway/profile,
// else ~/.config/tiway/profile; empty when neither variable is set.
std::string DefaultProfile();

// Reads the profile at path into the settings the command line (given says
// whether an option was given there) and, for the port and driver, the
// environment left unset. A missing file is a problem only when it was
// named. The first problem is "FILE:LINE: ..."; origin gets, for each option
// taken from the file, "FILE:LINE: key = value: " for later messages.
Problem ApplyProfile(const std::string& path, bool named,
                     const std::function<bool(const std::string&)>& given, Options& o, Raw& raw,
                     std::map<std::string, std::string>& origin);

}  // namespace tiway
